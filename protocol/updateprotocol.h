#pragma once

#include "framecodec.h"

#include <QString>

#include <chrono>

// Host commands (payload byte 1).
constexpr quint8 CMD_PING = 0x00;
constexpr quint8 CMD_GET_VERSION = 0x01;
constexpr quint8 CMD_START = 0x03;
constexpr quint8 CMD_DATA = 0x04;
constexpr quint8 CMD_END = 0x05;

// Device responses (device frame byte 3).
constexpr quint8 RSP_PRESENT = 0x80;
constexpr quint8 RSP_VERSION = 0x81;
constexpr quint8 RSP_DATA_REQUEST = 0x82;
constexpr quint8 RSP_DONE = 0x83;
constexpr quint8 RSP_CANCELLED = 0x84;

// A code and its name in the wire traces.
struct NamedCode
{
    quint8 code;
    const char *name;
};

// The one table of the codes' names, for the tool's wire trace and the simulated device's trace:
// "tx PING 50 00 ...", "rx RSP_PRESENT 7e 5e ...". A code the tool sends or reads is in it.
inline constexpr NamedCode CommandCodes[] = {
    {CMD_PING, "PING"}, {CMD_GET_VERSION, "GET_VERSION"}, {CMD_START, "START"}, {CMD_DATA, "DATA"},
    {CMD_END, "END"},
};
inline constexpr NamedCode ResponseCodes[] = {
    {RSP_PRESENT, "RSP_PRESENT"},           {RSP_VERSION, "RSP_VERSION"},
    {RSP_DATA_REQUEST, "RSP_DATA_REQUEST"}, {RSP_DONE, "RSP_DONE"},
    {RSP_CANCELLED, "RSP_CANCELLED"},
};

// The name of a command (payload byte 1) or a response (device frame byte 3); nullptr for a code
// the table does not hold.
const char *commandName(quint8 code);
const char *responseName(quint8 code);

// Where an update stands; the numbers are part of the tool's behaviour and must not change.
enum class UpdateState : int
{
    Probing = 0,
    VersionQuery = 1,
    Ready = 2,
    Starting = 3,
    Transferring = 4,
    Finishing = 5,
};

// Offsets on the wire are signed 32-bit: no image may be larger than this.
constexpr qint64 MaxImageSize = 0x7FFFFFFF;

// 50 code 00 00 00 00 00 00: the payload of every command that carries no data.
FramePayload commandPayload(quint8 code);

// CMD_DATA carrying four image bytes and the low byte of the offset the device asked for.
FramePayload dataPayload(const quint8 *piece, quint32 requestedOffset);

// The identification test: byte 1 is the device marker and byte 2 the payload lead.
inline bool isDeviceFrame(const DeviceFrame &frame)
{
    return frame[1] == DeviceMarker && frame[2] == PayloadLead;
}

// The offset of an RSP_DATA_REQUEST: frame bytes 4..7, little-endian.
inline quint32 requestedOffsetOf(const DeviceFrame &frame)
{
    return quint32(frame[4]) | quint32(frame[5]) << 8 | quint32(frame[6]) << 16 |
           quint32(frame[7]) << 24;
}

// The versions of an RSP_VERSION frame as the tool shows them, major and minor as two lowercase hex
// digits each: the firmware's from bytes 7 and 6 ("01.00"), the hardware's from bytes 5 and 4
// ("05.07").
QString firmwareVersion(const DeviceFrame &frame);
QString hardwareVersion(const DeviceFrame &frame);

// "Firm Vmm.nn, hardware Vmm.nn, click Download" from an RSP_VERSION frame.
QString versionText(const DeviceFrame &frame);

// The time the line itself needs to carry an image, 10 bits a byte at baud: per four image bytes
// one round trip of a data request from the device and a data frame from the host (escapes left
// out). About 3.5 ms per four bytes at 57600 baud.
std::chrono::microseconds lineTimeOf(qint64 imageSize, qint32 baud);

// Progress in percent for the offset last asked for: 0 for an empty image, never above 100.
int progressValue(quint32 requestedOffset, qint64 imageSize);
