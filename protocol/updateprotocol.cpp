#include "updateprotocol.h"

#include <algorithm>
#include <iterator>

namespace {

template <std::size_t N> const char *nameIn(const NamedCode (&table)[N], quint8 code)
{
    const auto found = std::find_if(std::begin(table), std::end(table),
                                    [code](const NamedCode &entry) { return entry.code == code; });
    return found == std::end(table) ? nullptr : found->name;
}

} // namespace

const char *commandName(quint8 code)
{
    return nameIn(CommandCodes, code);
}

const char *responseName(quint8 code)
{
    return nameIn(ResponseCodes, code);
}

FramePayload commandPayload(quint8 code)
{
    return FramePayload{PayloadLead, code, 0, 0, 0, 0, 0, 0};
}

FramePayload dataPayload(const quint8 *piece, quint32 requestedOffset)
{
    return FramePayload{PayloadLead,
                        CMD_DATA,
                        piece[0],
                        piece[1],
                        piece[2],
                        piece[3],
                        quint8(requestedOffset & 0xFF),
                        0};
}

QString firmwareVersion(const DeviceFrame &frame)
{
    return QString::asprintf("%2.2x.%2.2x", unsigned(frame[7]), unsigned(frame[6]));
}

QString hardwareVersion(const DeviceFrame &frame)
{
    return QString::asprintf("%2.2x.%2.2x", unsigned(frame[5]), unsigned(frame[4]));
}

QString versionText(const DeviceFrame &frame)
{
    return QStringLiteral("Firm V%1, hardware V%2, click Download")
        .arg(firmwareVersion(frame), hardwareVersion(frame));
}

int progressValue(quint32 requestedOffset, qint64 imageSize)
{
    if (imageSize <= 0)
        return 0;
    return int(std::min<qint64>(100, qint64(requestedOffset) * 100 / imageSize));
}

std::chrono::microseconds lineTimeOf(qint64 imageSize, qint32 baud)
{
    if (imageSize <= 0 || baud <= 0)
        return std::chrono::microseconds(0);
    constexpr qint64 BitsPerByte = 10; // start bit, 8 data bits, stop bit
    constexpr qint64 RoundTripBytes = DeviceFrameSize + 2 + PayloadSize;
    const qint64 pieces = (imageSize + 3) / 4;
    return std::chrono::microseconds(pieces * RoundTripBytes * BitsPerByte * 1000000 / baud);
}
