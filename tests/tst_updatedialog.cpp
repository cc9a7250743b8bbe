// The update window against the real QSerialPort on a pseudo-terminal, with the device side
// played frame by frame by the test.
#include "blinktimer.h"
#include "repaintpacer.h"
#include "serialtuning.h"
#include "vantuupdate.h"
#include "windowcase.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include <linux/serial.h>
#include <sys/ioctl.h>

using namespace testing;

namespace {

// True when the screen (the window's backing store, which the platform shows) has the light in
// that colour: nearly all of its 15 x 15 pixels.
bool screenShows(QWidget *window, const QLabel *light, Qt::GlobalColor colour)
{
    const QPoint at = light->mapTo(window, QPoint(0, 0));
    const QImage shot =
        window->screen()
            ->grabWindow(window->winId(), at.x(), at.y(), light->width(), light->height())
            .toImage();
    int matching = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x)
            matching += shot.pixelColor(x, y) == QColor(colour);
    }
    return matching >= 200;
}

class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};
} // namespace

class UpdateDialogTest : public QObject, WindowCase
{
    Q_OBJECT

private slots:
    void init() { beginCase(); }
    void cleanup() { endCase(); }

    void nothingGoesOutBeforeFile();
    void portBoxRewritesStatusLine();

    void cancelledFileDialogChangesNothing();
    void probesEvery200ms();
    void handshakeShowsVersions();
    void sendLightFlashesWithEachProbe();
    void overlappingFlashesEndOneByOne_data();
    void overlappingFlashesEndOneByOne();
    void blinkEndsCoveredByLaterFramesAreNotReported();
    void lightReachesScreenOncePerRefresh();
    void frameFailingIdentificationIsIgnored();
    void frameNotActedOnStopsTimer_data();
    void frameNotActedOnStopsTimer();
    void wireTraceOnlyWhenAskedFor();
    void lowLatencyRequest();
};

void UpdateDialogTest::nothingGoesOutBeforeFile()
{
    // How the window starts has its test without a device (tst_window); here, the wire.
    QVERIFY(neverWithin(PastTimeout, [&] { return !device->raw.isEmpty(); }));
}

void UpdateDialogTest::portBoxRewritesStatusLine()
{
    auto *ports = widget<QComboBox>("comboBoxPort");
    ports->setEditText(QStringLiteral("COM7"));
    QCOMPARE(status(), QStringLiteral("COM7  file not available"));

    testing::reachReady(*dialog, *device, image);
    if (QTest::currentTestFailed())
        return;
    clickDownload();
    QTRY_COMPARE(status(), InProgress);
    ports->setEditText(QStringLiteral("ttyUSB9"));
    QCOMPARE(status(), QStringLiteral("ttyUSB9  ") + image);
    // The open port stays as it was: the device still hears the tool.
    QVERIFY(device->waitForCommand(CMD_START));
}

void UpdateDialogTest::cancelledFileDialogChangesNothing()
{
    const QString before = status();
    widget<QComboBox>("comboBoxPort")->setEditText(device->path());
    const QString withPort = status();
    chooseFile(*dialog, QString());
    QCOMPARE(status(), withPort);
    QVERIFY(before != withPort);
    QVERIFY(widget<QPushButton>("pushButtonOK")->isEnabled());
    QVERIFY(neverWithin(PastTimeout, [&] { return !device->raw.isEmpty(); }));
    QCOMPARE(status(), withPort);
}

