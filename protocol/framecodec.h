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

// Puts the check byte into payload[length - 1] and escapes the payload into out (room for 16
// bytes). length is clamped to 1..8. Returns the number of escaped bytes.
int encodeHostPayload(quint8 *payload, int length, quint8 *out);

// A host frame as it goes on the wire; at most 18 bytes.
struct HostFrame
{
    std::array<quint8, 2 + MaxEscapedPayload> bytes{};
    int size = 0;
};

HostFrame encodeHostFrame(FramePayload payload);

// Writes one host frame to any sink with write(const char *, qint64), QIODevice included, in two
// write calls: the two-byte header, then the escaped payload. payload[length - 1] receives the
// check byte. A length below 1 writes nothing.
template <typename Sink> void writeHostFrame(Sink &sink, quint8 *payload, int length)
{
    if (length < 1)
        return;
    static constexpr char header[2] = {char(FrameStart), char(HostMarker)};
    sink.write(header, 2);
    quint8 escaped[MaxEscapedPayload];
    const int size = encodeHostPayload(payload, length, escaped);
    sink.write(reinterpret_cast<const char *>(escaped), size);
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
