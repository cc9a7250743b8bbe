// Seeded soak of whole updates: the real window and the real QSerialPort on a pseudo-terminal,
// against the simulated device misbehaving on a noisy line, with faults chosen per seed. Every
// run must end with the image on the device byte for byte and "Firmware is updated", or with the
// status text for the fault that ended it; no answer the tool gives may carry a wrong byte.
#include "linesupport.h"
#include "simulateddevice.h"
#include "vantuupdate.h"
#include "windowsupport.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <array>
#include <ctime>
#include <memory>

using namespace testing;

namespace {

// The test command runs 60; VANTU_SOAK_RUNS asks for more (scripts/soak.sh runs thousands).
constexpr int DefaultRuns = 60;
constexpr int MaxSize = 40 * 1024;

const QString PortLost = QStringLiteral("Port lost: ");

// How a run ends.
enum Ending
{
    Completes,  // the device takes the whole image
    Cancel,     // the device cancels at a random offset
    Silence,    // the device falls silent at a random offset
    HangUp,     // the device closes the line at a random offset, maybe mid-frame
    StrayStart, // a lone 0x7E before a request makes the tool drop it: the tool times out
    EndingCount
};
const std::array<const char *, EndingCount> EndingNames = {"completes", "cancel", "silence",
                                                           "hang-up", "stray 0x7E"};

// Faults of the line that the tool must ride out.
enum LineFault
{
    Noise,
    Split,
    CorruptExtra,
    Foreign,
    Duplicate,
    Stale,
    Delay,
    RandomOrder,
    LineFaultCount
};
const std::array<const char *, LineFaultCount> LineFaultNames = {
    "noise",      "split frames", "bytes 8-9", "foreign frames",
    "duplicates", "stale",        "delays",    "random order"};

struct Plan
{
    quint32 seed = 0;
    int size = 0;
    Ending ending = Completes;
    std::array<bool, LineFaultCount> faults{};
    DeviceOptions options;
    QString versionText;