void UpdateDialogTest::probesEvery200ms()
{
    // Each probe goes out one response timeout after the last: never sooner, and never later
    // than a timer of the test's that the last probe started, a little longer than the tool's.
    // Both are timers of this thread, which fire in the order they fall due however late a
    // loaded machine runs them.
    WireTrace trace;
    trace.enable();
    int late = 0;
    QObject scope; // the test's timers go with the test
    trace.onLine = [&](const QString &line) {
        if (!line.contains(QLatin1String(" tx ")))
            return;
        const int sentBefore = trace.sent();
        // Started once the tool's call has returned, and with it the start of its timer.
        QMetaObject::invokeMethod(
            &scope,
            [&, sentBefore] {
                QTimer::singleShot(ResponseTimeout * 21 / 20 + 5ms, Qt::PreciseTimer, &scope,
                                   [&, sentBefore] { late += trace.sent() == sentBefore; });
            },
            Qt::QueuedConnection);
    };
    startProcedure(*dialog, device->path(), image);
    QCOMPARE(status(), device->path() + QStringLiteral("  ") + image);
    QVERIFY(!widget<QPushButton>("pushButtonOK")->isEnabled());
    QVERIFY(QTest::qWaitFor([&] { return trace.sent() >= 6; }, PatienceMs));
    trace.onLine = nullptr;
    QCOMPARE(late, 0);
    // A coarse timer may fall due 5 % early.
    const qint64 soonest = ResponseTimeout.count() * 19 / 20;
    for (int i = 1; i < 6; ++i)
        QVERIFY2(trace.atMs[i] - trace.atMs[i - 1] >= soonest,
                 qPrintable(QStringLiteral("probe %1 after %2 ms")
                                .arg(i + 1)
                                .arg(trace.atMs[i] - trace.atMs[i - 1])));
    QCOMPARE(status(), QStringLiteral("finding device..."));
    QVERIFY(device->waitForFrames(6));
    QCOMPARE(device->commands().first(6), QList<quint8>(6, CMD_PING));
    QCOMPARE(device->badChecks, 0);
}

void UpdateDialogTest::handshakeShowsVersions()
{
    // How the versions read has its table with the protocol; here, the window's steps.
    WireTrace trace;
    trace.enable();
    QString statusAtQuery;
    trace.onLine = [&](const QString &line) {
        if (line.contains(QLatin1String(" tx GET_VERSION")))
            statusAtQuery = status();
    };
    startProcedure(*dialog, device->path(), image);
    QVERIFY(device->waitForFrames(1));
    device->send(RSP_PRESENT);
    QVERIFY(device->waitForCommand(CMD_GET_VERSION));
    QCOMPARE(statusAtQuery, QStringLiteral("get Version Info"));
    QCOMPARE(dialog->updateState(), UpdateState::VersionQuery);
    device->send(RSP_VERSION, DeviceVersion);
    QTRY_COMPARE(status(), VersionText);
    QVERIFY(widget<QPushButton>("pushButtonDownload")->isEnabled());
    QCOMPARE(dialog->updateState(), UpdateState::Ready);
    // Ready sends nothing more and the timer is stopped.
    const int sent = trace.sent();
    QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > sent; }));
    QCOMPARE(device->steps(), (QList<quint8>{CMD_PING, CMD_GET_VERSION}));
    QCOMPARE(status(), VersionText);
}

void UpdateDialogTest::sendLightFlashesWithEachProbe()
{
    auto *tx = widget<QLabel>("label_tx");
    auto *rx = widget<QLabel>("label_rx");
    startProcedure(*dialog, device->path(), image);
    QVERIFY(lightIs(tx, Qt::green));
    // Off 100 ms after the probe, before the next probe lights it again: the flash's end falls
    // due before the test's timer, and the next probe after it.
    runPast(LightOnTime + 10ms);
    QVERIFY(lightIs(tx, Qt::red));
    // The receive light has its test with a burst of frames.
    QVERIFY(lightIs(rx, Qt::red));
}

void UpdateDialogTest::overlappingFlashesEndOneByOne_data()
{
    QTest::addColumn<int>("busyMs");
    QTest::newRow("each end on its own") << 0;
    QTest::newRow("busy interval of a 60 Hz screen") << 17;
}

