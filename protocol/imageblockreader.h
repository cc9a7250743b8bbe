#pragma once

#include <QtGlobal>

#include <array>

class QIODevice;

// Serves four-byte pieces of the firmware image from one 1024-byte block in memory, reading the
// block that holds the asked offset when it is not the one loaded. A device that asks in order
// costs one read per block; one that asks again for an earlier piece, or skips ahead, still gets
// the bytes at its offset.
class ImageBlockReader
{
public:
    static constexpr int BlockSize = 1024;

    // Forgets the loaded block; the next piece reads from the image again.
    void reset();

    // Fills piece with the image bytes at requestedOffset rounded down to a multiple of four;
    // positions at or past imageSize are 0. requestedOffset must be below imageSize. False when
    // the image could not be read as far as imageSize says: piece is then left untouched.
    bool readPiece(QIODevice &image, qint64 imageSize, quint32 requestedOffset, quint8 *piece);

    // Image bytes read since the last reset, up to the end of the loaded block: the file offset
    // just past the block in memory, or 0 when none is loaded.
    qint64 loadedBytes() const { return m_blockStart < 0 ? 0 : m_blockStart + m_blockLength; }

    // Number of block reads since the last reset.
    int blockReads() const { return m_blockReads; }

private:
    bool loadBlock(QIODevice &image, qint64 imageSize, qint64 start);

    std::array<quint8, BlockSize> m_blockBuffer{};
    qint64 m_blockStart = -1;
    int m_blockLength = 0;
    int m_blockReads = 0;
};
