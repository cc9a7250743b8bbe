#pragma once

#include <QtGlobal>

class QFile;

// What tells one state of an image file's bytes from another without reading them: a rewrite in
// place changes the modification time, a replacement the file's identity as well. The change time
// is left out: removing or renaming the file changes it too, and the bytes of a file that is still
// open stay the same then. The window and the console program both take it, to know that the
// bytes they serve are the bytes they hashed.
struct ImageStamp
{
    qint64 size = -1;
    qint64 modifiedNs = 0;
    quint64 identity = 0; // the inode on Unix, the file index on Windows

    bool operator==(const ImageStamp &other) const
    {
        return size == other.size && modifiedNs == other.modifiedNs && identity == other.identity;
    }
    bool operator!=(const ImageStamp &other) const { return !(*this == other); }
};

// The state of an open file's bytes; size -1 when the file is not open.
ImageStamp imageStampOf(const QFile &file);