void UpdateDialogTest::overlappingFlashesEndOneByOne()
{
    // A second frame 80 ms after the first does not stretch the first one's blink: the light
    // goes off 100 ms after each frame. Frames that far apart are not busy traffic. The second
    // frame comes from a timer that falls due before the first blink ends, so that the two
    // overlap however late the machine runs them; each check is made from a timer that falls
    // due after the end it looks for.
    QFETCH(int, busyMs);
    BlinkTimer blink(LightOnTime);
    blink.setBusyInterval(std::chrono::milliseconds(busyMs));
    QElapsedTimer clock;
    QList<qint64> ends;
    connect(&blink, &BlinkTimer::blinkEnded, this, [&] { ends.append(clock.elapsed()); });
    clock.start();
    blink.start();
    qint64 secondAt = -1;
    int pendingAtSecond = 0;
    QObject scope; // the test's timer goes with the test
    QTimer::singleShot(80ms, Qt::PreciseTimer, &scope, [&] {
        pendingAtSecond = blink.pending();
        secondAt = clock.elapsed();
        blink.start();
    });
    runPast(LightOnTime + 10ms);
    QCOMPARE(pendingAtSecond, 1); // the second frame came while the first blink was on
    QVERIFY2(!ends.isEmpty(), "the first blink was stretched by the second frame");
    QVERIFY2(ends.first() >= LightOnTime.count(), qPrintable(QString::number(ends.first())));
    // The second blink's end falls due 100 ms after the second frame.
    runPast(std::chrono::milliseconds(
        std::max<qint64>(0, secondAt + LightOnTime.count() + 10 - clock.elapsed())));
    QCOMPARE(blink.pending(), 0);
    QVERIFY2(ends.last() >= secondAt + LightOnTime.count(),
             qPrintable(QStringLiteral("%1 %2").arg(secondAt).arg(ends.last())));
    const int reported = int(ends.size());
    QVERIFY(reported <= 2);
    QVERIFY(neverWithin(150ms, [&] { return ends.size() > reported; }));
}

void UpdateDialogTest::blinkEndsCoveredByLaterFramesAreNotReported()
{
    // A frame every millisecond: after the first 100 ms a blink ends every millisecond, each
    // followed by a frame that lights the light again. The ends are looked at once per busy
    // interval, and only an end that no frame followed turns the light off. Once the frames
    // stop, the light goes off with the next end.
    constexpr int BusyMs = 17;
    BlinkTimer blink(std::chrono::milliseconds(100));
    blink.setBusyInterval(std::chrono::milliseconds(BusyMs));
    QElapsedTimer clock;
    QList<qint64> ends;
    connect(&blink, &BlinkTimer::blinkEnded, this, [&] { ends.append(clock.elapsed()); });
    QTimer frames;
    frames.setTimerType(Qt::PreciseTimer);
    qint64 lastFrame = 0;
    connect(&frames, &QTimer::timeout, this, [&] {
        blink.start();
        lastFrame = clock.elapsed();
    });
    clock.start();
    blink.start();
    frames.start(1);
    runPast(400ms);
    frames.stop();
    const int duringFrames = ends.size();
    // Without the busy interval: one end reported per millisecond after the first 100 ms.
    QVERIFY2(
        duringFrames <= (lastFrame - 100) / BusyMs + 2,
        qPrintable(QStringLiteral("%1 ends reported in %2 ms").arg(duringFrames).arg(lastFrame)));
    for (const qint64 end : std::as_const(ends))
        QVERIFY(end >= 100);
    // The last blink ends 100 ms after the last frame, looked at within one busy interval.
    runPast(std::chrono::milliseconds(100 + BusyMs + 10));
    QVERIFY(ends.size() > duringFrames);
    QVERIFY(ends.last() > lastFrame);
    QCOMPARE(blink.pending(), 0);
}

