// The update engine on its own, without widgets: UpdateSession against the real QSerialPort on
// pseudo-terminals, with a device played frame by frame where the exact bytes matter and the
// simulated device for whole updates, several sessions side by side.
#include "deviceturnover.h"
#include "imagesource.h"
#include "linesupport.h"
#include "servedpieces.h"
#include "simulateddevice.h"
#include "updateprotocol.h"
#include "updatesession.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace testing;

namespace {

// A session and everything it reported.
struct Watched
{
    std::unique_ptr<UpdateSession> session;
    QList<SessionResult> results;
    QList<quint32> offsets;
    bool ended = false;

    bool waitForResults(int count, int timeoutMs = PatienceMs)
    {
        return runUntil([&] { return results.size() >= count; }, timeoutMs);
    }
    Outcome lastOutcome() const { return results.constLast().outcome; }
};

// A pseudo-terminal with the simulated device on it.
struct SimulatedLine
{
    PseudoTerminal line;
    std::unique_ptr<SimulatedDevice> device;

    bool open(const DeviceOptions &options = {})
    {
        if (!line.open())
            return false;
        device = std::make_unique<SimulatedDevice>(&line, options);
        return true;
    }
};

} // namespace

class SessionTest : public QObject, FolderCase
{
    Q_OBJECT

private slots:
    void init() { beginCase(); }
    void cleanup();

    void handshakeOnTheWire();
    void piecesPaddedAndEndForAnyRequestPastIt();
    void endingAroundEnd_data();
    void endingAroundEnd();

    void outcomes_data();
    void outcomes();
    void portLostBeforeStartIsWaitedFor();
    void lostLineDoesNotSpin();

    void imageChangedDuringUpdate();
    void imageRewrittenBeforeUpdateIsHashedAgain_data();
    void imageRewrittenBeforeUpdateIsHashedAgain();

    void interruptBetweenDevicesRecordsNothing();

    void servedPieces_data();
    void servedPieces();
    void turnoverRule_data();
    void turnoverRule();
    void portGoneBetweenBoards_data();
    void portGoneBetweenBoards();
    void repeatTellsTheNextDevice_data();
    void repeatTellsTheNextDevice();

private:
    SessionSettings settingsFor(const QString &port) const;
    std::unique_ptr<Watched> watch(const SessionSettings &settings,
                                   std::shared_ptr<ImageSource> image);
    std::shared_ptr<ImageSource> imageOf(const QByteArray &content,
                                         const QString &name = QStringLiteral("fw.vuf"));
    // The scripted device, and a session that has sent START to it.
    std::unique_ptr<Watched> startedWithScriptedDevice(const QByteArray &content);
    FramePayload request(quint32 offset) { return scripted->request(offset); }

    std::unique_ptr<ScriptedDevice> scripted;
};

void SessionTest::cleanup()
{
    scripted.reset();
    endCase();
}

SessionSettings SessionTest::settingsFor(const QString &port) const
{
    // Limits that only a fault reaches: a case that is about one of them sets it short.
    SessionSettings settings;
    settings.target = PortTarget::named(port);
    settings.wait = std::chrono::milliseconds(PatienceMs);
    settings.silenceLimit = std::chrono::milliseconds(PatienceMs);
    return settings;
}

std::unique_ptr<Watched> SessionTest::watch(const SessionSettings &settings,
                                            std::shared_ptr<ImageSource> image)
{
    auto watched = std::make_unique<Watched>();
    watched->session = std::make_unique<UpdateSession>(settings, image.get());
    Watched *w = watched.get();
    connect(w->session.get(), &UpdateSession::finished, this,
            [w](const SessionResult &result) { w->results.append(result); });
    connect(w->session.get(), &UpdateSession::progress, this,
            [w](quint32 offset, qint64) { w->offsets.append(offset); });
    connect(w->session.get(), &UpdateSession::ended, this, [w] { w->ended = true; });
    return watched;
}

std::shared_ptr<ImageSource> SessionTest::imageOf(const QByteArray &content, const QString &name)
{
    auto image = std::make_shared<ImageSource>(writeImage(dir->path(), name, content));
    ImageSource::Problem problem = image->open();
    if (problem == ImageSource::Problem::None)
        problem = image->hashNow();
    if (problem != ImageSource::Problem::None)
        qFatal("cannot load the test image: %s", qPrintable(image->describe(problem)));
    image->close();
    return image;
}

