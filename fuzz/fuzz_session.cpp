// Arbitrary device bytes into the update engine, UpdateSession, as the console program runs it.
//
// A session on a real QSerialPort on a pseudo-terminal whose other end this fuzzer plays; a new
// session for every input, so that each starts from the same place. The session is driven by
// well-formed device frames into the state the first input byte names, the rest of the input goes
// down the line, cut in two writes where the first byte says, and the event loop runs until the
// session has read all of it. Then the session is interrupted and must end.
//
// Input byte 0: bits 0..2 the state: Probing, VersionQuery, Starting, Transferring (after a
// request for offset 0), Finishing (after a request for the image size), AwaitingRemoval (with
// --repeat, after RSP_DONE), and Probing and VersionQuery with --info; bits 3..6 where the stream
// is cut, in 16ths of its length (0: one write); bit 7 set: then every timer's slot is called
// once, as if the session had waited that long, whatever state it is in.
//
// Every frame the session sends is checked: a good check byte and a known command; CMD_DATA
// carries the image bytes at an offset that agrees with its byte 6 (zero past the end); nothing
// but probes and version queries with --info; without --repeat, no probe or version query once
// START has gone out, and one START at most. When the input is done: no more answers than the data
// requests the session was sent, and no more ENDs than requests at or past the end; one result at
// most without --repeat; and the session ends when interrupted.
#include "devicelink.h"
#include "firmwareimage.h"
#include "pseudoterminal.h"
#include "updateprotocol.h"
#include "updatesession.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QMetaObject>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Three blocks, the last one short and not a multiple of four.
constexpr qint64 ImageSize = 2 * ImageBlockReader::BlockSize + 553;
constexpr auto StepTimeout = 5s;
constexpr quint32 DeviceVersion = 0x01000507;
constexpr std::chrono::hours NeverOnItsOwn{1};

enum class Target
{
    Probing,
    VersionQuery,
    Starting,
    Transferring,
    Finishing,
    AwaitingRemoval,
    InfoProbing,
    InfoVersionQuery,
};

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_session: %s\n", what);
    std::abort();
}

// Bytes that differ between pieces 256 bytes apart, so that a piece from the wrong block shows.
QByteArray imageBytes()
{
    QByteArray bytes(ImageSize, Qt::Uninitialized);
    for (qint64 i = 0; i < ImageSize; ++i)
        bytes[i] = char((i * 131 + (i >> 8) * 7 + 1) & 0xFF);
    return bytes;
}

class Rig
{
public:
    bool setUp();
    void run(const quint8 *data, size_t size);

private:
    template <typename Done> void pumpUntil(Done done, const char *what);
    bool lineIdle() const;
    void writeLine(const quint8 *bytes, qint64 count);
    void pumpUntilConsumed();
    void sendFrame(quint8 code, quint32 data = 0);
    void expectState(UpdateSession::State state, const char *what);
    void driveTo(Target target);
    void readHostFrames();
    void checkHostFrame(const HostFrameParser::Result &result);
    void mirror(const quint8 *bytes, qint64 count);
    void checkAnswerCounts() const;

    QByteArray image = imageBytes();
    std::shared_ptr<FirmwareImage> firmware;
    PseudoTerminal line;
    HostFrameParser hostParser;
    int watchFd = -1; // a descriptor on the session's side, only polled for unread input

    // The session of the input under way, and what the rules need to know about it. The two
    // directions of the line are read at different times, so the counts are compared only once
    // the input is done.
    std::unique_ptr<UpdateSession> session;
    bool infoOnly = false;
    bool repeat = false;
    bool ended = false;
    bool startSeen = false;
    int results = 0;
    FrameParser mirrorParser; // parses what the session is sent, as the session does
    int requests = 0;         // data requests sent to the session
    int endRequests = 0;      // those at or past the image end
    int dataAnswers = 0;
    int endAnswers = 0;
};

