#include "firmwareimage.h"

#include "updateprotocol.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

namespace {

// The image is read a block at a time and nothing else of it is kept: no read-ahead buffer, so a
// file cut shorter on disk is noticed at the next read.
constexpr QIODevice::OpenMode ImageOpenMode = QIODevice::ReadOnly | QIODevice::Unbuffered;

} // namespace

bool FirmwareImage::open(QFile &file, QString *problem)
{
    const QString &path = m_facts.path;
    const QFileInfo info(path);
    if (!info.exists()) {
        *problem = QStringLiteral("%1: no such file").arg(path);
        return false;
    }
    if (info.isDir()) {
        *problem = QStringLiteral("%1: a folder, not an image file").arg(path);
        return false;
    }
    file.close();
    file.setFileName(path);
    if (!file.open(ImageOpenMode)) {
        *problem = QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    const qint64 size = file.size();
    if (size == 0) {
        *problem = QStringLiteral("%1: the file is empty").arg(path);
        file.close();
        return false;
    }
    if (size > MaxImageSize) {
        *problem = QStringLiteral("%1: %2 bytes, more than the %3 bytes a device can ask for")
                       .arg(path)
                       .arg(size)
                       .arg(MaxImageSize);
        file.close();
        return false;
    }
    return true;
}

bool FirmwareImage::load(QString *problem)
{
    QFile file;
    ImageFacts facts;
    ImageStamp stamp;
    m_stamp = {};
    return openForUpdate(file, &facts, &stamp, problem);
}

bool FirmwareImage::openForUpdate(QFile &file, ImageFacts *facts, ImageStamp *stamp,
                                  QString *problem)
{
    if (!open(file, problem))
        return false;
    const ImageStamp now = imageStampOf(file);
    if (now != m_stamp) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!hash.addData(&file) || file.pos() != now.size) {
            *problem =
                QStringLiteral("%1: cannot be read: %2").arg(m_facts.path, file.errorString());
            file.close();
            return false;
        }
        // A file written to while it was hashed has no one hash: better no update than a record
        // that names bytes the device never got.
        if (imageStampOf(file) != now) {
            *problem =
                QStringLiteral("%1: the file changed while it was being read").arg(m_facts.path);
            file.close();
            return false;
        }
        m_facts.size = now.size;
        m_facts.sha256 = hash.result().toHex();
        m_stamp = now;
        file.seek(0);
    }
    *facts = m_facts;
    *stamp = m_stamp;
    return true;
}