std::unique_ptr<Watched> SessionTest::startedWithScriptedDevice(const QByteArray &content)
{
    scripted = std::make_unique<ScriptedDevice>();
    if (!scripted->open())
        return {};
    auto watched = watch(settingsFor(scripted->path()), imageOf(content));
    watched->session->start();
    if (!scripted->answerHandshake() || !scripted->waitForCommand(CMD_START))
        return {};
    return watched;
}

void SessionTest::handshakeOnTheWire()
{
    scripted = std::make_unique<ScriptedDevice>();
    QVERIFY(scripted->open());
    auto watched = watch(settingsFor(scripted->path()), imageOf(QByteArray("\x01\x02", 2)));
    QList<DeviceVersions> found;
    connect(watched->session.get(), &UpdateSession::deviceFound, this,
            [&found](const DeviceVersions &versions) { found.append(versions); });
    watched->session->start();

    // Unanswered, the probe goes out again; then the version query, again while unanswered.
    QVERIFY(scripted->waitForFrames(2));
    QCOMPARE(scripted->commands(), (QList<quint8>{CMD_PING, CMD_PING}));
    scripted->send(RSP_PRESENT);
    QTRY_VERIFY(scripted->commands().count(CMD_GET_VERSION) >= 2);
    QVERIFY(!scripted->commands().contains(CMD_START));
    // Probes sent before the answer was read may still come in; none after the first query.
    const int probes = int(scripted->commands().indexOf(CMD_GET_VERSION));

    scripted->send(RSP_VERSION, 0x010a0200); // bytes 4..7: 00 02 0a 01
    QVERIFY(scripted->waitForCommand(CMD_START));
    QCOMPARE(found.size(), 1);
    QCOMPARE(found.first().firmware, QStringLiteral("01.0a"));
    QCOMPARE(found.first().hardware, QStringLiteral("02.00"));
    // Nothing is probed once the device has answered, nor queried once it has said its versions.
    QCOMPARE(scripted->commands().mid(probes).count(CMD_PING), 0);
    WireTrace trace;
    trace.enable();
    QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > 0; }));
    QCOMPARE(scripted->commands().constLast(), CMD_START);
    QCOMPARE(watched->session->state(), UpdateSession::State::Starting);
    QCOMPARE(scripted->badChecks, 0);
}

void SessionTest::piecesPaddedAndEndForAnyRequestPastIt()
{
    // The rule behind each answer has its table with the image source; here, the session sends
    // what it gives, goes back to the pieces when asked for one after the end, and counts the
    // requests in its record.
    const quint32 endOffset = 0xFFFFFFFCu; // negative as a signed offset
    const QByteArray content = escapeHeavyBytes(1030, 3);
    auto watched = startedWithScriptedDevice(content);
    QVERIFY(watched);
    // Pieces across blocks, an earlier one again, unaligned ones; the last, at 1028, holds two
    // bytes padded with zeros, and byte 6 is the offset's low byte.
    for (quint32 offset : {0u, 1020u, 1024u, 4u, 1028u, 1029u})
        QCOMPARE(request(offset)[1], CMD_DATA);
    const FramePayload last = request(1028);
    QCOMPARE(pieceOf(last, 5), content.right(2) + QByteArray::fromHex("000004"));
    QCOMPARE(request(endOffset)[1], CMD_END);
    QCOMPARE(watched->session->state(), UpdateSession::State::Finishing);
    QCOMPARE(watched->offsets.constLast(), endOffset);
    // The device asks again for a piece, then for the end again: each gets what it asks for.
    QCOMPARE(pieceOf(request(8)), content.mid(8, 4));
    QCOMPARE(watched->session->state(), UpdateSession::State::Transferring);
    QCOMPARE(request(1032)[1], CMD_END);
    scripted->send(RSP_DONE);
    QVERIFY(watched->waitForResults(1));
    const SessionResult &result = watched->results.first();
    QCOMPARE(result.outcome, Outcome::Updated);
    QCOMPARE(result.requests, 10);
    QCOMPARE(result.repeatedRequests, 3); // 1028 twice, 1029 in the same piece, the end again
    QCOMPARE(result.image->size, qint64(1030));
    QCOMPARE(result.image->sha256, sha256Hex(content));
    QCOMPARE(result.versions->firmware, QStringLiteral("01.00"));
    QCOMPARE(result.versions->hardware, QStringLiteral("05.07"));
    QVERIFY(result.started.isValid() && result.started.timeSpec() == Qt::UTC);
    QTRY_VERIFY(watched->ended);
    QCOMPARE(scripted->badChecks, 0);
}

