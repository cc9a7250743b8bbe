#include "jsonline.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray quoted(const QString &text)
{
    // The writer's own escaping: the one string of a one-element array, brackets cut off.
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace

JsonLine &JsonLine::addRaw(const char *key, const QByteArray &value)
{
    if (!m_body.isEmpty())
        m_body += ',';
    m_body += quoted(QString::fromLatin1(key)) + ':' + value;
    return *this;
}

JsonLine &JsonLine::add(const char *key, const QString &text)
{
    return addRaw(key, quoted(text));
}

JsonLine &JsonLine::add(const char *key, const std::optional<QString> &text)
{
    return text ? add(key, *text) : addNull(key);
}

JsonLine &JsonLine::add(const char *key, qint64 number)
{
    return addRaw(key, QByteArray::number(number));
}

JsonLine &JsonLine::add(const char *key, const JsonLine &object)
{
    return addRaw(key, object.text());
}

JsonLine &JsonLine::add(const char *key, const QStringList &texts)
{
    QByteArray array = "[";
    for (const QString &text : texts) {
        if (array.size() > 1)
            array += ',';
        array += quoted(text);
    }
    return addRaw(key, array + ']');
}

JsonLine &JsonLine::addDecimal(const char *key, double number, int decimals)
{
    return addRaw(key, QByteArray::number(number, 'f', decimals));
}

JsonLine &JsonLine::addNull(const char *key)
{
    return addRaw(key, QByteArrayLiteral("null"));
}