    QString describe() const
    {
        QStringList on;
        for (int f = 0; f < LineFaultCount; ++f) {
            if (faults[f])
                on << QLatin1String(LineFaultNames[f]);
        }
        return QStringLiteral("seed %1, %2 bytes, ends: %3, faults: %4")
            .arg(seed)
            .arg(size)
            .arg(QLatin1String(EndingNames[ending]),
                 on.isEmpty() ? QStringLiteral("none") : on.join(QStringLiteral(", ")));
    }
};

int soakRuns()
{
    bool ok = false;
    const int runs = qEnvironmentVariableIntValue("VANTU_SOAK_RUNS", &ok);
    return ok && runs > 0 ? runs : DefaultRuns;
}

// Image sizes every soak covers: the shortest images, a short last piece, block edges, the largest.
constexpr std::array<int, 10> EdgeSizes = {1, 2, 3, 4, 5, 1023, 1024, 1025, 4097, MaxSize};

// Versions that often travel escaped; returns the text the window shows for them.
QString pickVersions(DeviceOptions &o, QRandomGenerator &random)
{
    const auto versionByte = [&] {
        const int pick = random.bounded(3);
        return quint8(pick == 0 ? 0x7D : pick == 1 ? 0x7E : random.bounded(256));
    };
    o.firmwareMajor = versionByte();
    o.firmwareMinor = versionByte();
    o.hardwareMajor = versionByte();
    o.hardwareMinor = versionByte();
    return QString::asprintf("Firm V%2.2x.%2.2x, hardware V%2.2x.%2.2x, click Download",
                             o.firmwareMajor, o.firmwareMinor, o.hardwareMajor, o.hardwareMinor);
}

// Which faults strike the line, and how often each does.
void pickLineFaults(Plan &plan, QRandomGenerator &random)
{
    DeviceOptions &o = plan.options;
    // Frames the device sends, about: handshake, one request per piece, the end.
    const double frames = 4 + (plan.size + 3) / 4;
    const auto rate = [&](int most) {
        return std::min(1.0, (1 + random.bounded(most)) / frames);
    };
    for (int f = 0; f < LineFaultCount; ++f)
        plan.faults[f] = random.bounded(f == RandomOrder ? 5 : 2) == 0;
    if (plan.faults[Noise])
        o.noiseRate = rate(24);
    if (plan.faults[Split])
        o.splitRate = rate(8);
    if (plan.faults[CorruptExtra])
        o.corruptExtraRate = rate(24);
    if (plan.faults[Foreign])
        o.foreignFrameRate = rate(12);
    if (plan.faults[Duplicate])
        o.duplicateRate = rate(12);
    if (plan.faults[Stale])
        o.staleRate = rate(12);
    if (plan.faults[Delay]) {
        o.delayRate = rate(3);
        o.maxDelayMs = DeviceOptions::DefaultMaxDelayMs;
    }
    if (plan.faults[RandomOrder]) {
        o.randomOrder = true;
        o.randomSeed = plan.seed;
    }
}

// The device's part in how the run ends, at an offset of its choosing.
void setEnding(DeviceOptions &o, Ending ending)
{
    switch (ending) {
    case Cancel:
        o.cancelAt = DeviceOptions::RandomOffset;
        break;
    case Silence:
        o.silentAt = DeviceOptions::RandomOffset;
        break;
    case HangUp:
        o.hangUpAt = DeviceOptions::RandomOffset;
        break;
    case StrayStart:
        o.strayStartAt = DeviceOptions::RandomOffset;
        break;
    default:
        break;
    }
}

Plan planFor(quint32 seed)
{
    QRandomGenerator random(seed * 2654435761u + 12345u);
    Plan plan;
    plan.seed = seed;
    // Mostly small images: the pseudo-terminal is fast, but every delayed frame costs time.
    if (seed >= 1 && seed <= EdgeSizes.size()) {
        plan.size = EdgeSizes[seed - 1];
    } else {
        const int bucket = random.bounded(100);
        plan.size = bucket < 75   ? 1 + random.bounded(600)
                    : bucket < 93 ? 600 + random.bounded(5400)
                                  : 6000 + random.bounded(MaxSize - 6000 + 1);
    }
    const int roll = random.bounded(100);
    plan.ending = roll < 50   ? Completes
                  : roll < 63 ? Cancel
                  : roll < 74 ? Silence
                  : roll < 88 ? HangUp
                              : StrayStart;
    plan.options.seed = seed;
    plan.options.imageSize = plan.size;
    plan.versionText = pickVersions(plan.options, random);
    pickLineFaults(plan, random);
    setEnding(plan.options, plan.ending);
    return plan;
}

// How many of a fault the device injected in a run.
int injected(const DeviceStats &s, LineFault fault)
{
    switch (fault) {
    case Noise:
        return s.noiseBursts;
    case Split:
        return s.splitFrames;
    case CorruptExtra:
        return s.corruptedExtras;
    case Foreign:
        return s.foreignFrames;
    case Duplicate:
        return s.duplicatedRequests;
    case Stale:
        return s.staleRequests;
    case Delay:
        return s.delayedFrames;
    default:
        return 0;
    }
}

// Counts the transfer-state time-outs the window shows: the time-out disables Download with its
// text already on the status line.
class TimeoutWatch : public QObject
{
public:
    TimeoutWatch(QLabel *status, int *seen, QObject *parent)
        : QObject(parent), status(status), seen(seen)
    {}
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::EnabledChange &&
            !static_cast<QWidget *>(watched)->isEnabled() && status->text() == TimedOut)
            ++*seen;
        return false;
    }

private:
    QLabel *status;
    int *seen;
};

// What the test sees of one run besides the status line.
struct RunWatch
{
    QStringList wrongPieces; // answers that did not hold the image's bytes
    int pingsBeforeVersion = 0;
    bool versionAsked = false;
    QStringList deviceLog; // the device's last lines
    int timeoutsShown = 0;
    qint64 longestStallMs = 0; // of this process, while it waits for the end of the update
};

struct Tally
{
    int runs = 0;
    std::array<int, EndingCount> planned{};
    std::array<int, EndingCount> endedAsPlanned{};
    std::array<int, LineFaultCount> runsWith{};
    std::array<int, LineFaultCount> completedWith{};
    std::array<qint64, LineFaultCount> events{};
    int duplicateAnswers = 0;
    int secondProbe = 0;   // runs whose first device frame was lost to the parser's old state
    int lateTimeouts = 0;  // runs that showed the time-out text and then went on
    qint64 imageBytes = 0; // bytes of the images that completed
    int stalledRuns = 0;   // runs in which the machine held the test back for a while
    qint64 longestStallMs = 0;
    qint64 slowestMs = 0;
    quint32 slowestSeed = 0;
    QElapsedTimer clock;
    std::clock_t cpuStart = 0;
};

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void soak_data();
    void soak();
    // Runs last: prints the tally and checks that every fault was really injected.
    void tally();

