#include "fuzzline.h"

#include "updateprotocol.h"

#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

void fuzzFail(const char *what)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::abort();
}

QByteArray fuzzImage()
{
    QByteArray bytes(FuzzImageSize, Qt::Uninitialized);
    for (qint64 i = 0; i < FuzzImageSize; ++i)
        bytes[i] = char((i * 131 + (i >> 8) * 7 + 1) & 0xFF);
    return bytes;
}

QString fuzzImagePath()
{
    // Static, so that it is removed when the fuzzer exits.
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString file = dir.filePath(QStringLiteral("image.vuf"));
        QFile image(file);
        const QByteArray bytes = fuzzImage();
        if (!dir.isValid() || !image.open(QIODevice::WriteOnly) ||
            image.write(bytes) != bytes.size())
            fuzzFail("cannot write the image");
        return file;
    }();
    return path;
}

quint8 checkHostFrame(const HostFrameParser::Result &result)
{
    const FramePayload &payload = result.payload;
    if (!result.checkOk)
        fuzzFail("the host sent a frame with a wrong check byte");
    if (payload[0] != PayloadLead)
        fuzzFail("the host sent a frame without the payload lead");
    if (!commandName(payload[1]))
        fuzzFail("the host sent an unknown command");
    return payload[1];
}

void checkDataPiece(const FramePayload &payload)
{
    static const QByteArray image = fuzzImage();
    for (qint64 offset = payload[6] & ~3; offset < FuzzImageSize; offset += 256) {
        bool same = true;
        for (int k = 0; k < 4 && same; ++k) {
            const quint8 expected = offset + k < FuzzImageSize ? quint8(image[offset + k]) : 0;
            same = payload[2 + k] == expected;
        }
        if (same)
            return;
    }
    fuzzFail("the host sent data that is not the image's at the requested offset");
}

bool FuzzLine::open()
{
    if (!m_line.open()) {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name,
                     qPrintable(m_line.errorString()));
        return false;
    }
    m_watchFd = ::open(QFile::encodeName(m_line.slavePath()).constData(),
                       O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return m_watchFd >= 0;
}

void FuzzLine::write(const quint8 *bytes, qint64 count)
{
    if (m_line.write(reinterpret_cast<const char *>(bytes), count) != count)
        fuzzFail("cannot write to the pseudo-terminal");
}

bool FuzzLine::idle(bool readerGone) const
{
    if (m_line.bytesToWrite() > 0)
        return false;
    if (readerGone) {
        char drain[4096];
        while (::read(m_watchFd, drain, sizeof drain) > 0) {
        }
        return true;
    }
    pollfd entry{m_watchFd, POLLIN, 0};
    if (::poll(&entry, 1, 0) < 0)
        return false;
    return (entry.revents & POLLIN) == 0;
}