bool Rig::setUp()
{
    // Static, so that it is removed when the fuzzer exits; the rig itself is never destroyed.
    static QTemporaryDir dir;
    if (!dir.isValid())
        return false;
    const QString path = dir.filePath(QStringLiteral("image.vuf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return false;
    file.close();
    firmware = std::make_shared<FirmwareImage>(path);
    QString problem;
    if (!firmware->load(&problem)) {
        std::fprintf(stderr, "fuzz_session: %s\n", qPrintable(problem));
        return false;
    }

    if (!line.open()) {
        std::fprintf(stderr, "fuzz_session: %s\n", qPrintable(line.errorString()));
        return false;
    }
    QObject::connect(&line, &QIODevice::readyRead, &line, [this] { readHostFrames(); });
    // Opened before the session's port, which takes the line for itself.
    watchFd = ::open(QFile::encodeName(line.slavePath()).constData(),
                     O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return watchFd >= 0;
}

template <typename Done> void Rig::pumpUntil(Done done, const char *what)
{
    const QDeadlineTimer deadline(StepTimeout);
    while (!done()) {
        if (deadline.hasExpired())
            fail(what);
        QCoreApplication::processEvents();
    }
}

// True when every byte written to the line has been read by the session. Polling a terminal first
// moves what the kernel still holds for it into its input queue, so this does not race the kernel.
bool Rig::lineIdle() const
{
    if (line.bytesToWrite() > 0)
        return false;
    if (!session || session->state() == UpdateSession::State::Ended) {
        // Nobody reads the line any more: what is left in it is dropped.
        char drain[4096];
        while (::read(watchFd, drain, sizeof drain) > 0) {
        }
        return true;
    }
    pollfd entry{watchFd, POLLIN, 0};
    if (::poll(&entry, 1, 0) < 0)
        return false;
    return (entry.revents & POLLIN) == 0;
}

void Rig::writeLine(const quint8 *bytes, qint64 count)
{
    mirror(bytes, count);
    if (line.write(reinterpret_cast<const char *>(bytes), count) != count)
        fail("cannot write to the pseudo-terminal");
}

void Rig::mirror(const quint8 *bytes, qint64 count)
{
    mirrorParser.feed(bytes, count, [this](const DeviceFrame &frame) {
        if (!isDeviceFrame(frame) || frame[3] != RSP_DATA_REQUEST)
            return;
        ++requests;
        if (requestedOffsetOf(frame) >= ImageSize)
            ++endRequests;
    });
}

void Rig::pumpUntilConsumed()
{
    pumpUntil([this] { return lineIdle(); }, "the session stopped reading the line");
    // The frames the session wrote in return go out from its port's write notifier and come in
    // through ours: a few more passes bring them over and through the checks.
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::processEvents();
}

void Rig::sendFrame(quint8 code, quint32 data)
{
    const DeviceWireFrame wire = encodeDeviceFrame(makeDeviceFrame(code, data));
    writeLine(wire.bytes.data(), wire.size);
}

void Rig::expectState(UpdateSession::State state, const char *what)
{
    pumpUntil([this, state] { return session->state() == state; }, what);
}

void Rig::driveTo(Target target)
{
    const bool info = target == Target::InfoProbing || target == Target::InfoVersionQuery;
    if (target == Target::InfoVersionQuery || (!info && target >= Target::VersionQuery)) {
        sendFrame(RSP_PRESENT);
        expectState(UpdateSession::State::VersionQuery, "RSP_PRESENT in Probing was not acted on");
    }
    if (!info && target >= Target::Starting) {
        sendFrame(RSP_VERSION, DeviceVersion);
        expectState(UpdateSession::State::Starting, "RSP_VERSION did not start the update");
        pumpUntil([this] { return startSeen; }, "START did not reach the line");
    }
    if (!info && target >= Target::Transferring) {
        sendFrame(RSP_DATA_REQUEST, 0);
        expectState(UpdateSession::State::Transferring, "a data request was not answered");
    }
    if (!info && target >= Target::Finishing) {
        sendFrame(RSP_DATA_REQUEST, quint32(ImageSize));
        expectState(UpdateSession::State::Finishing, "a request for the image size got no END");
    }
    if (target == Target::AwaitingRemoval) {
        sendFrame(RSP_DONE);
        expectState(UpdateSession::State::AwaitingRemoval, "RSP_DONE did not end the update");
    }
    pumpUntilConsumed();
}

void Rig::readHostFrames()
{
    const QByteArray bytes = line.readAll();
    hostParser.feed(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size(),
                    [this](const HostFrameParser::Result &result) { checkHostFrame(result); });
}

void Rig::checkHostFrame(const HostFrameParser::Result &result)
{
    const FramePayload &payload = result.payload;
    if (!result.checkOk)
        fail("the session sent a frame with a wrong check byte");
    if (payload[0] != PayloadLead)
        fail("the session sent a frame without the payload lead");
    const quint8 command = payload[1];
    if (infoOnly && command != CMD_PING && command != CMD_GET_VERSION)
        fail("the session sent more than probes and version queries with --info");
    switch (command) {
    case CMD_PING:
    case CMD_GET_VERSION:
        if (startSeen && !repeat)
            fail("the session probed after START");
        return;
    case CMD_START:
        if (startSeen && !repeat)
            fail("the session sent START twice");
        startSeen = true;
        return;
    case CMD_END:
        ++endAnswers;
        return;
    case CMD_DATA:
        ++dataAnswers;
        break;
    default:
        fail("the session sent an unknown command");
    }
    // Byte 6 is the low byte of the requested offset: the piece must be the image's at one of the
    // offsets inside the image that agree with it.
    for (qint64 offset = payload[6] & ~3; offset < ImageSize; offset += 256) {
        bool same = true;
        for (int k = 0; k < 4 && same; ++k) {
            const quint8 expected = offset + k < ImageSize ? quint8(image[offset + k]) : 0;
            same = payload[2 + k] == expected;
        }
        if (same)
            return;
    }
    fail("the session sent data that is not the image's at the requested offset");
}

void Rig::checkAnswerCounts() const
{
    if (dataAnswers + endAnswers > requests)
        fail("the session sent more answers than it got data requests");
    if (endAnswers > endRequests)
        fail("the session sent END without a request at or past the end");
}

void Rig::run(const quint8 *data, size_t size)
{
    if (size == 0)
        return;
    const Target target = Target(data[0] & 0x7);
    const quint8 *stream = data + 1;
    const qint64 length = qint64(size - 1);
    const qint64 cut = length * ((data[0] >> 3) & 0xF) / 16;
    const bool silence = (data[0] & 0x80) != 0;

    infoOnly = target == Target::InfoProbing || target == Target::InfoVersionQuery;
    repeat = target == Target::AwaitingRemoval;
    ended = startSeen = false;
    results = requests = endRequests = dataAnswers = endAnswers = 0;
    mirrorParser = FrameParser();
    SessionSettings settings;
    settings.target = PortTarget::named(line.slavePath());
    settings.infoOnly = infoOnly;
    settings.repeat = repeat;
    settings.wait = std::chrono::milliseconds(0);
    settings.silenceLimit = NeverOnItsOwn;
    session = std::make_unique<UpdateSession>(settings, infoOnly ? nullptr : firmware);
    QObject::connect(session.get(), &UpdateSession::finished, session.get(),
                     [this](const SessionResult &) {
                         if (++results > 1 && !repeat)
                             fail("the session reported two results without --repeat");
                     });
    QObject::connect(session.get(), &UpdateSession::ended, session.get(), [this] { ended = true; });
    session->start();
    if (session->state() != UpdateSession::State::Probing)
        fail("the session did not open the line");
    pumpUntilConsumed();

    driveTo(target);
    if (cut > 0) {
        writeLine(stream, cut);
        pumpUntilConsumed();
    }
    if (length > cut) {
        writeLine(stream + cut, length - cut);
        pumpUntilConsumed();
    }
    if (silence) {
        for (const char *slot : {"tick", "silenceExpired", "waitExpired", "tryOpen"}) {
            if (!QMetaObject::invokeMethod(session.get(), slot))
                fail("a timer slot cannot be called");
        }
        pumpUntilConsumed();
    }
    session->interrupt();
    if (!ended || session->state() != UpdateSession::State::Ended)
        fail("the session did not end when interrupted");
    pumpUntilConsumed();
    session.reset();
    // Everything the session wrote before its port closed is in the line now: read all of it
    // before the counts are compared, so that none of it is counted for the next input.
    pumpUntil([this] { return line.bytesAvailable() == 0; }, "the line does not drain");
    checkAnswerCounts();
    // 7E 00 returns the host parser to waiting from any position, and completes no frame.
    static constexpr quint8 parserReset[] = {FrameStart, 0x00};
    mirror(parserReset, sizeof parserReset);
    hostParser = HostFrameParser();
}

// Lives for the whole process: libFuzzer exits without returning to us.
Rig *rig = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Qt may take arguments out of argv; libFuzzer's own stay untouched.
    static int argc = 1;
    static char name[] = "fuzz_session";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    rig = new Rig;
    if (!rig->setUp())
        fail("cannot set up the session and the line");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    rig->run(data, size);
    return 0;
}