private:
    QString status() const { return label->text(); }
    // Checks every answer against the image, and keeps what the diagnosis and the tally need.
    void watchDevice(SimulatedDevice &device, const QByteArray &expected, RunWatch &watch);
    QString diagnosis(const Plan &plan, const SimulatedDevice &device, const RunWatch &watch) const;
    // Until the status line and the device show how the run ended.
    void waitForTheEnd(const Plan &plan, const SimulatedDevice &device, RunWatch &watch);
    // The status line, the window and the device as the planned ending leaves them.
    void verifyEnding(const Plan &plan, const SimulatedDevice &device, vantuUpdate &dialog,
                      const QByteArray &expected, const RunWatch &watch);
    void countRun(const Plan &plan, const DeviceStats &s, const RunWatch &watch, qint64 ms);

    QTemporaryDir dir;
    QLabel *label = nullptr;
    Tally counts;
};

void SoakTest::initTestCase()
{
    QVERIFY(dir.isValid());
    counts.clock.start();
    counts.cpuStart = std::clock();
}

void SoakTest::init()
{
    failOnQtWarnings();
}

void SoakTest::soak_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= quint32(soakRuns()); ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

void SoakTest::soak()
{
    QFETCH(quint32, seed);
    const Plan plan = planFor(seed);
    QElapsedTimer runClock;
    runClock.start();

    const QByteArray content = escapeHeavyBytes(plan.size, seed);
    const QByteArray expected = padded(content);
    const QString image = writeImage(dir.path(), QStringLiteral("fw-%1.vuf").arg(seed), content);

    // Declared in this order so that the window goes first, then the device, then the line.
    PseudoTerminal line;
    QVERIFY2(line.open(), qPrintable(line.errorString()));
    SimulatedDevice device(&line, plan.options);
    RunWatch watch;
    watchDevice(device, expected, watch);

    vantuUpdate dialog;
    label = dialog.findChild<QLabel *>(QStringLiteral("labelStatusBar"));
    auto *download = dialog.findChild<QPushButton *>(QStringLiteral("pushButtonDownload"));
    QVERIFY(label && download);
    download->installEventFilter(new TimeoutWatch(label, &watch.timeoutsShown, download));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    startProcedure(dialog, line.slavePath(), image);
    QTRY_VERIFY2_WITH_TIMEOUT(status() == plan.versionText,
                              qPrintable(diagnosis(plan, device, watch)), PatienceMs);
    // A run before may have left the tool's parser just past a frame start: that can cost the
    // first answer, once, and the tool probes again.
    QVERIFY2(watch.pingsBeforeVersion <= 2, qPrintable(diagnosis(plan, device, watch)));
    QTest::mouseClick(download, Qt::LeftButton);
    waitForTheEnd(plan, device, watch);
    if (QTest::currentTestFailed())
        return;
    verifyEnding(plan, device, dialog, expected, watch);
    if (QTest::currentTestFailed())
        return;
    countRun(plan, device.stats(), watch, runClock.elapsed());
    label = nullptr;
}

void SoakTest::watchDevice(SimulatedDevice &device, const QByteArray &expected, RunWatch &watch)
{
    connect(&device, &SimulatedDevice::pieceReceived, this,
            [&watch, expected](quint32 offset, const QByteArray &bytes) {
                const QByteArray want = expected.mid(offset & ~3u, 4);
                if (bytes != want) {
                    watch.wrongPieces << QStringLiteral("offset %1: %2 instead of %3")
                                             .arg(offset)
                                             .arg(QString::fromLatin1(bytes.toHex(' ')),
                                                  QString::fromLatin1(want.toHex(' ')));
                }
            });
    connect(&device, &SimulatedDevice::frameReceived, this, [&watch](const FramePayload &payload) {
        if (payload[1] == CMD_GET_VERSION)
            watch.versionAsked = true;
        else if (payload[1] == CMD_PING && !watch.versionAsked)
            ++watch.pingsBeforeVersion;
    });
    connect(&device, &SimulatedDevice::logLine, this, [&watch](const QString &text) {
        watch.deviceLog << text;
        if (watch.deviceLog.size() > 12)
            watch.deviceLog.removeFirst();
    });
}