void SessionTest::outcomes_data()
{
    QTest::addColumn<DeviceOptions>("options");
    QTest::addColumn<bool>("info");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<bool>("imageSent"); // the device holds the whole image afterwards

    DeviceOptions plain;
    QTest::newRow("updated") << plain << false << Outcome::Updated << true;
    QTest::newRow("info changes nothing") << plain << true << Outcome::Info << false;
    DeviceOptions cancel;
    cancel.cancelAt = 1024;
    QTest::newRow("cancelled") << cancel << false << Outcome::Cancelled << false;
    DeviceOptions silent;
    silent.silentAt = 1024;
    QTest::newRow("silent mid-update") << silent << false << Outcome::Timeout << false;
    DeviceOptions hangUp;
    hangUp.hangUpAt = 1024;
    QTest::newRow("hang-up mid-update") << hangUp << false << Outcome::PortLost << false;
    DeviceOptions deaf;
    deaf.silentProbes = 1 << 30;
    QTest::newRow("no answer to the probes") << deaf << false << Outcome::NoDevice << false;
    DeviceOptions noVersion;
    noVersion.noVersionReply = true;
    QTest::newRow("no answer to the version query")
        << noVersion << false << Outcome::NoDevice << false;
    DeviceOptions foreign;
    foreign.badIdentification = true;
    QTest::newRow("frames that fail identification")
        << foreign << false << Outcome::NoDevice << false;
    DeviceOptions rough;
    rough.seed = 17;
    rough.noiseRate = 0.2;
    rough.splitRate = 0.2;
    rough.foreignFrameRate = 0.1;
    rough.duplicateRate = 0.05;
    rough.staleRate = 0.05;
    rough.retryEvery = 50;
    rough.imageSize = 5000;
    QTest::newRow("rough line, requests again") << rough << false << Outcome::Updated << true;
}

void SessionTest::outcomes()
{
    QFETCH(DeviceOptions, options);
    QFETCH(bool, info);
    QFETCH(Outcome, outcome);
    QFETCH(bool, imageSent);
    const QByteArray content = escapeHeavyBytes(5000, 9);
    SimulatedLine device;
    QVERIFY(device.open(options));
    const QString port = device.line.slavePath();
    SessionSettings settings = settingsFor(port);
    settings.infoOnly = info;
    // Short only where the limit is what ends the row: a device that never answers, or one that
    // falls silent, does so however long the wait.
    if (outcome == Outcome::NoDevice)
        settings.wait = std::chrono::milliseconds(700);
    if (outcome == Outcome::Timeout)
        settings.silenceLimit = std::chrono::milliseconds(400);
    auto watched = watch(settings, info ? nullptr : imageOf(content));
    watched->session->start();

    QVERIFY(watched->waitForResults(1));
    QTRY_VERIFY(watched->ended);
    const SessionResult &result = watched->results.first();
    QVERIFY2(result.outcome == outcome, qPrintable(result.message));
    QCOMPARE(watched->results.size(), 1);
    QVERIFY(!result.message.isEmpty());
    QCOMPARE(result.port, port);
    QVERIFY(!result.adapter); // a pseudo-terminal has none
    QCOMPARE(result.image.has_value(), !info);
    const DeviceStats &stats = device.device->stats();
    QCOMPARE(stats.updatesStarted, info || outcome == Outcome::NoDevice ? 0 : 1);
    QCOMPARE(result.versions.has_value(), outcome != Outcome::NoDevice);
    if (imageSent) {
        QCOMPARE(device.device->receivedImage(), padded(content));
        QCOMPARE(stats.retryMismatches, 0);
        QCOMPARE(stats.offsetMismatches, 0);
    }
    if (options.retryEvery > 0)
        QVERIFY(result.repeatedRequests > 0);
    if (outcome == Outcome::PortLost)
        QVERIFY2(result.message.startsWith(QStringLiteral("Port lost: ")),
                 qPrintable(result.message));
}

