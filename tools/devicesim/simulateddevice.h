#pragma once

#include "devicelink.h"
#include "framecodec.h"
#include "timing.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <random>
#include <vector>

class QIODevice;

// How the simulated device behaves. The defaults make a well-behaved device: it answers every
// probe, reports hardware V05.07 and firmware V01.00, and fetches the image in order.
struct DeviceOptions
{
    // RSP_VERSION frame bytes 4..7, in frame order.
    quint8 hardwareMinor = 0x07;
    quint8 hardwareMajor = 0x05;
    quint8 firmwareMinor = 0x00;
    quint8 firmwareMajor = 0x01;

    // Probing.
    int silentProbes = 0;           // the first N pings of the device's life get no answer
    bool noVersionReply = false;    // CMD_GET_VERSION gets no answer
    bool badIdentification = false; // every frame goes out with a wrong byte 1, then byte 2, ...

    // Transfer. Offsets are byte offsets into the image; -1 switches an option off.
    qint64 cancelAt = -1;     // the first request at or past this offset, in the first
                              // update only, becomes RSP_CANCELLED
    qint64 silentAt = -1;     // at the first request at or past this offset the device falls
                              // silent for good
    int retryEvery = 0;       // after every Nth new piece, ask again for the piece 1028 bytes
                              // back and check the host sends the same bytes
    bool randomOrder = false; // ask every piece below imageSize in a shuffled order, then
                              // imageSize rounded up to 4, where the host must end
    quint32 randomSeed = 0;
    qint64 imageSize = -1;          // the image length the device expects; randomOrder needs it
    bool unalignedRequests = false; // after every second new piece, ask again for it at an offset
                                    // 1, 2 or 3 past its start: the host must send the same bytes
    bool announceAfterDone = false; // RSP_PRESENT 50 ms after RSP_DONE (or RSP_CANCELLED), so the
                                    // host can run another download
    // After RSP_DONE the device answers nothing for this long, then answers again as the next
    // board would (one board taken off a fixture, the next put on); 0: off.
    int quietAfterDoneMs = 0;
    QString outputPath;                     // each completed image is written here when not empty
    qint64 maxImageSize = 16 * 1024 * 1024; // a request at or past this is cancelled instead

    // Faults of a bad line and a misbehaving device. Every random choice comes from seed, so a
    // run with the same seed against the same host goes the same way. A rate is the chance per
    // frame sent (per data request for duplicateRate, per new piece for staleRate): 0 never,
    // 1 always. None of them makes the host see a wrong frame: junk never completes a frame
    // that passes the identification test, and a frame start in the junk is always followed by
    // something the host's parser drops.
    quint32 seed = 0;
    // Junk before the frame: bytes other than 0x7E, 0x7E followed by a byte other than 0x5E and
    // 0x7E, or a frame start cut short.
    double noiseRate = 0;
    // The frame goes out in single bytes or random chunks, always cut after an escape byte, up to
    // splitGapMs apart (SplitBudgetMs at most in all).
    double splitRate = 0;
    int splitGapMs = 3;
    // Frame bytes 8 and 9 are random, often 0x7D or 0x7E.
    double corruptExtraRate = 0;
    // A whole frame whose byte 2 is not 0x50 goes out first.
    double foreignFrameRate = 0;
    // The data request goes out twice; the device takes the first answer, then checks and drops
    // the second.
    double duplicateRate = 0;
    // After a new piece, an old one is asked again at an offset inside it (often one that travels
    // escaped), and its bytes are checked.
    double staleRate = 0;
    // The frame waits 1..maxDelayMs before it goes out.
    double delayRate = 0;
    int maxDelayMs = DefaultMaxDelayMs;
    // At the first request at or past this offset the device writes part of that request and
    // closes the line (a pseudo-terminal hangs up).
    qint64 hangUpAt = -1;
    // In the first update, the first request at or past this offset goes out right after a lone
    // 0x7E: the host's parser drops the request, so the device waits for an answer that never
    // comes.
    qint64 strayStartAt = -1;

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

// Plays the device's side of the link over any open QIODevice: a PseudoTerminal, or a
// QSerialPort on a real line. It answers the host's frames as the options say and keeps the image
// the host sends. The line is not owned.
class SimulatedDevice : public QObject
{
    Q_OBJECT

public:
    enum class State
    {
        Idle,         // answering probes, waiting for CMD_START
        Transferring, // a data request is out, waiting for CMD_DATA or CMD_END
        Silent,       // answers nothing, for good
        Away,         // answers nothing until quietAfterDoneMs has passed
    };
    Q_ENUM(State)

    static constexpr int AnnounceDelayMs = 50;
    static constexpr quint32 RetryStepBack = 1028; // more than a block, so retries cross blocks

