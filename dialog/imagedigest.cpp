#include "imagedigest.h"

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
    m_stamp = {};
    m_sha256.clear();
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit failed(m_file.errorString());
        return;
    }
    m_started = imageStampOf(m_file);
    m_pass.start();
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
    // A file written to while it was read has no one hash.
    const bool complete =
        got == 0 && m_file.pos() == m_started.size && imageStampOf(m_file) == m_started;
    const QString error = m_file.errorString();
    m_file.close();
    if (!complete) {
        emit failed(got < 0 ? error : QStringLiteral("the file changed while it was read"));
        return;
    }
    m_stamp = m_started;
    m_sha256 = m_hash.result();
    emit finished();
}
