#pragma once

#include "framecodec.h"
#include "timing.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

// The device's side of the link, once for the simulator, the tests, the bench and the fuzz
// targets; the tool itself never links it. The model is free of timers and I/O: it takes the
// host's bytes with the time they were read and hands out the device's bytes with the time they
// are due. A driver derived from it keeps the transport and the clock: SimulatedDevice with Qt
// over any QIODevice, the bench's loops on pseudo-terminals with their own clocks.

// RSP_VERSION bytes 4..7 unless told otherwise: 07 05 00 01, hardware V05.07, firmware V01.00.
constexpr quint32 DeviceVersion = 0x01000507;

// A device frame on the wire: 0x7E 0x5E, then bytes 2..9 escaped. At most 18 bytes.
struct DeviceWireFrame
{
    std::array<quint8, 2 + 2 * (DeviceFrameSize - 2)> bytes{};
    int size = 0;
};

// Frame bytes 2..9 are 0x50, code, data[0..3], extra[0..1].
DeviceFrame makeDeviceFrame(quint8 code, quint32 data = 0, quint8 extra0 = 0, quint8 extra1 = 0);
DeviceWireFrame encodeDeviceFrame(const DeviceFrame &frame);

// Cuts host frames out of the bytes the host sends: 0x7E 0xFF and eight escaped payload bytes. A
// 0x7E anywhere starts a new frame.
class HostFrameParser
{
public:
    struct Result
    {
        FramePayload payload;
        bool checkOk;
        int wireBytes; // bytes read since the frame before, junk between frames included
    };

    template <typename Handler> void feed(const quint8 *bytes, qint64 count, Handler &&handler)
    {
        for (qint64 i = 0; i < count; ++i) {
            if (step(bytes[i]))
                handler(std::as_const(m_result));
        }
    }
    bool step(quint8 byte); // true when the byte completed a frame, which result() holds
    const Result &result() const { return m_result; }

private:
    int m_position = 0; // 0 waiting for 0x7E, 1 waiting for 0xFF, 2.. payload byte index + 2
    quint8 m_escapeMask = 0;
    int m_bytes = 0;
    Result m_result{};
};

// The checks of every host frame: what is wrong with it (a bad check byte, no payload lead, an
// unknown command), or nullptr.
const char *hostFrameFault(const HostFrameParser::Result &frame);
// True when a CMD_DATA payload answers a request for offset with the image's bytes: those of the
// piece that holds the offset (zeros past the image's end), and byte 6 the offset's low byte.
bool isImagePiece(const QByteArray &image, quint32 offset, const FramePayload &payload);

// How the device behaves. The defaults make a well-behaved device: it answers every probe,
// reports DeviceVersion, and fetches the image in order. A field that a devicesim option sets does
// what that option's help says (tools/devicesim/simoptions.cpp). Offsets are byte offsets into the
// image; -1 switches one off. A rate is a chance from 0 (never) to 1 (always). Every random choice
// comes from seed, so that a run with the same seed against the same host goes the same way. No
// fault makes the host see a wrong frame: junk never completes a frame that passes the
// identification test, and a frame start in the junk is always followed by something the host's
// parser drops.
struct DeviceOptions
{
    // RSP_VERSION frame bytes 4..7, in frame order: --version-bytes, --hardware, --firmware.
    quint8 hardwareMinor = quint8(DeviceVersion);
    quint8 hardwareMajor = quint8(DeviceVersion >> 8);
    quint8 firmwareMinor = quint8(DeviceVersion >> 16);
    quint8 firmwareMajor = quint8(DeviceVersion >> 24);
    int silentProbes = 0;           // --silent-probes: in the device's life
    bool noVersionReply = false;    // --no-version
    bool badIdentification = false; // --bad-id
    // A frame out of step is counted as unexpected and left unanswered: a probe, a version query
    // or START once an update has started and before it has completed (after RSP_DONE a host
    // that waits for the next board probes for this one to leave), END before the image's end.
    // Otherwise, as a boot loader does, the host may start over at any time, and END ends the
    // update where it comes.
    bool strict = false;
    qint64 cancelAt = -1;     // --cancel-at
    qint64 silentAt = -1;     // --silent-at
    int retryEvery = 0;       // --retry-every
    bool randomOrder = false; // --random-order: every piece below imageSize, then the end
    quint32 randomSeed = 0;
    qint64 imageSize = -1;          // --image-size
    QByteArray image;               // when not empty, the image: every piece is checked against it
    quint32 stride = 4;             // new pieces are asked this far apart; the last ask is the end
    bool unalignedRequests = false; // --unaligned
    bool announceAfterDone = false; // --announce-after-done
    int quietAfterDoneMs = 0;       // --quiet-after-done
    QString outputPath;             // --output
    qint64 maxImageSize = 16 * 1024 * 1024; // --max-image-size

