#pragma once

#include "crc16.h"

#include <QtGlobal>

#include <array>

// Byte-level framing of the serial link. The host sends 0x7E 0xFF and an escaped 8-byte payload;
// the device answers with 0x7E 0x5E and eight escaped bytes. 0x7E and 0x7D inside a frame travel
// as 0x7D followed by the byte XOR 0x20.

constexpr quint8 FrameStart = 0x7E;
constexpr quint8 FrameEscape = 0x7D;
constexpr quint8 EscapeXor = 0x20;
constexpr quint8 HostMarker = 0xFF;
constexpr quint8 DeviceMarker = 0x5E;
constexpr quint8 PayloadLead = 0x50;

constexpr int PayloadSize = 8;
constexpr int DeviceFrameSize = 10;
constexpr int MaxEscapedPayload = 2 * PayloadSize;

using FramePayload = std::array<quint8, PayloadSize>;
using DeviceFrame = std::array<quint8, DeviceFrameSize>;

// Copies count bytes to out, escaping 0x7D and 0x7E; returns the bytes written (at most 2 * count).
int escapeBytes(const quint8 *in, int count, quint8 *out);

// The check byte of a host payload of length bytes: the low byte of crc16 over the bytes before
// it, payload[0 .. length - 2].
quint8 checkByte(const quint8 *payload, int length = PayloadSize);

// A host frame as it goes on the wire: 0x7E 0xFF and the escaped payload; at most 18 bytes.
struct HostFrame
{
    std::array<quint8, 2 + MaxEscapedPayload> bytes{};
    int size = 0;
};

// Puts the check byte into payload[length - 1] and encodes the frame. length is cut to 8; a
// length below 1 gives an empty frame (size 0) and leaves the payload alone.
HostFrame encodeHostFrame(quint8 *payload, int length);

// The frame of a whole payload, whose last byte is replaced by the check byte; the caller's
// payload is not touched.
inline HostFrame encodeHostFrame(FramePayload payload)
{
    return encodeHostFrame(payload.data(), PayloadSize);
}

// Writes one host frame to any sink with write(const char *, qint64), QIODevice included, in two
// write calls: the two-byte header, then the escaped payload. As encodeHostFrame,
// payload[length - 1] receives the check byte and a length below 1 writes nothing.
template <typename Sink> void writeHostFrame(Sink &sink, quint8 *payload, int length)
{
    const HostFrame frame = encodeHostFrame(payload, length);
    if (frame.size == 0)
        return;
    const char *bytes = reinterpret_cast<const char *>(frame.bytes.data());
    sink.write(bytes, 2);
    sink.write(bytes + 2, frame.size - 2);
}

// Cuts device frames out of the received byte stream. State survives from one feed to the next.
class FrameParser
{
public:
    // Calls handler(const DeviceFrame &) for every complete frame, in order, synchronously.
    template <typename Handler> void feed(const quint8 *bytes, qint64 count, Handler &&handler)
    {
        for (qint64 i = 0; i < count; ++i) {
            if (step(bytes[i]))
                handler(std::as_const(m_frame));
        }
    }

    int position() const { return m_position; }

private:
    // Consumes one byte; true when it completed a frame (now in m_frame).
    bool step(quint8 byte);

    int m_position = 0;
    quint8 m_escapeMask = 0;
    DeviceFrame m_frame{};
};
