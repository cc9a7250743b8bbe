#include "fuzzline.h"

#include "updateprotocol.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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

bool FuzzLine::open()
{
    if (!m_line.open()) {
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name,
                     qPrintable(m_line.errorString()));
        return false;
    }
    QObject::connect(&m_line, &QIODevice::readyRead, &m_line, [this] { readHostFrames(); });
    m_watchFd = ::open(QFile::encodeName(m_line.slavePath()).constData(),
                       O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return m_watchFd >= 0;
}

void FuzzLine::onHostFrame(std::function<void(const FramePayload &)> handler)
{
    m_handler = std::move(handler);
}

void FuzzLine::readHostFrames()
{
    static const QByteArray image = fuzzImage();
    const QByteArray bytes = m_line.readAll();
    m_parser.feed(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size(),
                  [this](const HostFrameParser::Result &result) {
                      if (const char *fault = hostFrameFault(result))
                          fuzzFail(qPrintable(QStringLiteral("the host sent %1").arg(fault)));
                      const FramePayload &payload = result.payload;
                      bool fromImage = payload[1] != CMD_DATA;
                      // The offset asked for is not known here: any whose low byte is byte 6.
                      for (qint64 offset = payload[6]; !fromImage && (offset & ~3) < FuzzImageSize;
                           offset += 256)
                          fromImage = isImagePiece(image, quint32(offset), payload);
                      if (!fromImage)
                          fuzzFail("the host sent data that is not the image's at the requested "
                                   "offset");
                      if (m_handler)
                          m_handler(payload);
                  });
}

void FuzzLine::write(const quint8 *bytes, qint64 count)
{
    if (mirror)
        mirror(bytes, count);
    if (m_line.write(reinterpret_cast<const char *>(bytes), count) != count)
        fuzzFail("cannot write to the pseudo-terminal");
}

void FuzzLine::sendFrame(quint8 code, quint32 data)
{
    const DeviceWireFrame wire = encodeDeviceFrame(makeDeviceFrame(code, data));
    write(wire.bytes.data(), wire.size);
}

void FuzzLine::feed(const quint8 *data, size_t size)
{
    const qint64 length = qint64(size - 1);
    qint64 at = 0;
    for (const qint64 end : {length * ((data[0] >> 3) & 0xF) / 16, length}) {
        if (end > at) {
            write(data + 1 + at, end - at);
            pumpUntilConsumed();
            at = end;
        }
    }
}

void FuzzLine::pumpUntilConsumed() const
{
    pumpUntil([this] { return idle(); }, "the host stopped reading the line");
    // The frames the host wrote in return go out from its port's write notifier and come in
    // through ours: a few more passes bring them over and through the checks.
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::processEvents();
}

bool FuzzLine::idle() const
{
    if (m_line.bytesToWrite() > 0)
        return false;
    if (readerGone()) {
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
