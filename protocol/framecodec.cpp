#include "framecodec.h"

#include <algorithm>

int escapeBytes(const quint8 *in, int count, quint8 *out)
{
    int n = 0;
    for (int i = 0; i < count; ++i) {
        const quint8 b = in[i];
        if (b == FrameStart || b == FrameEscape) {
            out[n++] = FrameEscape;
            out[n++] = quint8(b ^ EscapeXor);
        } else {
            out[n++] = b;
        }
    }
    return n;
}

quint8 checkByte(const quint8 *payload, int length)
{
    return quint8(crc16(payload, length - 1) & 0xFF);
}

HostFrame encodeHostFrame(quint8 *payload, int length)
{
    HostFrame frame;
    if (length < 1)
        return frame;
    const int n = std::min(length, PayloadSize);
    payload[n - 1] = checkByte(payload, n);
    frame.bytes[0] = FrameStart;
    frame.bytes[1] = HostMarker;
    frame.size = 2 + escapeBytes(payload, n, frame.bytes.data() + 2);
    return frame;
}

bool FrameParser::step(quint8 byte)
{
    switch (m_position) {
    case 0:
        if (byte == FrameStart) {
            m_frame[0] = byte;
            m_position = 1;
        }
        return false;
    case 1:
        if (byte == DeviceMarker) {
            m_frame[1] = byte;
            m_escapeMask = 0;
            m_position = 2;
        } else {
            m_position = 0;
        }
        return false;
    default:
        if (byte == FrameStart) {
            m_frame[0] = byte;
            m_position = 1;
            return false;
        }
        if (byte == FrameEscape) {
            m_escapeMask = EscapeXor;
            return false;
        }
        m_frame[m_position++] = quint8(byte ^ m_escapeMask);
        m_escapeMask = 0;
        if (m_position == DeviceFrameSize) {
            m_position = 0;
            return true;
        }
        return false;
    }
}
