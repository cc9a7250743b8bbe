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

int encodeHostPayload(quint8 *payload, int length, quint8 *out)
{
    const int n = std::clamp(length, 1, PayloadSize);
    payload[n - 1] = quint8(crc16(payload, n - 1) & 0xFF);
    return escapeBytes(payload, n, out);
}

HostFrame encodeHostFrame(FramePayload payload)
{
    HostFrame frame;
    frame.bytes[0] = FrameStart;
    frame.bytes[1] = HostMarker;
    frame.size = 2 + encodeHostPayload(payload.data(), PayloadSize, frame.bytes.data() + 2);
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