void SessionTest::portLostBeforeStartIsWaitedFor()
{
    // The first line never answers and goes away; the port comes back with a device on it.
    DeviceOptions deaf;
    deaf.silentProbes = 1 << 30;
    auto first = std::make_unique<SimulatedLine>();
    QVERIFY(first->open(deaf));
    const QString link = dir->filePath(QStringLiteral("port"));
    QVERIFY(QFile::link(first->line.slavePath(), link));
    SessionSettings settings = settingsFor(link);
    auto watched = watch(settings, imageOf(escapeHeavyBytes(600, 2)));
    watched->session->start();
    QTRY_COMPARE(watched->session->state(), UpdateSession::State::Probing);
    QVERIFY(QFile::remove(link));
    first->line.hangUp();
    QTRY_COMPARE(watched->session->state(), UpdateSession::State::WaitingForPort);

    SimulatedLine second;
    QVERIFY(second.open());
    QVERIFY(QFile::link(second.line.slavePath(), link));
    QVERIFY(watched->waitForResults(1));
    QCOMPARE(watched->lastOutcome(), Outcome::Updated);
}

void SessionTest::lostLineDoesNotSpin()
{
    // With --repeat the session stays after a lost port, trying to open it again.
    DeviceOptions hangUp;
    hangUp.hangUpAt = 512;
    SimulatedLine device;
    QVERIFY(device.open(hangUp));
    // The link goes with the line, so that the session cannot open the next pseudo-terminal
    // that happens to get the same number.
    const QString link = dir->filePath(QStringLiteral("port"));
    QVERIFY(QFile::link(device.line.slavePath(), link));
    connect(&device.line, &QIODevice::aboutToClose, this, [&] { QFile::remove(link); });
    SessionSettings settings = settingsFor(link);
    settings.repeat = true;
    auto watched = watch(settings, imageOf(escapeHeavyBytes(2048, 3)));
    watched->session->start();
    QVERIFY(watched->waitForResults(1));
    QCOMPARE(watched->lastOutcome(), Outcome::PortLost);

    // In a real event loop: one that sleeps between its rounds would hide a notifier that spins.
    const double before = cpuSeconds();
    runPast(1000ms);
    const double used = cpuSeconds() - before;
    qInfo("CPU over a second with the port gone: %.1f%%", used * 100);
    QVERIFY2(used < 0.05, qPrintable(QString::number(used)));
    QCOMPARE(watched->session->state(), UpdateSession::State::AwaitingRemoval);
}

void SessionTest::imageChangedDuringUpdate()
{
    // Each kind of change has its row with the image source; here, the session stops on one.
    const QByteArray content = escapeHeavyBytes(2048, 4);
    auto watched = startedWithScriptedDevice(content);
    QVERIFY(watched);
    QCOMPARE(request(0)[1], CMD_DATA);
    // So that the write shows in the file's times.
    QVERIFY(pastFileClockTick(dir->filePath(QStringLiteral("fw.vuf"))));
    QFile file(dir->filePath(QStringLiteral("fw.vuf")));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.write(escapeHeavyBytes(2048, 5)) == 2048);
    file.close();
    const int sent = int(scripted->frames.size());
    WireTrace trace;
    trace.enable();
    scripted->send(RSP_DATA_REQUEST, 2048);
    QVERIFY(watched->waitForResults(1));
    QCOMPARE(watched->lastOutcome(), Outcome::ImageError);
    // Nothing that is not the image named in the record goes out, not even END.
    QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > 0; }));
    QCOMPARE(scripted->frames.size(), sent);
    QCOMPARE(watched->results.first().image->sha256, sha256Hex(content));
}

void SessionTest::imageRewrittenBeforeUpdateIsHashedAgain_data()
{
    QTest::addColumn<bool>("replaced");
    QTest::newRow("rewritten in place") << false;
    QTest::newRow("replaced by a renamed file") << true;
}

