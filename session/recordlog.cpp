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
#ifdef Q_OS_WIN
#include <qt_windows.h>
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

#ifdef Q_OS_WIN
QString systemError(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                 : QStringLiteral("error %1").arg(error);
    LocalFree(text);
    return message;
}

// The lock every program appending to the log takes: one byte far past any record. A lock on
// Windows keeps other programs from its range, so one on the records themselves would stop a
// reader (a log shipper, an editor) in the middle of an append; this one stops only other
// appenders.
OVERLAPPED lockRange()
{
    OVERLAPPED range = {};
    range.OffsetHigh = 0x7FFFFFFF;
    return range;
}

// Writes all of bytes at the end of the file, or returns the error that stopped it.
DWORD writeAll(HANDLE file, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(file, bytes.constData() + done, DWORD(bytes.size() - done), &written,
                       nullptr))
            return GetLastError();
        if (written == 0)
            return ERROR_DISK_FULL;
        done += written;
    }
    return ERROR_SUCCESS;
}

// One record into the open file, under the lock: written whole and flushed to the disk, or taken
// back.
DWORD appendLocked(HANDLE file, const QByteArray &bytes)
{
    LARGE_INTEGER before = {};
    const LARGE_INTEGER none = {};
    if (!SetFilePointerEx(file, none, &before, FILE_END))
        return GetLastError();
    DWORD error = writeAll(file, bytes);
    if (error == ERROR_SUCCESS && !FlushFileBuffers(file))
        error = GetLastError();
    if (error != ERROR_SUCCESS && SetFilePointerEx(file, before, nullptr, FILE_BEGIN))
        SetEndOfFile(file);
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
#elif defined(Q_OS_WIN)
    // Shared for reading, writing and deleting: another program appends under the same lock, a
    // reader follows the file, and the log can be renamed away (rotated) between records or
    // during one.
    const HANDLE file =
        CreateFileW(reinterpret_cast<const wchar_t *>(m_path.utf16()), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        m_error = systemError(GetLastError());
        return false;
    }
    OVERLAPPED range = lockRange();
    DWORD error = ERROR_SUCCESS;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range)) {
        error = GetLastError();
    } else {
        error = appendLocked(file, whole);
        range = lockRange();
        UnlockFileEx(file, 0, 1, 0, &range);
    }
    CloseHandle(file);
    m_error = error == ERROR_SUCCESS ? QString() : systemError(error);
    return error == ERROR_SUCCESS;
#else
    m_error = QStringLiteral("records are not written on this system");
    return false;
#endif
}