    explicit SimulatedDevice(QIODevice *line, const DeviceOptions &options = {},
                             QObject *parent = nullptr);

    const DeviceOptions &options() const { return m_options; }
    // Takes effect from the next frame; a transfer under way keeps its order of requests and
    // its fault offsets. A new seed starts the random faults over.
    void setOptions(const DeviceOptions &options);

    State state() const { return m_state; }
    const DeviceStats &stats() const { return m_stats; }
    // The bytes of the last completed update: a multiple of 4 that covers the host's image, with
    // the host's padding after the image's end.
    QByteArray receivedImage() const { return m_lastImage; }

    // Sends RSP_PRESENT unasked, as a device does when it comes up.
    void announce();

signals:
    void frameReceived(const FramePayload &payload); // every host frame with a good check byte
    void frameDropped(const FramePayload &payload);  // host frames with a bad check byte
    void frameSent(const DeviceFrame &frame);        // unescaped, as it went out
    void updateStarted();
    void updateCompleted(const QByteArray &image);
    void updateCancelled(quint32 offset);
    // Every CMD_DATA taken as the answer to a data request, a duplicate answer included: the
    // offset asked for and the four bytes it carried.
    void pieceReceived(quint32 offset, const QByteArray &bytes);
    void logLine(const QString &line);

private:
    enum class RequestKind
    {
        Fresh,
        Again
    };

    void onReadyRead();
    void handleFrame(const HostFrameParser::Result &frame);
    void handlePing();
    void handleGetVersion();
    void startTransfer();
    void handleData(const FramePayload &payload);
    void handleEnd();
    void abandonTransfer(const QString &why);

    // Picks the next offset and sends its request, or cancels, or falls silent.
    void requestNext();
    quint32 nextOffset(RequestKind &kind);
    void cancelTransfer(quint32 offset, const QString &why);
    void finishTransfer();
    void writeOutput(const QByteArray &image);

    // A duplicate answer to a data request sent twice: checked against the first and dropped.
    void takeDuplicateAnswer(const FramePayload &payload);
    quint32 staleOffset(quint32 lastStart);
    // Offsets of the faults that strike once, for the update that starts now.
    void drawFaultOffsets();
    // Writes part of the request for offset, then closes the line.
    void hangUpLine(quint32 offset);

    // The one road out to the line; faults that touch the outgoing bytes belong here.
    void sendFrame(quint8 code, quint32 data = 0, bool strayStart = false);
    QByteArray noiseBurst();
    QByteArray foreignFrame();
    // Bytes for the line, after delayMs; with hangUp the line is closed instead. The queue keeps
    // the order: a delayed frame holds back every frame after it.
    struct Outgoing
    {
        QByteArray bytes;
        int delayMs = 0;
        bool hangUp = false;
        bool endsFrame = false;
        DeviceFrame frame{};
    };
    void enqueue(Outgoing item);
    void sendQueued();
    void closeLine();

    bool chance(double rate);
    quint32 below(quint32 bound) { return bound == 0 ? 0 : m_random() % bound; }
    quint8 byteExcept(quint8 a, quint8 b);
    quint8 escapeHeavyByte();

    void log(const QString &line) { emit logLine(line); }

    QPointer<QIODevice> m_line;
    DeviceOptions m_options;
    DeviceStats m_stats;
    HostFrameParser m_parser;
    State m_state = State::Idle;
    int m_pingsIgnored = 0;
    int m_framesSent = 0;
    QTimer m_announceTimer;
    QTimer m_awayTimer;
    std::mt19937 m_random;
    quint32 m_seededWith = 0;
    std::deque<Outgoing> m_outgoing;
    QTimer m_sendTimer;

    // Faults of the update under way, -1 when off.
    qint64 m_cancelAt = -1;
    qint64 m_silentAt = -1;
    qint64 m_hangUpAt = -1;
    qint64 m_strayStartAt = -1;
    bool m_duplicateOut = false;     // the request that is out went twice
    std::deque<quint32> m_owedTwice; // offsets whose second answer is still to come

    // The transfer under way.
    QByteArray m_image;           // received bytes, zero where nothing arrived yet
    std::vector<bool> m_received; // one flag per 4-byte piece
    std::vector<quint32> m_plan;  // shuffled offsets, for randomOrder
    size_t m_planIndex = 0;
    std::deque<quint32> m_again; // pieces to ask for again before the next new one
    quint32 m_frontier = 0;      // the next new offset once the plan is done
    quint32 m_requested = 0;     // offset of the request that is out
    RequestKind m_requestKind = RequestKind::Fresh;
    bool m_requestFromFrontier = false;
    int m_freshPieces = 0;
    int m_unalignedAsked = 0;

    QByteArray m_lastImage;
};