void SessionTest::imageRewrittenBeforeUpdateIsHashedAgain()
{
    QFETCH(bool, replaced);
    const QByteArray before = escapeHeavyBytes(3000, 6);
    const QByteArray after = escapeHeavyBytes(2500, 7);
    auto image = imageOf(before);
    QCOMPARE(image->facts().sha256, sha256Hex(before));
    if (replaced) {
        const QString fresh = writeImage(dir->path(), QStringLiteral("new.vuf"), after);
        QVERIFY(QFile::remove(image->facts().path));
        QVERIFY(QFile::rename(fresh, image->facts().path));
    } else {
        writeImage(dir->path(), QStringLiteral("fw.vuf"), after);
    }
    SimulatedLine device;
    QVERIFY(device.open());
    auto watched = watch(settingsFor(device.line.slavePath()), image);
    watched->session->start();
    QVERIFY(watched->waitForResults(1));
    QCOMPARE(watched->lastOutcome(), Outcome::Updated);
    QCOMPARE(device.device->receivedImage(), padded(after));
    QCOMPARE(watched->results.first().image->sha256, sha256Hex(after));
    QCOMPARE(watched->results.first().image->size, qint64(after.size()));
}

void SessionTest::interruptBetweenDevicesRecordsNothing()
{
    // An update cut short is recorded as interrupted (the console program's signal rows); between
    // two devices under --repeat there is no update to record.
    SimulatedLine device;
    QVERIFY(device.open());
    SessionSettings settings = settingsFor(device.line.slavePath());
    settings.repeat = true;
    auto repeating = watch(settings, imageOf(escapeHeavyBytes(100, 10)));
    repeating->session->start();
    QVERIFY(repeating->waitForResults(1));
    QCOMPARE(repeating->session->state(), UpdateSession::State::AwaitingRemoval);
    repeating->session->interrupt();
    QCOMPARE(repeating->results.size(), 1);
    QVERIFY(repeating->ended);
    QCOMPARE(repeating->session->state(), UpdateSession::State::Ended);
}

void SessionTest::servedPieces_data()
{
    // Pieces in the order they are served, "!" after one that must count as repeated; then the
    // runs of consecutive pieces left.
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("runs");
    QTest::newRow("in order") << "0 1 2 3 4 5" << 1;
    QTest::newRow("asked again") << "0 1 2 1! 3 3!" << 1;
    QTest::newRow("backwards") << "5 4 3 2" << 1;
    QTest::newRow("a gap filled") << "0 1 3 4 2 3!" << 1;
    QTest::newRow("gaps left") << "0 2 4 6 2!" << 4;
    QTest::newRow("joins on both sides") << "10 12 11 10! 12! 13 9" << 1;
    QTest::newRow("the last pieces of the largest image")
        << "536870910 536870911 536870909 536870911!" << 1;
    // More gaps than a flag per piece would cost: flags from then on, the pieces served before
    // still known.
    QTest::newRow("all over the image, then flags") << "0..400/2 0! 398! 399 1 401" << -1;
    QTest::newRow("in order through a large image") << "0..100000/1 5000! 100000" << 1;
}

void SessionTest::servedPieces()
{
    QFETCH(QString, script);
    QFETCH(int, runs);
    ServedPieces served;
    const QStringList steps = script.split(QLatin1Char(' '));
    for (const QString &step : steps) {
        // "A..B/S": the pieces from A up to B in steps of S, none of them served before.
        const QRegularExpressionMatch range =
            QRegularExpression(QStringLiteral("^(\\d+)\\.\\.(\\d+)/(\\d+)$")).match(step);
        if (range.hasMatch()) {
            for (quint32 piece = range.captured(1).toUInt(); piece < range.captured(2).toUInt();
                 piece += range.captured(3).toUInt())
                QVERIFY2(!served.serve(piece), qPrintable(QString::number(piece)));
            continue;
        }
        const bool repeated = step.endsWith(QLatin1Char('!'));
        const quint32 piece = QString(step).remove(QLatin1Char('!')).toUInt();
        QVERIFY2(served.serve(piece) == repeated, qPrintable(step));
    }
    QCOMPARE(served.runs(), runs);
}