void UpdateDialogTest::lightReachesScreenOncePerRefresh()
{
    // A frame every millisecond: after the first 100 ms each blink ends and the next frame lights
    // the light again, two changes a millisecond. The screen gets the light at most once per
    // display refresh, green while the frames come, and red once the last blink has ended.
    auto *rx = widget<QLabel>("label_rx");
    startProcedure(*dialog, device->path(), image);
    QVERIFY(device->waitForFrames(1));
    QTRY_VERIFY(screenShows(dialog.get(), rx, Qt::red));
    PaintCounter counter(rx);
    // The tool's trace tells when it has read the last frame: its light's last blink starts then.
    WireTrace trace;
    trace.enable();
    int sentFrames = 0;
    QTimer frames;
    frames.setTimerType(Qt::PreciseTimer);
    // RSP_VERSION while probing is not acted on: it only lights the receive light.
    connect(&frames, &QTimer::timeout, device.get(), [&] {
        device->send(RSP_VERSION);
        ++sentFrames;
    });
    QElapsedTimer clock;
    clock.start();
    frames.start(1);
    QTRY_VERIFY_WITH_TIMEOUT(screenShows(dialog.get(), rx, Qt::green), PatienceMs);
    runPast(std::chrono::milliseconds(std::max<qint64>(0, 400 - clock.elapsed())));
    frames.stop();
    const qint64 burstMs = clock.elapsed();
    const int paints = counter.paints;
    const qint64 refreshMs = RepaintPacer::refreshInterval(rx).count();
    QVERIFY2(paints <= burstMs / refreshMs + 3,
             qPrintable(QStringLiteral("%1 paints in %2 ms").arg(paints).arg(burstMs)));
    QVERIFY(QTest::qWaitFor([&] { return trace.received() >= sentFrames; }, PatienceMs));
    // The last blink ends 100 ms after the last frame, looked at within one refresh.
    runPast(std::chrono::milliseconds(LightOnTime.count() + refreshMs + 10));
    QVERIFY(lightIs(rx, Qt::red));
    QTRY_VERIFY_WITH_TIMEOUT(screenShows(dialog.get(), rx, Qt::red), PatienceMs);
    QCOMPARE(dialog->updateState(), UpdateState::Probing);
}

void UpdateDialogTest::frameFailingIdentificationIsIgnored()
{
    startProcedure(*dialog, device->path(), image);
    QVERIFY(device->waitForFrames(1));
    WireTrace trace;
    trace.enable();
    DeviceFrame wrongLead = makeDeviceFrame(RSP_PRESENT);
    wrongLead[2] = 0x51;
    device->sendFrame(wrongLead);
    // Probing goes on as if nothing came, and the receive light stays off.
    QVERIFY(QTest::qWaitFor([&] { return trace.received() == 1; }, PatienceMs));
    QVERIFY(lightIs(widget<QLabel>("label_rx"), Qt::red));
    QVERIFY(QTest::qWaitFor([&] { return trace.sent() >= 2; }, PatienceMs));
    QVERIFY(device->waitForFrames(3));
    QVERIFY(lightIs(widget<QLabel>("label_rx"), Qt::red));
    QCOMPARE(dialog->updateState(), UpdateState::Probing);
    for (quint8 command : device->commands())
        QCOMPARE(command, CMD_PING);
}

void UpdateDialogTest::frameNotActedOnStopsTimer_data()
{
    QTest::addColumn<bool>("inVersionQuery");
    QTest::addColumn<quint8>("code");
    QTest::newRow("version while probing") << false << RSP_VERSION;
    QTest::newRow("done while probing") << false << RSP_DONE;
    QTest::newRow("unknown code while probing") << false << quint8(0x90);
    QTest::newRow("present during version query") << true << RSP_PRESENT;
}

