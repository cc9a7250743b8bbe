// Framing round trips, both directions, behind arbitrary line noise.
//
// Input: bytes 0..7 (zero-padded) are the frame content, the rest is noise sent on the line before
// the frame. A host frame written by writeHostFrame must come out of the device's HostFrameParser
// as exactly that payload with a good check byte; a device frame encoded by encodeDeviceFrame must
// come out of the tool's FrameParser as exactly that frame. The frame is also fed cut in two at
// every byte, since both parsers keep their state from one read to the next. Any mismatch
// aborts.
#include "devicemodel.h"
#include "framecodec.h"
#include "fuzzline.h"

#include <QByteArray>

#include <algorithm>
#include <optional>

namespace {

// The sink the tool's port stands in for: collects the bytes and counts the write calls.
struct ByteSink
{
    QByteArray bytes;
    int writes = 0;

    qint64 write(const char *data, qint64 count)
    {
        ++writes;
        bytes.append(data, count);
        return count;
    }
};

const quint8 *asBytes(const QByteArray &bytes)
{
    return reinterpret_cast<const quint8 *>(bytes.constData());
}

// Escaped frame bytes may never contain a start byte, and an escape byte is always followed by an
// escaped 0x7D or 0x7E.
void checkEscaping(const quint8 *bytes, int size)
{
    for (int i = 0; i < size; ++i) {
        fuzzCheck(bytes[i] != FrameStart, "start byte inside an encoded frame");
        if (bytes[i] == FrameEscape) {
            fuzzCheck(i + 1 < size, "encoded frame ends in an escape byte");
            const quint8 next = bytes[++i];
            fuzzCheck(next == (FrameStart ^ EscapeXor) || next == (FrameEscape ^ EscapeXor),
                      "escape byte before a byte that needs no escaping");
        }
    }
}

void hostRoundTrip(const quint8 *content, const quint8 *noise, size_t noiseSize)
{
    FramePayload payload{};
    std::copy(content, content + PayloadSize, payload.begin());
    const HostFrame encoded = encodeHostFrame(payload); // takes a copy

    ByteSink sink;
    writeHostFrame(sink, payload.data(), PayloadSize);
    fuzzCheck(sink.writes == 2, "writeHostFrame did not write header and payload in two calls");
    fuzzCheck(payload[7] == checkByte(payload.data()), "writeHostFrame put a wrong check byte");
    fuzzCheck(sink.bytes.size() >= 2 + PayloadSize && sink.bytes.size() <= 2 + MaxEscapedPayload,
              "host frame of impossible length");
    fuzzCheck(quint8(sink.bytes[0]) == FrameStart && quint8(sink.bytes[1]) == HostMarker,
              "host frame header");
    fuzzCheck(encoded.size == sink.bytes.size() &&
                  std::equal(encoded.bytes.begin(), encoded.bytes.begin() + encoded.size,
                             asBytes(sink.bytes)),
              "encodeHostFrame and writeHostFrame disagree");
    checkEscaping(asBytes(sink.bytes) + 2, int(sink.bytes.size()) - 2);

    // Noise can hold frames of its own; whatever state it leaves, the start byte of our frame
    // begins a new one (an escape pending at its end included).
    HostFrameParser afterNoise;
    afterNoise.feed(noise, qint64(noiseSize), [](const HostFrameParser::Result &) {});

    for (int cut = 0; cut < sink.bytes.size(); ++cut) {
        HostFrameParser parser = afterNoise;
        int frames = 0;
        std::optional<HostFrameParser::Result> last;
        const auto collect = [&](const HostFrameParser::Result &result) {
            ++frames;
            last = result;
        };
        parser.feed(asBytes(sink.bytes), cut, collect);
        fuzzCheck(frames == 0, "host frame delivered before its last byte");
        parser.feed(asBytes(sink.bytes) + cut, sink.bytes.size() - cut, collect);
        fuzzCheck(frames == 1, "host frame not delivered exactly once");
        fuzzCheck(last->payload == payload, "host payload changed on the way");
        fuzzCheck(last->checkOk, "host frame check byte rejected");
    }
}

void deviceRoundTrip(const quint8 *content, const quint8 *noise, size_t noiseSize)
{
    DeviceFrame frame{};
    frame[0] = FrameStart;
    frame[1] = DeviceMarker;
    std::copy(content, content + DeviceFrameSize - 2, frame.begin() + 2);
    const DeviceWireFrame wire = encodeDeviceFrame(frame);
    fuzzCheck(wire.size >= DeviceFrameSize && wire.size <= int(wire.bytes.size()),
              "device frame of impossible length");
    fuzzCheck(wire.bytes[0] == FrameStart && wire.bytes[1] == DeviceMarker, "device frame header");
    checkEscaping(wire.bytes.data() + 2, wire.size - 2);

    FrameParser afterNoise;
    afterNoise.feed(noise, qint64(noiseSize), [](const DeviceFrame &) {});
    // A start byte directly after a start byte returns the parser to waiting: noise that leaves
    // it just after a start byte (7E 7E 5E ...) loses the frame, and nothing else may.
    const int expected = afterNoise.position() == 1 ? 0 : 1;

    for (int cut = 0; cut < wire.size; ++cut) {
        FrameParser parser = afterNoise;
        int frames = 0;
        DeviceFrame last{};
        const auto collect = [&](const DeviceFrame &received) {
            ++frames;
            last = received;
        };
        parser.feed(wire.bytes.data(), cut, collect);
        fuzzCheck(frames == 0, "device frame delivered before its last byte");
        parser.feed(wire.bytes.data() + cut, wire.size - cut, collect);
        fuzzCheck(frames == expected, expected ? "device frame not delivered exactly once"
                                               : "device frame delivered after 7E 7E");
        if (expected)
            fuzzCheck(last == frame, "device frame changed on the way");
        fuzzCheck(parser.position() == 0, "parser not back to waiting after a whole frame");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    quint8 content[PayloadSize] = {};
    const size_t used = std::min<size_t>(size, PayloadSize);
    std::copy(data, data + used, content);
    hostRoundTrip(content, data + used, size - used);
    deviceRoundTrip(content, data + used, size - used);
    return 0;
}
