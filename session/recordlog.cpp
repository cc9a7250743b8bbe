#include "recordlog.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_UNIX
QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Writes all of bytes, or returns the errno that stopped it.
int writeAll(int fd, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        done += n;
    }
    return 0;
}

// One record into the open descriptor, under the lock: written whole and synced, or taken back.
int appendLocked(int fd, const QByteArray &bytes)
{
    const off_t before = ::lseek(fd, 0, SEEK_END);
    int error = writeAll(fd, bytes);
    if (error == 0 && ::fdatasync(fd) != 0 && errno != EINVAL)
        error = errno;
    if (error != 0 && before >= 0) {
        [[maybe_unused]] const int ignored = ::ftruncate(fd, before);
    }
    return error;
}
#endif

} // namespace

bool RecordLog::open(const QString &path, QString *error)
{
    if (QFileInfo(path).isDir()) {
        *error = QStringLiteral("cannot write the log %1: it is a folder").arg(path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        *error = QStringLiteral("cannot write the log %1: %2").arg(path, file.errorString());
        return false;
    }
#ifdef Q_OS_UNIX
    // A log that meets the file-size limit must fail its write, not end the program.
    ::signal(SIGXFSZ, SIG_IGN);
#endif
    m_path = path;
    return true;
}

bool RecordLog::append(const QByteArray &line)
{
    const QByteArray whole = line + '\n';
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        m_error = systemError(errno);
        return false;
    }
    int error = 0;
    if (::flock(fd, LOCK_EX) != 0)
        error = errno;
    else
        error = appendLocked(fd, whole);
    ::close(fd); // releases the lock
    m_error = error == 0 ? QString() : systemError(error);
    return error == 0;
#else
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        m_error = file.errorString();
        return false;
    }
    const qint64 before = file.size();
    if (file.write(whole) == whole.size() && file.flush())
        return true;
    m_error = file.errorString();
    file.resize(before);
    return false;
#endif
}
