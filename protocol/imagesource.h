#pragma once

#include "framecodec.h"
#include "imageblockreader.h"
#include "imagestamp.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

// What a record or a tooltip says about an image: where it is, how long it is and the SHA-256 of
// exactly those bytes.
struct ImageFacts
{
    QString path;
    qint64 size = 0;
    QByteArray sha256; // lowercase hex
};

// The firmware image as a host serves it: the file opened with its checks, its SHA-256, and the
// answer to each data request. The console program hashes at once (hashNow); the window hashes in
// steps on the event loop (startHashing), so that no image holds it up. Every answer checks that
// the bytes still are the ones the update began with: a file rewritten on disk during an update
// is never served as a mix of two images. A file replaced by a new one while the old one is open
// goes on being served from the open one, whose bytes have not changed.
class ImageSource : public QObject
{
    Q_OBJECT

public:
    enum class Problem
    {
        None,
        Missing,
        Folder,
        Unreadable, // errorString() says why
        Empty,
        TooLarge, // more than the protocol's offsets reach
        ChangedWhileHashed,
    };
    enum class Answer
    {
        Piece,      // payload is the CMD_DATA with the image's bytes at the offset
        End,        // payload is CMD_END: the device has the whole image
        Changed,    // the file changed on disk since beginUpdate(): nothing may be sent
        Unreadable, // the file could not be read as far as its size said
    };

    static constexpr qint64 HashChunkBytes = 256 * 1024;

    explicit ImageSource(const QString &path = QString(), QObject *parent = nullptr);
    ~ImageSource() override;

    QString path() const { return m_path; }
    // A new path closes the file and forgets the hash.
    void setPath(const QString &path);

    // Opens the file by its path, closing what was open, read-only and unbuffered (a file cut
    // shorter on disk is noticed at the next read), and takes its size.
    Problem open();
    // The open file from its start again, or opened by its path when none is open; the size is
    // taken again and checked.
    Problem rewind();
    void close();
    bool isOpen() const { return m_file.isOpen(); }
    qint64 size() const { return m_size; }
    // The system's reason for the last Unreadable.
    QString errorString() const { return m_error; }
    // "PATH: the file is empty", for a message that names the file.
    QString describe(Problem problem) const;

    // True when the last hash is of the open file's bytes as they are now.
    bool hashCurrent() const;
    // Hashes the open file at once, unless the hash is current; the file is left at its start.
    Problem hashNow();
    // Hashes the file by its path, a piece per pass of the event loop, dropping any hash under
    // way; hashed() or hashFailed() follows.
    void startHashing();
    bool hashing() const { return m_steps && m_steps->file.isOpen(); }
    // Of the last finished hash; facts().size is -1 before there is one.
    const ImageFacts &facts() const { return m_facts; }
    // Takes the hash another source of the same file has computed, so that it is not read again
    // while the file stays as it was.
    void adoptHash(const ImageSource &other);

    // The update that starts now is served from the open file as it is now.
    void beginUpdate();
    // The answer to a data request for offset: any request at or past the end (an offset
    // negative as a signed number included) is answered with END. A new block, and the end, are
    // only served while the file is still what it was at beginUpdate().
    Answer answer(quint32 offset, FramePayload &payload);
    // Image bytes read into blocks since beginUpdate(): the offset just past the block in memory.
    qint64 loadedBytes() const { return m_blocks.loadedBytes(); }

signals:
    void hashed();
    void hashFailed(const QString &reason);

private:
    Problem checkOpened();
    void hashStep();
    void finishHash(const ImageStamp &stamp, const QByteArray &digest);

    QString m_path;
    QFile m_file;
    qint64 m_size = 0;
    QString m_error;
    ImageStamp m_served; // of the bytes the update under way is served from
    ImageBlockReader m_blocks;

    ImageFacts m_facts;
    ImageStamp m_hashedStamp; // of the bytes m_facts describes

    // The hash in steps: made when first asked for, so that a console program with many ports
    // carries no hasher per port.
    struct Steps
    {
        QFile file;
        QCryptographicHash hash{QCryptographicHash::Sha256};
        ImageStamp started;
        QTimer pass;
    };
    std::unique_ptr<Steps> m_steps;
};
