#include "imagestamp.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
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
#else
    if (!file.isOpen())
        return stamp;
    const QFileInfo info(file.fileName());
    stamp.size = file.size();
    stamp.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return stamp;
}