void SessionTest::turnoverRule_data()
{
    // Events at a time in ms: handled[:serial], probe, heard, lost, opened[:serial]; "left?" asks
    // whether the device handled has left, and what follows "=" is the answer expected. The
    // session probes every 200 ms.
    QTest::addColumn<QString>("script");
    QTest::newRow("nothing handled yet") << "left?@0=1";
    QTest::newRow("answers keep coming")
        << "handled@0 probe@200 heard@201 probe@400 heard@401 probe@600 probe@800 heard@800 "
           "probe@1000 probe@1200 left?@1300=0";
    QTest::newRow("silent for a second")
        << "handled@0 probe@200 heard@200 probe@400 probe@600 probe@800 probe@1000 left?@1199=0 "
           "left?@1200=1";
    // A machine that held the program back: no probe went out, so nothing went unanswered.
    QTest::newRow("a second without probes is no absence")
        << "handled@0 probe@200 heard@200 probe@400 left?@1500=0 heard@1500 probe@1700 "
           "left?@1800=0";
    QTest::newRow("left stays left")
        << "handled@0 probe@200 probe@400 probe@600 probe@800 left?@1000=1 heard@1100 "
           "left?@1200=1";
    QTest::newRow("port gone, back without an adapter serial")
        << "handled@0 lost@100 opened@300 left?@300=1";
    QTest::newRow("port gone, back with another adapter")
        << "handled:A1@0 lost@100 opened:B2@300 left?@300=1";
    QTest::newRow("same USB device back, still answering")
        << "handled:A1@0 lost@100 opened:A1@300 probe@300 heard@500 probe@700 probe@900 heard@1000 "
           "probe@1200 probe@1400 left?@1400=0";
    QTest::newRow("same USB device back, then silent")
        << "handled:A1@0 lost@100 opened:A1@300 probe@300 probe@500 probe@700 probe@900 "
           "left?@1299=0 probe@1100 left?@1300=1";
    QTest::newRow("port gone with the result") << "lost@0 handled@0 opened@200 left?@200=1";
    QTest::newRow("silence while the port is closed does not count")
        << "handled:A1@0 lost@100 left?@5000=0";
}

void SessionTest::turnoverRule()
{
    QFETCH(QString, script);
    DeviceTurnover turnover;
    const QStringList steps = script.split(QLatin1Char(' '));
    for (const QString &step : steps) {
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral("^([a-z?]+)(?::(\\w+))?@(\\d+)(?:=(\\d))?$"))
                .match(step);
        QVERIFY2(match.hasMatch(), qPrintable(step));
        const QString event = match.captured(1);
        const QString serial = match.captured(2);
        const qint64 at = match.captured(3).toLongLong();
        if (event == QLatin1String("handled"))
            turnover.deviceHandled(serial, at);
        else if (event == QLatin1String("heard"))
            turnover.heard(at);
        else if (event == QLatin1String("probe"))
            turnover.probed();
        else if (event == QLatin1String("lost"))
            turnover.portLost();
        else if (event == QLatin1String("opened"))
            turnover.portOpened(serial, at);
        else
            QVERIFY2(turnover.previousLeft(at) == (match.captured(4) == QLatin1String("1")),
                     qPrintable(step));
    }
}

void SessionTest::portGoneBetweenBoards_data()
{
    // What vantuflash's lines and the station's tiles both tell: a port gone while its session
    // waits between boards, as against a port missing before any board or lost during an update.
    using State = UpdateSession::State;
    QTest::addColumn<State>("state");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<bool>("gone");
    QTest::newRow("the board just updated took its port along")
        << State::AwaitingRemoval << false << true;
    QTest::newRow("the board just updated is still there")
        << State::AwaitingRemoval << true << false;
    QTest::newRow("waiting for the next board, port gone") << State::AwaitingNext << false << true;
    QTest::newRow("waiting for the next board, port there") << State::AwaitingNext << true << false;
    QTest::newRow("before the first board: waiting for its port")
        << State::WaitingForPort << false << false;
    QTest::newRow("probing a port just closed") << State::Probing << false << false;
    QTest::newRow("during an update: its result tells") << State::Transferring << false << false;
    QTest::newRow("ended") << State::Ended << false << false;
}

void SessionTest::portGoneBetweenBoards()
{
    QFETCH(UpdateSession::State, state);
    QFETCH(bool, portOpen);
    QFETCH(bool, gone);
    QCOMPARE(UpdateSession::portGoneBetweenBoards(state, portOpen), gone);
}

void SessionTest::repeatTellsTheNextDevice_data()
{
    QTest::addColumn<QString>("afterDone");
    QTest::addColumn<int>("updates");
    QTest::newRow("the device stays, announcing itself") << "announce" << 1;
    QTest::newRow("the device stays, answering the probes") << "stay" << 1;
    QTest::newRow("quiet for longer than the absence, then the next") << "quiet" << 2;
    QTest::newRow("the port goes and comes back") << "restart" << 2;
}