QString SoakTest::diagnosis(const Plan &plan, const SimulatedDevice &device,
                            const RunWatch &watch) const
{
    const DeviceStats &s = device.stats();
    return QStringLiteral("%1; status \"%2\"; device: %3 frames in, %4 bad checks, "
                          "%5 unexpected, %6 offset / %7 retry mismatches, %8 completed, "
                          "%9 cancelled; test held back up to %10 ms; log: %11")
        .arg(plan.describe(), status())
        .arg(s.framesReceived)
        .arg(s.badCheckFrames)
        .arg(s.unexpectedFrames)
        .arg(s.offsetMismatches)
        .arg(s.retryMismatches)
        .arg(s.updatesCompleted)
        .arg(s.updatesCancelled)
        .arg(watch.longestStallMs)
        .arg(watch.deviceLog.join(QStringLiteral(" | ")));
}

void SoakTest::waitForTheEnd(const Plan &plan, const SimulatedDevice &device, RunWatch &watch)
{
    // The run is over when the status line shows how it ended. The time-out text alone is not an
    // end: a frame held back, or a loaded machine, can bring it for a moment, and the tool goes on
    // when the frame comes. It is the end of a run that was planned to end in silence once the
    // device has nothing more to send on its own: then nothing will come. How long the machine
    // held the test back is kept for the diagnosis and the tally.
    QElapsedTimer sinceCheck;
    sinceCheck.start();
    const auto ended = [&] {
        const qint64 gap = sinceCheck.restart();
        if (gap > 150)
            watch.longestStallMs = std::max(watch.longestStallMs, gap);
        const QString text = status();
        if (text == Updated || text == Cancelled || text.startsWith(PortLost))
            return true;
        if (text != TimedOut || !device.waitingForTheHost())
            return false;
        return (plan.ending == Silence && device.state() == SimulatedDevice::State::Silent) ||
               (plan.ending == StrayStart && device.stats().strayStarts == 1);
    };
    const int budgetMs = PatienceMs + plan.size / 2; // a large image takes a while
    QTRY_VERIFY2_WITH_TIMEOUT(ended(), qPrintable(diagnosis(plan, device, watch)), budgetMs);
}

void SoakTest::verifyEnding(const Plan &plan, const SimulatedDevice &device, vantuUpdate &dialog,
                            const QByteArray &expected, const RunWatch &watch)
{
    const DeviceStats &s = device.stats();
    const QString why = diagnosis(plan, device, watch);
    switch (plan.ending) {
    case Completes:
        QVERIFY2(status() == Updated, qPrintable(why));
        QCOMPARE(s.updatesCompleted, 1);
        QVERIFY2(device.receivedImage() == expected, qPrintable(why));
        QCOMPARE(dialog.findChild<QProgressBar *>()->value(), 100);
        break;
    case Cancel:
        QVERIFY2(status() == Cancelled, qPrintable(why));
        QCOMPARE(s.updatesCancelled, 1);
        QCOMPARE(s.updatesCompleted, 0);
        break;
    case Silence:
        QVERIFY2(status() == TimedOut, qPrintable(why));
        QCOMPARE(device.state(), SimulatedDevice::State::Silent);
        break;
    case StrayStart:
        // The device still waits for the answer to the request the tool never saw.
        QVERIFY2(status() == TimedOut, qPrintable(why));
        QCOMPARE(s.strayStarts, 1);
        QCOMPARE(device.state(), SimulatedDevice::State::Transferring);
        break;
    case HangUp:
        QVERIFY2(status().startsWith(PortLost), qPrintable(why));
        QCOMPARE(s.hangUps, 1);
        QVERIFY2(status().size() > PortLost.size(), qPrintable(status())); // the port is named
        QVERIFY(dialog.findChild<QPushButton *>(QStringLiteral("pushButtonOK"))->isEnabled());
        break;
    default:
        QFAIL("no such ending");
    }
    if (plan.ending == Silence || plan.ending == StrayStart) {
        // The time-out leaves the state where it was.
        QVERIFY(dialog.updateState() == UpdateState::Starting ||
                dialog.updateState() == UpdateState::Transferring);
    } else {
        QCOMPARE(dialog.updateState(), UpdateState::Probing);
    }
    QVERIFY(!dialog.findChild<QPushButton *>(QStringLiteral("pushButtonDownload"))->isEnabled());

    // Then the tool stays quiet and keeps its message: no frame for longer than its time-out.
    if (plan.ending == Completes || plan.ending == Cancel) {
        const int framesIn = s.framesReceived;
        const QString shown = status();
        WireTrace trace;
        trace.enable();
        QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > 0; }));
        QCOMPARE(status(), shown);
        QCOMPARE(s.framesReceived, framesIn);
    }
    QVERIFY2(watch.wrongPieces.isEmpty(), qPrintable(watch.wrongPieces.join(QStringLiteral("; "))));
    QVERIFY2(s.offsetMismatches == 0 && s.retryMismatches == 0, qPrintable(why));
    QVERIFY2(s.badCheckFrames == 0 && s.unexpectedFrames == 0, qPrintable(why));
}