void UpdateDialogTest::frameNotActedOnStopsTimer()
{
    QFETCH(bool, inVersionQuery);
    QFETCH(quint8, code);

    WireTrace trace;
    trace.enable();
    ReceiveLight light(trace);
    startProcedure(*dialog, device->path(), image);
    QVERIFY(device->waitForFrames(1));
    UpdateState stateBefore = UpdateState::Probing;
    if (inVersionQuery) {
        device->send(RSP_PRESENT);
        QVERIFY(device->waitForCommand(CMD_GET_VERSION));
        stateBefore = UpdateState::VersionQuery;
        QTRY_VERIFY(lightIs(widget<QLabel>("label_rx"), Qt::red)); // off again after RSP_PRESENT
    }
    device->send(code, DeviceVersion);
    // Read by the tool, which lights the receive light for it.
    const int frames = inVersionQuery ? 2 : 1;
    QVERIFY(QTest::qWaitFor([&] { return light.litByFrame.size() == frames; }, PatienceMs));
    QVERIFY(light.litByFrame.last());
    // No more probes, no time-out text: the procedure waits for the device.
    const QString before = status();
    const int sent = trace.sent();
    QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > sent || status() != before; }));
    QCOMPARE(dialog->updateState(), stateBefore);
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
}

void UpdateDialogTest::wireTraceOnlyWhenAskedFor()
{
    // How a line reads has its table with the protocol; here, the window traces every frame both
    // ways once asked, a frame it does not act on included.
    WireTrace trace;
    startProcedure(*dialog, device->path(), image);
    QVERIFY(device->waitForFrames(1));
    device->send(RSP_PRESENT);
    QVERIFY(device->waitForCommand(CMD_GET_VERSION));
    QVERIFY(trace.lines.isEmpty()); // silent unless asked

    trace.enable();
    device->send(RSP_VERSION, DeviceVersion);
    QTRY_COMPARE(dialog->updateState(), UpdateState::Ready);
    clickDownload();
    QVERIFY(device->waitForCommand(CMD_START));
    device->send(0x90);
    QTRY_COMPARE(trace.lines.size(), 3);
    const QStringList expected = {QStringLiteral(" rx RSP_VERSION 7e 5e 50 81 07 05 00 01 00 00"),
                                  QStringLiteral(" tx START 50 03 00 00 00 00 00 77"),
                                  QStringLiteral(" rx 0x90 7e 5e 50 90 00 00 00 00 00 00")};
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(trace.lines[i].endsWith(expected[i]), qPrintable(trace.lines[i]));
}

void UpdateDialogTest::lowLatencyRequest()
{
    // A pseudo-terminal has no such setting: the request fails and the port works as before.
    QSerialPort pty(device->path());
    QVERIFY(pty.open(QIODevice::ReadWrite));
    QVERIFY(!requestLowLatency(pty));
    pty.write("\x7e", 1);
    QVERIFY(pty.waitForBytesWritten(PatienceMs));
    QVERIFY(device->terminal().waitForReadyRead(PatienceMs));

    // On a UART port the driver takes it. Needs a port this user may open.
    QSerialPort uart(QStringLiteral("/dev/ttyS0"));
    if (!uart.open(QIODevice::ReadWrite))
        QSKIP("no /dev/ttyS0 to open here");
    serial_struct serial{};
    if (::ioctl(int(uart.handle()), TIOCGSERIAL, &serial) != 0)
        QSKIP("/dev/ttyS0 has no serial driver settings");
    const int original = serial.flags;
    serial.flags &= ~ASYNC_LOW_LATENCY;
    QCOMPARE(::ioctl(int(uart.handle()), TIOCSSERIAL, &serial), 0);
    QVERIFY(requestLowLatency(uart));
    QCOMPARE(::ioctl(int(uart.handle()), TIOCGSERIAL, &serial), 0);
    const bool set = serial.flags & ASYNC_LOW_LATENCY;
    serial.flags = original;
    ::ioctl(int(uart.handle()), TIOCSSERIAL, &serial);
    QVERIFY(set);
}

QTEST_MAIN(UpdateDialogTest)
#include "tst_updatedialog.moc"