void SessionTest::repeatTellsTheNextDevice()
{
    QFETCH(QString, afterDone);
    QFETCH(int, updates);
    DeviceOptions options;
    options.announceAfterDone = afterDone == QLatin1String("announce");
    if (afterDone == QLatin1String("quiet"))
        options.quietAfterDoneMs = 1300;
    auto device = std::make_unique<SimulatedLine>();
    QVERIFY(device->open(options));
    // The next board stays on the fixture once it is updated.
    connect(device->device.get(), &SimulatedDevice::updateCompleted, this, [&] {
        DeviceOptions staying = device->device->options();
        staying.quietAfterDoneMs = 0;
        device->device->setOptions(staying);
    });
    const QString link = dir->filePath(QStringLiteral("fixture"));
    QVERIFY(QFile::link(device->line.slavePath(), link));
    std::unique_ptr<SimulatedLine> next;
    if (afterDone == QLatin1String("restart")) {
        // A USB device that restarts takes its port along; the next board brings it back.
        connect(device->device.get(), &SimulatedDevice::updateCompleted, this, [&] {
            QTimer::singleShot(50, this, [&] {
                QFile::remove(link);
                device->line.hangUp();
                QTimer::singleShot(300, this, [&] {
                    next = std::make_unique<SimulatedLine>();
                    if (next->open())
                        QFile::link(next->line.slavePath(), link);
                });
            });
        });
    }
    SessionSettings settings = settingsFor(link);
    settings.repeat = true;
    const QByteArray content = escapeHeavyBytes(700, 11);
    auto watched = watch(settings, imageOf(content));
    bool sawPortGone = false;
    connect(watched->session.get(), &UpdateSession::stateChanged, this,
            [&] { sawPortGone = sawPortGone || watched->session->portGoneBetweenBoards(); });
    watched->session->start();

    QVERIFY(watched->waitForResults(updates));
    // Between the two boards the port was gone, and the session said so.
    QCOMPARE(sawPortGone, afterDone == QLatin1String("restart"));
    // A second of unanswered probes marks the departure: well past it, nothing more is updated.
    QVERIFY(neverWithin(std::chrono::milliseconds(1800),
                        [&] { return watched->results.size() > updates; }));
    for (const SessionResult &result : std::as_const(watched->results))
        QCOMPARE(result.outcome, Outcome::Updated);
    QCOMPARE(device->device->stats().updatesStarted, afterDone == QLatin1String("quiet") ? 2 : 1);
    if (next)
        QCOMPARE(next->device->receivedImage(), padded(content));
    watched->session->interrupt();
    QCOMPARE(watched->results.size(), updates);
}

void SessionTest::endingAroundEnd_data()
{
    QTest::addColumn<bool>("endSent");
    QTest::addColumn<bool>("cancel"); // the device cancels; otherwise its port goes
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("says");
    QTest::newRow("cancelled after END: a failure")
        << true << true << Outcome::Cancelled << "after the end";
    QTest::newRow("lost before END: failed halfway")
        << false << false << Outcome::PortLost << "Port lost";
    // A board that restarts the moment it has the whole image takes its port along before its
    // RSP_DONE is read: neither a failure halfway nor a success.
    QTest::newRow("lost after END: the device had the whole image")
        << true << false << Outcome::LostAfterEnd << "had the whole image and END";
}

void SessionTest::endingAroundEnd()
{
    QFETCH(bool, endSent);
    QFETCH(bool, cancel);
    QFETCH(Outcome, outcome);
    QFETCH(QString, says);
    auto watched = startedWithScriptedDevice(escapeHeavyBytes(8, 11));
    QVERIFY(watched);
    QCOMPARE(request(endSent ? 8 : 0)[1], endSent ? CMD_END : CMD_DATA);
    if (cancel)
        scripted->send(RSP_CANCELLED);
    else
        scripted->terminal().hangUp();
    QVERIFY(watched->waitForResults(1));
    QCOMPARE(watched->lastOutcome(), outcome);
    QVERIFY2(watched->results.first().message.contains(says),
             qPrintable(watched->results.first().message));
    QTRY_VERIFY(watched->ended);
}

QTEST_GUILESS_MAIN(SessionTest)
#include "tst_session.moc"
