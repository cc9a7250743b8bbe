#include "imagestamp.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif
#ifdef Q_OS_WIN
#include <io.h>
#include <qt_windows.h>
#endif

ImageStamp imageStampOf(const QFile &file)
{
    ImageStamp stamp;
#ifdef Q_OS_UNIX
    // Through the open descriptor: the file being read, whatever the path names now.
    struct stat info = {};
    if (file.handle() < 0 || ::fstat(file.handle(), &info) != 0)
        return stamp;
    stamp.size = qint64(info.st_size);
    stamp.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.identity = quint64(info.st_ino);
#elif defined(Q_OS_WIN)
    // Through the open handle, as on Unix: the file's index on its volume is its identity, and
    // the last write time has a resolution of 100 ns.
    BY_HANDLE_FILE_INFORMATION info = {};
    const HANDLE handle =
        file.handle() < 0 ? INVALID_HANDLE_VALUE : HANDLE(_get_osfhandle(file.handle()));
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return stamp;
    stamp.size = qint64(quint64(info.nFileSizeHigh) << 32 | info.nFileSizeLow);
    // 100 ns ticks since 1601: from 1970 on, in nanoseconds.
    constexpr quint64 TicksBefore1970 = 116444736000000000ULL;
    const quint64 written =
        quint64(info.ftLastWriteTime.dwHighDateTime) << 32 | info.ftLastWriteTime.dwLowDateTime;
    stamp.modifiedNs = (qint64(written) - qint64(TicksBefore1970)) * 100;
    stamp.identity = quint64(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
#else
    if (!file.isOpen())
        return stamp;
    const QFileInfo info(file.fileName());
    stamp.size = file.size();
    stamp.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return stamp;
}
