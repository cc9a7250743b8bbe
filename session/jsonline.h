#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// One JSON object whose keys keep the order they were added in, so that every line of the
// program's output starts with "event" and reads the same from run to run. Values are escaped by
// Qt's JSON writer.
class JsonLine
{
public:
    JsonLine &add(const char *key, const QString &text);
    JsonLine &add(const char *key, const std::optional<QString> &text); // null when none
    JsonLine &add(const char *key, qint64 number);
    JsonLine &add(const char *key, const JsonLine &object);
    JsonLine &add(const char *key, const QStringList &texts); // an array of strings
    // A number with a fixed count of decimals, such as seconds.
    JsonLine &addDecimal(const char *key, double number, int decimals);
    JsonLine &addNull(const char *key);

    // {"key":value,...}, without a line end.
    QByteArray text() const { return '{' + m_body + '}'; }

private:
    JsonLine &addRaw(const char *key, const QByteArray &value);

    QByteArray m_body;
};
