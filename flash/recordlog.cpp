#include "recordlog.h"

#include <QFileInfo>

bool RecordLog::open(const QString &path, QString *error)
{
    if (QFileInfo(path).isDir()) {
        *error = QStringLiteral("cannot write the log %1: it is a folder").arg(path);
        return false;
    }
    m_file.setFileName(path);
    // Unbuffered: each write() below is one write to the system, nothing waits in a buffer.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write the log %1: %2").arg(path, m_file.errorString());
        return false;
    }
    return true;
}

bool RecordLog::append(const QByteArray &line)
{
    const QByteArray whole = line + '\n';
    return m_file.write(whole) == whole.size();
}
