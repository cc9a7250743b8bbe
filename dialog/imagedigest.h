#pragma once

#include "imagestamp.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

// Hashes an image file with SHA-256 a piece at a time on the event loop, so that a large image
// never holds the window up: each pass reads one chunk, then lets the frames and the lights go
// on. Keeps the file's stamp, to tell later whether the bytes the window serves are the ones
// that were hashed.
class ImageDigest : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 ChunkBytes = 256 * 1024;

    explicit ImageDigest(QObject *parent = nullptr);

    // Starts hashing path, dropping any hash under way. finished() or failed() follows.
    void start(const QString &path);

    bool busy() const { return m_file.isOpen(); }
    // Of the last finished hash: the file's stamp (size -1 before one) and the hash.
    const ImageStamp &stamp() const { return m_stamp; }
    QByteArray sha256() const { return m_sha256; }

signals:
    void finished();
    void failed(const QString &error);

private:
    void readChunk();

    QFile m_file;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    QTimer m_pass;
    ImageStamp m_started; // of the hash under way
    ImageStamp m_stamp;
    QByteArray m_sha256;
};
