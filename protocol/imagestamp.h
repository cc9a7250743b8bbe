#pragma once

#include <QtGlobal>

class QFile;

// What tells one state of an image file's bytes from another without reading them: a rewrite in
// place changes the modification and change times, a replacement the file's identity as well.
// The window and the console program both take it, to know that the bytes they serve are the
// bytes they hashed.
struct ImageStamp
{
    qint64 size = -1;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 identity = 0; // the inode where the system has one

    bool operator==(const ImageStamp &other) const
    {
        return size == other.size && modifiedNs == other.modifiedNs &&
               changedNs == other.changedNs && identity == other.identity;
    }
    bool operator!=(const ImageStamp &other) const { return !(*this == other); }
};

// The state of an open file's bytes; size -1 when the file is not open.
ImageStamp imageStampOf(const QFile &file);
