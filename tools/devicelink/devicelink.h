#pragma once

#include "framecodec.h"

// The device's side of the link, for the simulated device and the tests: it reads host frames and
// writes device frames.

// A device frame on the wire: 0x7E 0x5E, then bytes 2..9 escaped. At most 18 bytes.
struct DeviceWireFrame
{
    std::array<quint8, 2 + 2 * (DeviceFrameSize - 2)> bytes{};
    int size = 0;
};

// Frame bytes 2..9 are 0x50, code, data[0..3], extra[0..1].
DeviceFrame makeDeviceFrame(quint8 code, quint32 data = 0, quint8 extra0 = 0, quint8 extra1 = 0);
DeviceWireFrame encodeDeviceFrame(const DeviceFrame &frame);

// Cuts host frames out of the byte stream the host sends: 0x7E 0xFF and eight escaped payload
// bytes. A 0x7E anywhere starts a new frame.
class HostFrameParser
{
public:
    struct Result
    {
        FramePayload payload;
        bool checkOk;
    };

    // Calls handler(const Result &) for every complete frame, in order.
    template <typename Handler> void feed(const quint8 *bytes, qint64 count, Handler &&handler)
    {
        for (qint64 i = 0; i < count; ++i) {
            if (step(bytes[i]))
                handler(Result{m_payload, checkByte(m_payload.data()) == m_payload[7]});
        }
    }

private:
    bool step(quint8 byte);

    int m_position = 0; // 0 waiting for 0x7E, 1 waiting for 0xFF, 2.. payload byte index + 2
    quint8 m_escapeMask = 0;
    FramePayload m_payload{};
};
