#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

// Hashes an image file with SHA-256 a piece at a time on the event loop, so that a large image
// never holds the window up: each pass reads one chunk, then lets the frames and the lights go
// on. Knows the file's size and modification time at the start, to tell later whether the file
// on disk is still the one that was hashed.
class ImageDigest : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 ChunkBytes = 256 * 1024;

    explicit ImageDigest(QObject *parent = nullptr);

    // Starts hashing path, dropping any hash under way. finished() or failed() follows.
    void start(const QString &path);

    bool busy() const { return m_file.isOpen(); }
    QString path() const { return m_path; }
    // Of the last finished hash; -1 and empty before one.
    qint64 size() const { return m_size; }
    QByteArray sha256() const { return m_sha256; }
    // True when the file on disk has another size or modification time than when it was hashed,
    // or is gone.
    bool changedOnDisk() const;

signals:
    void finished();
    void failed(const QString &error);

private:
    void readChunk();

    QString m_path;
    QFile m_file;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    QTimer m_pass;
    qint64 m_startSize = -1;
    QDateTime m_startModified;
    qint64 m_size = -1;
    QDateTime m_modified;
    QByteArray m_sha256;
};
