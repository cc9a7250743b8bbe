// The device's frames on the wire: built and escaped, cut out of the host's bytes and checked,
// and on their one road out to the line, where the faults of a bad line and a misbehaving device
// touch the outgoing bytes (noise, foreign frames, corrupt reserved bytes, splits, delays).

#include "devicemodel.h"

#include "updateprotocol.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr int MaxChunk = 6; // bytes in a chunk of a split frame, at most

} // namespace

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
    ++m_bytes;
    if (byte == FrameStart) {
        m_position = 1;
        m_escapeMask = 0;
    } else if (m_position == 1) {
        m_position = byte == HostMarker ? 2 : 0;
    } else if (m_position >= 2 && byte == FrameEscape) {
        m_escapeMask = EscapeXor;
    } else if (m_position >= 2) {
        m_result.payload[m_position - 2] = quint8(byte ^ m_escapeMask);
        m_escapeMask = 0;
        if (++m_position == 2 + PayloadSize) {
            m_position = 0;
            m_result.checkOk = checkByte(m_result.payload.data()) == m_result.payload[7];
            m_result.wireBytes = m_bytes;
            m_bytes = 0;
            return true;
        }
    }
    return false;
}

const char *hostFrameFault(const HostFrameParser::Result &frame)
{
    if (!frame.checkOk)
        return "a frame with a wrong check byte";
    if (frame.payload[0] != PayloadLead)
        return "a frame without the payload lead";
    return commandName(frame.payload[1]) ? nullptr : "an unknown command";
}

void DeviceModel::sendFrame(quint8 code, quint32 data, bool strayStart)
{
    DeviceFrame frame = makeDeviceFrame(code, data);
    if (m_options.badIdentification) // alternately the two ways a frame is not the device's
        ++frame[m_framesSent % 2 == 0 ? 1 : 2];
    if (chance(m_options.corruptExtraRate)) {
        ++m_stats.corruptedExtras;
        // Often the two reserved values, so that the escaping of junk is exercised too.
        for (const int at : {8, 9}) {
            const quint32 pick = below(3);
            frame[at] = pick == 0 ? FrameEscape : pick == 1 ? FrameStart : quint8(m_random());
        }
    }
    ++m_framesSent;

    Output &out = m_output.emplace_back(); // in place: nothing is copied on the way
    out.frame = frame;
    if (chance(m_options.noiseRate)) {
        ++m_stats.noiseBursts;
        noiseBurst(out);
    }
    if (chance(m_options.foreignFrameRate)) {
        ++m_stats.foreignFrames;
        DeviceFrame foreign = makeDeviceFrame(ResponseCodes[below(std::size(ResponseCodes))].code,
                                              m_random(), quint8(m_random()), quint8(m_random()));
        foreign[2] = byteExcept(PayloadLead, PayloadLead);
        const DeviceWireFrame wire = encodeDeviceFrame(foreign);
        out.append(wire.bytes.data(), wire.size);
    }
    if (strayStart)
        out.append(&FrameStart, 1);
    const DeviceWireFrame wire = encodeDeviceFrame(frame);
    out.append(wire.bytes.data(), wire.size);

    std::int64_t delayNs = 0;
    if (m_options.maxDelayMs > 0 && chance(m_options.delayRate)) {
        ++m_stats.delayedFrames;
        delayNs = (1 + std::int64_t(below(quint32(m_options.maxDelayMs)))) * NsPerMs;
    }
    if (!chance(m_options.splitRate)) {
        out.endsFrame = true;
        return queue(out, delayNs);
    }
    ++m_stats.splitFrames;
    const Output whole = out; // in chunks instead
    m_output.pop_back();
    const bool singleBytes = below(2) == 0;
    const int gapMs = std::max(0, m_options.splitGapMs);
    int budget = DeviceOptions::SplitBudgetMs;
    for (int at = 0; at < whole.size;) {
        const quint8 *from = whole.bytes.data() + at;
        int length = singleBytes ? 1 : 1 + int(below(quint32(std::min(MaxChunk, whole.size - at))));
        // A chunk also ends right after an escape byte, so that the host gets the escape and the
        // byte it applies to in different reads.
        length = std::min(length, int(std::find(from, from + length, FrameEscape) - from) + 1);
        if (at > 0) {
            int gap = int(below(quint32(gapMs) + 1));
            if (gapMs > 0 && from[-1] == FrameEscape)
                gap = std::max(gap, 1);
            gap = std::min(budget, gap);
            budget -= gap;
            delayNs = gap * NsPerMs;
        }
        Output &chunk = m_output.emplace_back();
        chunk.frame = frame;
        chunk.endsFrame = at + length == whole.size;
        chunk.append(from, length);
        queue(chunk, delayNs);
        at += length;
    }
}

void DeviceModel::noiseBurst(Output &out)
{
    const auto add = [&out](quint8 byte) {
        out.append(&byte, 1);
    };
    const int segments = 1 + int(below(3));
    for (int s = 0; s < segments; ++s) {
        if (below(2) == 0) {
            // Bytes outside a frame: dropped as long as none of them is a frame start.
            for (int n = 1 + int(below(8)); n > 0; --n)
                add(byteExcept(FrameStart, FrameStart));
        } else {
            // A frame start that goes nowhere: the byte after it returns the parser to waiting.
            // Not 0x5E, which would start a frame, nor 0x7E, after which the next 0x5E is lost.
            add(FrameStart);
            add(byteExcept(DeviceMarker, FrameStart));
        }
    }
    if (below(3) == 0) {
        // A frame start cut short: at most six bytes of it, so it never completes; the real
        // frame's start byte begins the frame again.
        add(FrameStart);
        add(DeviceMarker);
        for (int n = int(below(7)); n > 0; --n)
            add(byteExcept(FrameStart, FrameStart));
    }
}

void DeviceModel::queue(Output &out, std::int64_t delayNs)
{
    out.dueNs = std::max(m_nowNs, m_lastDueNs) + delayNs + (out.size > 0 ? lineNs(out.size) : 0);
    m_lastDueNs = out.dueNs;
    queued();
}

quint8 DeviceModel::byteExcept(quint8 a, quint8 b)
{
    quint8 byte;
    do {
        byte = quint8(m_random());
    } while (byte == a || byte == b);
    return byte;
}
