#include "imageblockreader.h"

#include <QIODevice>

#include <algorithm>

void ImageBlockReader::reset()
{
    m_blockStart = -1;
    m_blockLength = 0;
    m_blockReads = 0;
}

bool ImageBlockReader::loadBlock(QIODevice &image, qint64 imageSize, qint64 start)
{
    m_blockStart = -1;
    m_blockLength = 0;
    ++m_blockReads;
    if (image.pos() != start && !image.seek(start))
        return false;
    const qint64 expected = std::min<qint64>(BlockSize, imageSize - start);
    // A file cut shorter since the download started must not be served from a read-ahead buffer.
    if (image.size() < start + expected)
        return false;
    const qint64 got = image.read(reinterpret_cast<char *>(m_blockBuffer.data()), expected);
    if (got != expected)
        return false; // unreadable, or shorter than it was when the download started
    m_blockStart = start;
    m_blockLength = int(got);
    return true;
}

bool ImageBlockReader::readPiece(QIODevice &image, qint64 imageSize, quint32 requestedOffset,
                                 quint8 *piece)
{
    const qint64 aligned = requestedOffset & ~quint32(3);
    const qint64 start = aligned & ~qint64(BlockSize - 1);
    if (aligned >= imageSize)
        return false;
    if (start != m_blockStart && !loadBlock(image, imageSize, start))
        return false;
    const int index = int(aligned - start);
    for (int k = 0; k < 4; ++k)
        piece[k] = index + k < m_blockLength ? m_blockBuffer[index + k] : 0;
    return true;
}
