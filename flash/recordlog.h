#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

// The --log file. Each record is appended as one line with a single write as soon as its port
// finishes, so that a run stopped at any moment leaves every finished record whole, and several
// programs appending to one file never mix their lines.
class RecordLog
{
public:
    // Opens path for appending, creating it if needed; false with the reason when it cannot be
    // written.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_file.isOpen(); }
    // Appends line and a line end; false when the system did not take all of it.
    bool append(const QByteArray &line);
    QString errorString() const { return m_file.errorString(); }

private:
    QFile m_file;
};