void SoakTest::countRun(const Plan &plan, const DeviceStats &s, const RunWatch &watch, qint64 ms)
{
    ++counts.runs;
    ++counts.planned[plan.ending];
    ++counts.endedAsPlanned[plan.ending];
    for (int f = 0; f < LineFaultCount; ++f) {
        if (!plan.faults[f])
            continue;
        ++counts.runsWith[f];
        counts.events[f] += injected(s, LineFault(f));
        if (plan.ending == Completes)
            ++counts.completedWith[f];
    }
    counts.duplicateAnswers += s.duplicateAnswers;
    if (watch.pingsBeforeVersion > 1)
        ++counts.secondProbe;
    if (watch.timeoutsShown > 0 && plan.ending != Silence && plan.ending != StrayStart)
        ++counts.lateTimeouts;
    if (plan.ending == Completes)
        counts.imageBytes += plan.size;
    if (watch.longestStallMs > 0)
        ++counts.stalledRuns;
    counts.longestStallMs = std::max(counts.longestStallMs, watch.longestStallMs);
    if (ms > counts.slowestMs) {
        counts.slowestMs = ms;
        counts.slowestSeed = plan.seed;
    }
    QStringList injectedNow;
    for (int f = 0; f < RandomOrder; ++f) {
        if (const int n = injected(s, LineFault(f)))
            injectedNow << QStringLiteral("%1 %2").arg(QLatin1String(LineFaultNames[f])).arg(n);
    }
    const QString shownTimeouts =
        watch.timeoutsShown > 0
            ? QStringLiteral("; time-out shown %1 times before the end").arg(watch.timeoutsShown)
            : QString();
    qInfo("%s: \"%s\" in %lld ms; injected: %s%s", qPrintable(plan.describe()),
          qPrintable(status()), ms, qPrintable(injectedNow.join(QStringLiteral(", "))),
          qPrintable(shownTimeouts));
}

void SoakTest::tally()
{
    if (counts.runs == 0)
        QSKIP("no soak run to count (run the whole test)");
    const qint64 wallMs = counts.clock.elapsed();
    const double cpuMs = double(std::clock() - counts.cpuStart) * 1000.0 / CLOCKS_PER_SEC;
    qInfo("soak: %d runs in %lld ms (CPU %.0f ms), slowest %lld ms (seed %u)", counts.runs, wallMs,
          cpuMs, counts.slowestMs, counts.slowestSeed);
    for (int e = 0; e < EndingCount; ++e) {
        qInfo("  ending %-11s planned %4d, ended so %4d", EndingNames[e], counts.planned[e],
              counts.endedAsPlanned[e]);
    }
    qInfo("  completed: %d runs, %lld image bytes", counts.endedAsPlanned[Completes],
          counts.imageBytes);
    for (int f = 0; f < LineFaultCount; ++f) {
        qInfo("  fault %-14s in %4d runs (%4d completed), %6lld injected", LineFaultNames[f],
              counts.runsWith[f], counts.completedWith[f], counts.events[f]);
    }
    qInfo("  second answers to duplicated requests dropped: %d", counts.duplicateAnswers);
    qInfo("  runs that needed a second probe: %d; runs that showed a passing time-out: %d",
          counts.secondProbe, counts.lateTimeouts);
    qInfo("  runs in which the test was held back over 150 ms: %d (longest %lld ms)",
          counts.stalledRuns, counts.longestStallMs);

    // A soak that skipped its faults proves nothing: all of them must have struck.
    QCOMPARE(counts.runs, soakRuns());
    for (int e = 0; e < EndingCount; ++e)
        QVERIFY2(counts.endedAsPlanned[e] >= 3, EndingNames[e]);
    for (int f = 0; f < LineFaultCount; ++f) {
        QVERIFY2(counts.completedWith[f] >= 3, LineFaultNames[f]);
        if (f != RandomOrder)
            QVERIFY2(counts.events[f] >= 10, LineFaultNames[f]);
    }
    QVERIFY(counts.duplicateAnswers > 0);
}

QTEST_MAIN(SoakTest)
#include "tst_soak.moc"