    // Faults of a bad line and a misbehaving device.
    quint32 seed = 0;                   // --seed
    double noiseRate = 0;               // --noise
    double splitRate = 0;               // --split: cut after every escape byte too
    int splitGapMs = 3;                 // --split-gap
    double corruptExtraRate = 0;        // --corrupt-extra: often 0x7D or 0x7E
    double foreignFrameRate = 0;        // --foreign-frames
    double duplicateRate = 0;           // --duplicate
    double staleRate = 0;               // --stale: often at an offset that travels escaped
    double delayRate = 0;               // --delay
    int maxDelayMs = DefaultMaxDelayMs; // --max-delay
    qint64 hangUpAt = -1;               // --hang-up-at: a pseudo-terminal hangs up
    qint64 strayStartAt = -1;           // --stray-start-at

    // For cancelAt, silentAt, hangUpAt and strayStartAt: an offset drawn from seed when the
    // update starts, from 0 up to the image end rounded up to 4 (imageSize, or 4096 when it is
    // not set), so the fault always strikes.
    static constexpr qint64 RandomOffset = -2;
    static constexpr int SplitBudgetMs = 40;
    static constexpr int DefaultMaxDelayMs = 120;
};

// By default a delayed frame, split at the slowest, still reaches the tool before it stops
// waiting: delays make the line slow, not silent.
static_assert(std::chrono::milliseconds(DeviceOptions::DefaultMaxDelayMs +
                                        DeviceOptions::SplitBudgetMs) < ResponseTimeout);

// What the device saw, for reports and tests.
struct DeviceStats
{
    int framesReceived = 0;   // host frames with a good check byte
    int badCheckFrames = 0;   // host frames dropped for their check byte
    int unexpectedFrames = 0; // good frames the device had no use for in its state
    int offsetMismatches = 0; // CMD_DATA whose byte 6 was not the low byte of the offset asked
    int retryMismatches = 0;  // pieces asked again that came back different
    int updatesStarted = 0;
    int updatesCompleted = 0;
    int updatesCancelled = 0;
    // Faults injected (see DeviceOptions).
    int noiseBursts = 0;
    int splitFrames = 0;
    int corruptedExtras = 0;
    int foreignFrames = 0;
    int duplicatedRequests = 0;
    int duplicateAnswers = 0; // answers to a duplicated request that were checked and dropped
    int staleRequests = 0;
    int delayedFrames = 0;
    int strayStarts = 0;
    int hangUps = 0;
};

// The device: the handshake, the plan of requests, the checks of every host frame and piece, the
// faults. Output is due when the host frame it answers counts as received (hostFrame()), plus its
// fault delays and its line time (lineNs()), and never before the output ahead of it: a delayed
// frame holds back every frame after it. The virtual functions are what a driver hears.
class DeviceModel
{
public:
    enum class State
    {
        Idle,         // answering probes, waiting for CMD_START
        Transferring, // a data request is out, waiting for CMD_DATA or CMD_END
        Silent,       // answers nothing, for good
        Away,         // answers nothing until quietAfterDoneMs has passed (see comeBack())
    };
    static constexpr int AnnounceDelayMs = 50;
    static constexpr std::int64_t NsPerMs = 1000000;
    static constexpr quint32 RetryStepBack = 1028; // more than a block, so retries cross blocks

    // Bytes for the line: a frame with what goes before it, or one chunk of a split frame.
    struct Output
    {
        std::array<quint8, 72> bytes{}; // junk, a foreign frame and the frame: 69 at most
        int size = 0;
        std::int64_t dueNs = 0;
        bool endsFrame = false; // the frame's last bytes
        bool hangUp = false;    // no bytes: the line closes, and what was queued goes
        DeviceFrame frame{};    // the frame, unescaped
        void append(const quint8 *from, int count)
        {
            Q_ASSERT(size + count <= int(bytes.size()));
            std::copy(from, from + count, bytes.data() + size);
            size += count;
        }
    };

    explicit DeviceModel(const DeviceOptions &options = {});
    virtual ~DeviceModel() = default;

    const DeviceOptions &options() const { return m_options; }
    // Takes effect from the next frame; a transfer under way keeps its order of requests and
    // its fault offsets. A new seed starts the random faults over.
    void setOptions(const DeviceOptions &options);
    State state() const { return m_state; }
    const DeviceStats &stats() const { return m_stats; }
    // The bytes of the last completed update: a multiple of 4 that covers the host's image, with
    // the host's padding after the image's end. Empty with DeviceOptions::image, which the pieces
    // are checked against instead.
    QByteArray receivedImage() const { return m_lastImage; }

