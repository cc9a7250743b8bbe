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
#include "fuzzline.h"
#include "imagesource.h"
#include "updateprotocol.h"
#include "updatesession.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <chrono>
#include <cstdio>
#include <memory>

using namespace std::chrono_literals;

namespace {

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

class Rig
{
public:
    bool setUp();
    void run(const quint8 *data, size_t size);

private:
    // A device frame, and the event loop run until the session is in state.
    void sendUntil(quint8 code, quint32 data, UpdateSession::State state, const char *what);
    void driveTo(Target target);
    void checkFrame(const FramePayload &payload);
    void mirror(const quint8 *bytes, qint64 count);
    void checkAnswerCounts() const;

    std::unique_ptr<ImageSource> firmware;
    FuzzLine line;

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
    firmware = std::make_unique<ImageSource>(fuzzImagePath());
    ImageSource::Problem problem = firmware->open();
    if (problem == ImageSource::Problem::None)
        problem = firmware->hashNow();
    firmware->close();
    if (problem != ImageSource::Problem::None) {
        std::fprintf(stderr, "fuzz_session: %s\n", qPrintable(firmware->describe(problem)));
        return false;
    }
    if (!line.open())
        return false;
    line.onHostFrame([this](const FramePayload &payload) { checkFrame(payload); });
    line.mirror = [this](const quint8 *bytes, qint64 count) {
        mirror(bytes, count);
    };
    // Once the session has ended nobody reads the line: what is left in it is dropped.
    line.readerGone = [this] {
        return !session || session->state() == UpdateSession::State::Ended;
    };
    return true;
}

void Rig::mirror(const quint8 *bytes, qint64 count)
{
    mirrorParser.feed(bytes, count, [this](const DeviceFrame &frame) {
        if (!isDeviceFrame(frame) || frame[3] != RSP_DATA_REQUEST)
            return;
        ++requests;
        if (requestedOffsetOf(frame) >= FuzzImageSize)
            ++endRequests;
    });
}

void Rig::sendUntil(quint8 code, quint32 data, UpdateSession::State state, const char *what)
{
    line.sendFrame(code, data);
    line.pumpUntil([this, state] { return session->state() == state; }, what);
}

void Rig::driveTo(Target target)
{
    const bool info = target == Target::InfoProbing || target == Target::InfoVersionQuery;
    if (target == Target::InfoVersionQuery || (!info && target >= Target::VersionQuery))
        sendUntil(RSP_PRESENT, 0, UpdateSession::State::VersionQuery,
                  "RSP_PRESENT in Probing was not acted on");
    if (!info && target >= Target::Starting) {
        sendUntil(RSP_VERSION, DeviceVersion, UpdateSession::State::Starting,
                  "RSP_VERSION did not start the update");
        line.pumpUntil([this] { return startSeen; }, "START did not reach the line");
    }
    if (!info && target >= Target::Transferring)
        sendUntil(RSP_DATA_REQUEST, 0, UpdateSession::State::Transferring,
                  "a data request was not answered");
    if (!info && target >= Target::Finishing)
        sendUntil(RSP_DATA_REQUEST, quint32(FuzzImageSize), UpdateSession::State::Finishing,
                  "a request for the image size got no END");
    if (target == Target::AwaitingRemoval)
        sendUntil(RSP_DONE, 0, UpdateSession::State::AwaitingRemoval,
                  "RSP_DONE did not end the update");
    line.pumpUntilConsumed();
}

void Rig::checkFrame(const FramePayload &payload)
{
    const quint8 command = payload[1];
    if (infoOnly && command != CMD_PING && command != CMD_GET_VERSION)
        fuzzFail("the session sent more than probes and version queries with --info");
    switch (command) {
    case CMD_PING:
    case CMD_GET_VERSION:
        if (startSeen && !repeat)
            fuzzFail("the session probed after START");
        break;
    case CMD_START:
        if (startSeen && !repeat)
            fuzzFail("the session sent START twice");
        startSeen = true;
        break;
    case CMD_END:
        ++endAnswers;
        break;
    case CMD_DATA:
        ++dataAnswers;
        break;
    }
}

void Rig::checkAnswerCounts() const
{
    if (dataAnswers + endAnswers > requests)
        fuzzFail("the session sent more answers than it got data requests");
    if (endAnswers > endRequests)
        fuzzFail("the session sent END without a request at or past the end");
}

void Rig::run(const quint8 *data, size_t size)
{
    if (size == 0)
        return;
    const Target target = Target(data[0] & 0x7);
    infoOnly = target == Target::InfoProbing || target == Target::InfoVersionQuery;
    repeat = target == Target::AwaitingRemoval;
    ended = startSeen = false;
    results = requests = endRequests = dataAnswers = endAnswers = 0;
    mirrorParser = FrameParser();
    SessionSettings settings;
    settings.target = PortTarget::named(line.path());
    settings.infoOnly = infoOnly;
    settings.repeat = repeat;
    settings.wait = std::chrono::milliseconds(0);
    settings.silenceLimit = NeverOnItsOwn;
    session = std::make_unique<UpdateSession>(settings, infoOnly ? nullptr : firmware.get());
    QObject::connect(session.get(), &UpdateSession::finished, session.get(),
                     [this](const SessionResult &) {
                         if (++results > 1 && !repeat)
                             fuzzFail("the session reported two results without --repeat");
                     });
    QObject::connect(session.get(), &UpdateSession::ended, session.get(), [this] { ended = true; });
    session->start();
    if (session->state() != UpdateSession::State::Probing)
        fuzzFail("the session did not open the line");
    line.pumpUntilConsumed();

    driveTo(target);
    line.feed(data, size);
    if (data[0] & 0x80) {
        for (const char *slot : {"tick", "silenceExpired", "waitExpired", "tryOpen"}) {
            if (!QMetaObject::invokeMethod(session.get(), slot))
                fuzzFail("a timer slot cannot be called");
        }
        line.pumpUntilConsumed();
    }
    session->interrupt();
    if (!ended || session->state() != UpdateSession::State::Ended)
        fuzzFail("the session did not end when interrupted");
    line.pumpUntilConsumed();
    session.reset();
    // Everything the session wrote before its port closed is in the line now: read all of it
    // before the counts are compared, so that none of it is counted for the next input.
    line.pumpUntil([this] { return line.terminal().bytesAvailable() == 0; },
                   "the line does not drain");
    checkAnswerCounts();
    mirror(ParserReset, sizeof ParserReset);
    line.resetHostParser();
}

} // namespace

VANTU_FUZZ_RIG(QCoreApplication, Rig, "cannot set up the session and the line")
