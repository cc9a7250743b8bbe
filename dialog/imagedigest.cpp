#include "imagedigest.h"

#include <QFileInfo>

ImageDigest::ImageDigest(QObject *parent) : QObject(parent)
{
    m_pass.setInterval(0);
    connect(&m_pass, &QTimer::timeout, this, &ImageDigest::readChunk);
}

void ImageDigest::start(const QString &path)
{
    m_pass.stop();
    m_file.close();
    m_hash.reset();
    m_path = path;
    m_size = -1;
    m_sha256.clear();
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit failed(m_file.errorString());
        return;
    }
    const QFileInfo info(m_file);
    m_startSize = info.size();
    m_startModified = info.lastModified();
    m_pass.start();
}

bool ImageDigest::changedOnDisk() const
{
    const QFileInfo info(m_path);
    return !info.exists() || info.size() != m_size || info.lastModified() != m_modified;
}

void ImageDigest::readChunk()
{
    QByteArray chunk(ChunkBytes, Qt::Uninitialized);
    const qint64 got = m_file.read(chunk.data(), ChunkBytes);
    if (got > 0) {
        m_hash.addData(QByteArrayView(chunk.constData(), got));
        return;
    }
    m_pass.stop();
    const bool complete = got == 0 && m_file.pos() == m_startSize;
    const QString error = m_file.errorString();
    m_file.close();
    if (!complete) {
        emit failed(got < 0 ? error : QStringLiteral("the file changed while it was read"));
        return;
    }
    m_size = m_startSize;
    m_modified = m_startModified;
    m_sha256 = m_hash.result();
    emit finished();
}