    void receive(const quint8 *bytes, qint64 count, std::int64_t nowNs); // host bytes read
    void announce(std::int64_t nowNs); // RSP_PRESENT unasked, as a device that comes up
    // What falls due without the host: the announcement after an update, the return from away.
    void advance(std::int64_t nowNs);
    // When anything is due next: output, the announcement, the return from away; max() if never.
    std::int64_t nextWakeNs() const;
    bool hasOutput() const { return m_head < m_output.size(); }
    const Output &front() const { return m_output[m_head]; }
    void pop(); // front() has gone to the line (or, for a hang-up, the line has closed)

protected:
    // Every host frame, before the model acts on it; returns when it counts as received, which is
    // when its answer is ready (a paced line's model).
    virtual std::int64_t hostFrame(const HostFrameParser::Result &, std::int64_t readNs)
    {
        return readNs;
    }
    virtual std::int64_t lineNs(int /*bytes*/) { return 0; } // the line's time to carry them
    virtual void queued() {} // output was queued: a driver may write what is due at once
    // Every CMD_DATA taken as the answer to a data request, a duplicate answer included: the
    // offset asked for, its four bytes, and whether it passed every check.
    virtual void piece(quint32 /*offset*/, const quint8 * /*bytes*/, bool /*good*/) {}
    virtual void started() {}
    virtual void completed(const QByteArray & /*image*/) {}
    virtual void cancelled(quint32 /*offset*/) {}
    virtual void log(const QString & /*line*/) {}

private:
    void logf(const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);
    void handleFrame(const FramePayload &payload);
    void startTransfer();
    void handleData(const FramePayload &payload);
    bool takePiece(quint32 offset, const FramePayload &payload, bool second);
    void requestNext(); // the next offset's request, or the cancel, silence or hang-up there
    void cancelTransfer(quint32 offset, const char *why);
    void finishTransfer();
    quint32 staleOffset(quint32 lastStart);
    qint64 imageEnd() const; // imageSize (capped) rounded up to a piece; -1 when not known
    // The one road out to the line; faults that touch the outgoing bytes belong here
    // (deviceline.cpp, with the framing).
    void sendFrame(quint8 code, quint32 data = 0, bool strayStart = false);
    void noiseBurst(Output &out);
    void queue(Output &out, std::int64_t delayNs); // out was placed at the back: when it is due
    bool chance(double rate)
    {
        return rate > 0 && (rate >= 1 || double(m_random()) < rate * 4294967296.0);
    }
    quint32 below(quint32 bound) { return bound == 0 ? 0 : m_random() % bound; }
    quint8 byteExcept(quint8 a, quint8 b);
    // Ends an absence that has lasted long enough; true when the board is back.
    bool comeBack();

    DeviceOptions m_options;
    DeviceStats m_stats;
    HostFrameParser m_parser;
    State m_state = State::Idle;
    int m_pingsIgnored = 0;
    int m_framesSent = 0;
    std::mt19937 m_random;
    quint32 m_seededWith = 0;
    // When the frame being answered counted as received, when the last output is due, and the
    // model's own wake-ups (-1: none).
    std::int64_t m_nowNs = 0;
    std::int64_t m_lastDueNs = 0;
    std::int64_t m_announceAtNs = -1;
    std::int64_t m_backAtNs = -1;
    int m_probesWhileAway = 0;    // left unanswered
    std::vector<Output> m_output; // from m_head on: not gone yet
    size_t m_head = 0;

    struct Transfer // the update under way, or the last one
    {
        qint64 cancelAt = -1, silentAt = -1, hangUpAt = -1, strayStartAt = -1; // -1: off
        QByteArray image;           // received bytes, zero where nothing arrived yet
        std::vector<bool> received; // one flag per 4-byte piece
        std::vector<quint32> plan;  // shuffled offsets, for randomOrder
        size_t planIndex = 0;
        std::deque<quint32> again; // pieces to ask for again before the next new one
        quint32 frontier = 0;      // the next new offset once the plan is done
        quint32 requested = 0;     // offset of the request that is out
        bool fresh = true;         // ... a new piece, not one asked again
        bool fromFrontier = false; // ... from the frontier
        int freshPieces = 0;
        int unalignedAsked = 0;
        bool duplicateOut = false;     // the request that is out went twice
        std::deque<quint32> owedTwice; // offsets whose second answer is still to come
    } m_t;
    QByteArray m_lastImage;
};
