#pragma once

#include <QByteArray>
#include <QString>

// The --log file, kept as a journal is kept: each record is appended as one line, whole or not at
// all, under an exclusive lock so that programs on one machine sharing the file never mix their
// lines, and synced to the disk before it counts as written. The file is opened by its name for
// every record, so that a log renamed away (rotated) goes on in a new file at the path.
class RecordLog
{
public:
    // Checks that path can be appended to, creating it if needed; false with the reason when it
    // cannot. Nothing is written.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }

    // Appends line and a line end and syncs them to the disk. False, with the cause in
    // errorString(), when the record is not in the file: a short or failed write is taken back,
    // so that no torn line stays behind.
    bool append(const QByteArray &line);
    QString errorString() const { return m_error; }

private:
    QString m_path;
    QString m_error;
};
