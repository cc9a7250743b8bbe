// The tool against the simulated device program itself, started as a separate process: the path
// a user takes with the run script.
#include "linesupport.h"
#include "vantuupdate.h"
#include "windowsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <csignal>

using namespace testing;

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void updateThroughTheSimulatorProgram();
    void simulatorEndsCleanly_data();
    void simulatorEndsCleanly();
    void simulatorEndsOnSigtermAtAnyMomentOfItsStart();
};

void EndToEndTest::updateThroughTheSimulatorProgram()
{
    failOnQtWarnings();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray content = escapeHeavyBytes(10000, 77);
    const QString image = writeImage(dir.path(), QStringLiteral("firmware.vuf"), content);
    const QString received = dir.filePath(QStringLiteral("received.bin"));

    QProcess simulator;
    const QString port = startSimulator(
        simulator,
        {QStringLiteral("--silent-probes"), QStringLiteral("2"), QStringLiteral("--version-bytes"),
         QStringLiteral("0002"
                        "0A01"),
         QStringLiteral("--output"), received, QStringLiteral("--exit-after-update")});
    QVERIFY2(!port.isEmpty(), simulator.readAllStandardError().constData());

    vantuUpdate dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    WireTrace trace;
    trace.enable();
    startProcedure(dialog, port, image);
    QTRY_COMPARE(status(), QStringLiteral("Firm V01.0a, hardware V02.00, click Download"));
    // Two probes went unanswered first.
    const auto query =
        std::find_if(trace.lines.cbegin(), trace.lines.cend(), [](const QString &line) {
            return line.contains(QLatin1String(" tx GET_VERSION "));
        });
    QVERIFY2(query != trace.lines.cend(), qPrintable(trace.lines.join(QLatin1Char('\n'))));
    QVERIFY2(QStringList(trace.lines.cbegin(), query).filter(QStringLiteral(" tx PING ")).size() >=
                 3,
             qPrintable(trace.lines.join(QLatin1Char('\n'))));

    // Wait in a real event loop: QTRY_* sleeps between its polls, which would pace a device in
    // another process to one exchange per poll.
    QSignalSpy output(&simulator, &QProcess::readyReadStandardOutput);
    clickDownload();
    QString report;
    while (!report.contains(QLatin1String("image:")) && output.wait(30000))
        report += QString::fromUtf8(simulator.readAllStandardOutput());
    QTRY_COMPARE(status(), Updated);
    QCOMPARE(widget<QProgressBar>("progressBarDownload")->value(), 100);

    // The simulator exits after the update, as a device restarting into its new firmware leaves
    // its port: the tool closes the port, and the outcome stands.
    QSignalSpy finished(&simulator, &QProcess::finished);
    QVERIFY(simulator.state() == QProcess::NotRunning || finished.wait(PatienceMs));
    QTRY_VERIFY(widget<QPushButton>("pushButtonOK")->isEnabled());
    QCOMPARE(status(), Updated);
    QVERIFY2(statusTip().contains(QLatin1String("The device left")), qPrintable(statusTip()));
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), 0);
    QFile out(received);
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), content); // 10000 bytes: a multiple of four, so no padding
    report += QString::fromUtf8(simulator.readAllStandardOutput());
    QVERIFY2(report.contains(QStringLiteral("image: 10000 bytes sha256 ") +
                             QLatin1String(sha256Hex(content))),
             qPrintable(report));
}

void EndToEndTest::simulatorEndsCleanly_data()
{
    QTest::addColumn<bool>("bySignal");
    QTest::newRow("end of its input") << false;
    QTest::newRow("SIGTERM") << true;
}

void EndToEndTest::simulatorEndsCleanly()
{
    QFETCH(bool, bySignal);
    QProcess simulator;
    QVERIFY(!startSimulator(simulator, {}).isEmpty());
    QSignalSpy finished(&simulator, &QProcess::finished);
    if (bySignal)
        simulator.terminate();
    else
        simulator.closeWriteChannel();
    QVERIFY(finished.wait(PatienceMs));
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), 0);
}

void EndToEndTest::simulatorEndsOnSigtermAtAnyMomentOfItsStart()
{
    // A starter that stops the device right after starting it (a test's or a script's clean-up)
    // finds it gone, wherever in its start-up the signal lands: from main() on it exits 0, before
    // that the signal's default action ends it. The signals are spread over the time the device
    // takes to announce its port here.
    QElapsedTimer clock;
    clock.start();
    QProcess first;
    QVERIFY(!startSimulator(first, {}).isEmpty());
    const qint64 startUpUs = clock.nsecsElapsed() / 1000;
    first.terminate();
    QVERIFY(first.waitForFinished(PatienceMs));
    constexpr int Attempts = 20;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        QProcess simulator;
        simulator.setProgram(QStringLiteral(DEVICESIM_PATH));
        simulator.start();
        QVERIFY(simulator.waitForStarted(PatienceMs));
        const qint64 delayUs = startUpUs * attempt / Attempts;
        QThread::usleep(static_cast<unsigned long>(delayUs));
        simulator.terminate();
        QVERIFY2(simulator.waitForFinished(PatienceMs),
                 qPrintable(QStringLiteral("still running after SIGTERM %1 ms into its start")
                                .arg(double(delayUs) / 1000)));
        // Ended by the signal itself only before its first instruction (while the program is
        // loaded); from then on it ends as asked, with status 0.
        if (simulator.exitStatus() == QProcess::CrashExit)
            QCOMPARE(simulator.exitCode(), SIGTERM);
        else
            QCOMPARE(simulator.exitCode(), 0);
    }
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
