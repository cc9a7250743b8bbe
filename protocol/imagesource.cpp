#include "imagesource.h"

#include "updateprotocol.h"

#include <QFileInfo>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <qt_windows.h>
#endif

namespace {

constexpr quint32 PieceSize = 4;

// The image is read a block at a time and nothing else of it is kept: no read-ahead buffer, so a
// file cut shorter on disk is noticed at the next read.
constexpr QIODevice::OpenMode ImageOpenMode = QIODevice::ReadOnly | QIODevice::Unbuffered;

// Opens the image at path for reading; false with the reason in error. A build may rewrite the
// file, or replace it under its name, while it is open, as it may on Unix: on Windows that takes
// every share mode, which QFile does not give.
bool openImage(QFile &file, const QString &path, QString *error)
{
#ifdef Q_OS_WIN
    const HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const int fd = handle == INVALID_HANDLE_VALUE
                       ? -1
                       : _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        file.setFileName(path);
        // QFile says why in its own words, as it does everywhere else.
        if (!file.open(ImageOpenMode)) {
            *error = file.errorString();
            return false;
        }
        file.close();
        *error = QStringLiteral("cannot open the file");
        return false;
    }
    if (!file.open(fd, ImageOpenMode, QFileDevice::AutoCloseHandle)) {
        _close(fd);
        *error = file.errorString();
        return false;
    }
    return true;
#else
    file.setFileName(path);
    if (!file.open(ImageOpenMode)) {
        *error = file.errorString();
        return false;
    }
    return true;
#endif
}

} // namespace

ImageSource::ImageSource(const QString &path, QObject *parent) : QObject(parent), m_path(path)
{
    m_facts.path = path;
    m_facts.size = -1;
}

ImageSource::~ImageSource() = default;

void ImageSource::setPath(const QString &path)
{
    close();
    m_steps.reset();
    m_path = path;
    m_facts = ImageFacts{path, -1, {}};
    m_hashedStamp = {};
}

ImageSource::Problem ImageSource::open()
{
    m_file.close();
    m_size = 0;
    const QFileInfo info(m_path);
    if (!info.exists())
        return Problem::Missing;
    if (info.isDir())
        return Problem::Folder;
    if (!openImage(m_file, m_path, &m_error))
        return Problem::Unreadable;
    return checkOpened();
}

ImageSource::Problem ImageSource::rewind()
{
    if (!m_file.isOpen()) {
        if (!openImage(m_file, m_path, &m_error))
            return Problem::Unreadable;
    } else {
        m_file.seek(0);
    }
    return checkOpened();
}

ImageSource::Problem ImageSource::checkOpened()
{
    // The size is taken at every update: an image rewritten since the last one must not go out
    // cut to its old length.
    m_size = m_file.size();
    if (m_size == 0) {
        m_file.close();
        return Problem::Empty;
    }
    if (m_size > MaxImageSize) {
        m_file.close();
        return Problem::TooLarge;
    }
    return Problem::None;
}

void ImageSource::close()
{
    m_file.close();
}

QString ImageSource::describe(Problem problem) const
{
    switch (problem) {
    case Problem::None:
        break;
    case Problem::Missing:
        return QStringLiteral("%1: no such file").arg(m_path);
    case Problem::Folder:
        return QStringLiteral("%1: a folder, not an image file").arg(m_path);
    case Problem::Unreadable:
        return QStringLiteral("%1: cannot be read: %2").arg(m_path, m_error);
    case Problem::Empty:
        return QStringLiteral("%1: the file is empty").arg(m_path);
    case Problem::TooLarge:
        return QStringLiteral("%1: %2 bytes, more than the %3 bytes a device can ask for")
            .arg(m_path)
            .arg(m_size)
            .arg(MaxImageSize);
    case Problem::ChangedWhileHashed:
        return QStringLiteral("%1: the file changed while it was being read").arg(m_path);
    }
    return m_path;
}

bool ImageSource::hashCurrent() const
{
    return m_hashedStamp.size >= 0 && imageStampOf(m_file) == m_hashedStamp;
}

ImageSource::Problem ImageSource::hashNow()
{
    if (hashCurrent())
        return Problem::None;
    const ImageStamp now = imageStampOf(m_file);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    m_file.seek(0);
    if (!hash.addData(&m_file) || m_file.pos() != now.size) {
        m_error = m_file.errorString();
        m_file.close();
        return Problem::Unreadable;
    }
    // A file written to while it was hashed has no one hash: better no update than a record that
    // names bytes the device never got.
    if (imageStampOf(m_file) != now) {
        m_file.close();
        return Problem::ChangedWhileHashed;
    }
    finishHash(now, hash.result());
    m_file.seek(0);
    return Problem::None;
}

void ImageSource::startHashing()
{
    m_steps = std::make_unique<Steps>();
    m_steps->pass.setInterval(0);
    connect(&m_steps->pass, &QTimer::timeout, this, &ImageSource::hashStep);
    m_hashedStamp = {};
    m_facts = ImageFacts{m_path, -1, {}};
    QString error;
    if (!openImage(m_steps->file, m_path, &error)) {
        emit hashFailed(error);
        return;
    }
    m_steps->started = imageStampOf(m_steps->file);
    m_steps->pass.start();
}

void ImageSource::hashStep()
{
    Steps &steps = *m_steps;
    QByteArray chunk(HashChunkBytes, Qt::Uninitialized);
    const qint64 got = steps.file.read(chunk.data(), HashChunkBytes);
    if (got > 0) {
        steps.hash.addData(QByteArrayView(chunk.constData(), got));
        return;
    }
    steps.pass.stop();
    // A file written to while it was read has no one hash.
    const bool complete = got == 0 && steps.file.pos() == steps.started.size &&
                          imageStampOf(steps.file) == steps.started;
    const QString error = steps.file.errorString();
    steps.file.close();
    if (!complete) {
        emit hashFailed(got < 0 ? error : QStringLiteral("the file changed while it was read"));
        return;
    }
    finishHash(steps.started, steps.hash.result());
    emit hashed();
}

void ImageSource::finishHash(const ImageStamp &stamp, const QByteArray &digest)
{
    m_hashedStamp = stamp;
    m_facts = ImageFacts{m_path, stamp.size, digest.toHex()};
}

void ImageSource::adoptHash(const ImageSource &other)
{
    if (other.m_path != m_path)
        return;
    m_facts = other.m_facts;
    m_hashedStamp = other.m_hashedStamp;
}

void ImageSource::beginUpdate()
{
    m_served = imageStampOf(m_file);
    m_blocks.reset();
}

ImageSource::Answer ImageSource::answer(quint32 offset, FramePayload &payload)
{
    if (offset >= m_size) {
        // The end makes the device take what it got: only when every byte served was a byte of
        // the image the update began with.
        if (imageStampOf(m_file) != m_served)
            return Answer::Changed;
        payload = commandPayload(CMD_END);
        return Answer::End;
    }
    quint8 piece[PieceSize];
    const int blockReads = m_blocks.blockReads();
    const bool read = m_blocks.readPiece(m_file, m_size, offset, piece);
    // Checked at each new block: the bytes in memory are the ones the last check let through.
    if (m_blocks.blockReads() != blockReads && imageStampOf(m_file) != m_served)
        return Answer::Changed;
    if (!read) {
        m_error = m_file.errorString();
        return Answer::Unreadable;
    }
    payload = dataPayload(piece, offset);
    return Answer::Piece;
}
