#include "devicelink.h"

DeviceFrame makeDeviceFrame(quint8 code, quint32 data, quint8 extra0, quint8 extra1)
{
    return DeviceFrame{
        FrameStart,        DeviceMarker,       PayloadLead,        code,   quint8(data),
        quint8(data >> 8), quint8(data >> 16), quint8(data >> 24), extra0, extra1};
}

DeviceWireFrame encodeDeviceFrame(const DeviceFrame &frame)
{
    DeviceWireFrame wire;
    wire.bytes[0] = frame[0];
    wire.bytes[1] = frame[1];
    wire.size = 2 + escapeBytes(frame.data() + 2, DeviceFrameSize - 2, wire.bytes.data() + 2);
    return wire;
}

bool HostFrameParser::step(quint8 byte)
{
    if (byte == FrameStart) {
        m_position = 1;
        m_escapeMask = 0;
        return false;
    }
    switch (m_position) {
    case 0:
        return false;
    case 1:
        m_position = byte == HostMarker ? 2 : 0;
        return false;
    default:
        if (byte == FrameEscape) {
            m_escapeMask = EscapeXor;
            return false;
        }
        m_payload[m_position - 2] = quint8(byte ^ m_escapeMask);
        m_escapeMask = 0;
        if (++m_position == 2 + PayloadSize) {
            m_position = 0;
            return true;
        }
        return false;
    }
}
