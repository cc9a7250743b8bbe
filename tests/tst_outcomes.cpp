// What the window tells a technician around an update: an outcome that stands when the device
// leaves its port, the image named by its hash, advice while the window only waits, and keys that
// never end the tool by accident. Against the real window and the real QSerialPort on a
// pseudo-terminal, the device played frame by frame.
#include "portbox.h"
#include "vantuupdate.h"
#include "windowcase.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTime>
#include <QTimer>

using namespace testing;

namespace {

// True while this process has the device node open, read from its own file descriptors.
bool processHolds(const QString &devicePath)
{
    const QDir fds(QStringLiteral("/proc/self/fd"));
    const QStringList links = fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &fd : links) {
        // A node removed while open shows as "PATH (deleted)".
        const QString target = QFileInfo(fds.filePath(fd)).symLinkTarget();
        if (target == devicePath || target.startsWith(devicePath + QLatin1String(" (")))
            return true;
    }
    return false;
}

} // namespace

class OutcomesTest : public QObject, WindowCase
{
    Q_OBJECT

private slots:
    void init() { beginCase(content); }
    void cleanup() { endCase(); }

    void deviceLeavingAfterTheEnd_data();
    void deviceLeavingAfterTheEnd();
    void lastOutcomeKeepsItsTime();
    void imageNamedBySizeAndHash_data();
    void imageNamedBySizeAndHash();
    void adviceWhileNothingAnswers();
    void versionQueryFailureExplained();
    void portBoxShowsItsWholeText();
    void returnNeverEndsTheTool_data();
    void returnNeverEndsTheTool();
    void escapeStillCloses();

private:
    QPushButton *button(const char *name) const { return widget<QPushButton>(name); }
    // The window has the keyboard; false where the platform cannot give it.
    bool activate();
    // Ready, Download pressed, the image served and the end announced; the device has not yet
    // said whether it took it.
    void reachFinishing();
    // Drives the update to the outcome of the row: "done" or "cancelled".
    void reachOutcome(const QString &outcome);

    const QByteArray content = escapeHeavyBytes(64, 5);
};

bool OutcomesTest::activate()
{
    // A desktop gives the window the keyboard back when the file dialog closes; a bare X server
    // without a window manager gives it to no one.
    dialog->activateWindow();
    return QTest::qWaitForWindowActive(dialog.get());
}

void OutcomesTest::reachFinishing()
{
    startDownload(*dialog, *device, image);
    if (QTest::currentTestFailed())
        return;
    device->send(RSP_DATA_REQUEST, quint32(content.size()));
    QVERIFY(device->waitForCommand(CMD_END));
    QCOMPARE(device->frames.last()[1], CMD_END);
}

void OutcomesTest::reachOutcome(const QString &outcome)
{
    if (outcome == QLatin1String("done")) {
        reachFinishing();
        if (QTest::currentTestFailed())
            return;
        device->send(RSP_DONE);
        QTRY_COMPARE(status(), Updated);
    } else {
        startDownload(*dialog, *device, image);
        if (QTest::currentTestFailed())
            return;
        device->send(RSP_CANCELLED);
        QTRY_COMPARE(status(), Cancelled);
    }
}

void OutcomesTest::deviceLeavingAfterTheEnd_data()
{
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("shown"); // the status line once the port is gone
    QTest::newRow("firmware updated, device restarts") << "done"
                                                       << "Firmware is updated";
    QTest::newRow("cancelled, device restarts") << "cancelled"
                                                << "Device canncelled, please retry";
    // While the device still has to say whether it took the image, its leaving is a loss, after
    // which nobody knows whether it took it.
    QTest::newRow("lost before the device answered the end") << "finishing"
                                                             << "Port lost: PORT";
}

void OutcomesTest::deviceLeavingAfterTheEnd()
{
    QFETCH(QString, outcome);
    QFETCH(QString, shown);
    if (outcome == QLatin1String("finishing"))
        reachFinishing();
    else
        reachOutcome(outcome);
    if (QTest::currentTestFailed())
        return;
    const QString port = device->path();
    shown.replace(QLatin1String("PORT"), port);
    QVERIFY(processHolds(port));

    // A device that restarts takes its port with it: the node goes, as a USB device's does.
    device->terminal().hangUp();
    QTRY_VERIFY(!processHolds(port));
    QTRY_COMPARE(status(), shown);
    // The port is closed and File can start again, as after any loss.
    QVERIFY(button("pushButtonOK")->isEnabled());
    QVERIFY(!button("pushButtonDownload")->isEnabled());
    QCOMPARE(dialog->updateState(), UpdateState::Probing);
    const bool stands = outcome != QLatin1String("finishing");
    QVERIFY2(statusTip().startsWith(shown), qPrintable(statusTip()));
    QCOMPARE(statusTip().contains(QLatin1String("The device left")), stands);
    // Lost after END: the device had the whole image, which the tooltip says.
    QCOMPARE(statusTip().contains(QLatin1String("had the whole image and END")), !stands);
    // Nothing more happens on its own: no text over the outcome.
    QVERIFY(neverWithin(PastTimeout, [&] { return status() != shown; }));

    // File works again, with the next device.
    device = std::make_unique<ScriptedDevice>();
    QVERIFY(device->open());
    reachReady(*dialog, *device, image);
}

void OutcomesTest::lastOutcomeKeepsItsTime()
{
    reachOutcome(QStringLiteral("done"));
    if (QTest::currentTestFailed())
        return;
    const QTime after = QTime::currentTime();
    const QRegularExpression stamp(
        QStringLiteral("Last outcome: Firmware is updated at (\\d\\d:\\d\\d:\\d\\d)"));
    const QRegularExpressionMatch match = stamp.match(statusTip());
    QVERIFY2(match.hasMatch(), qPrintable(statusTip()));
    const QTime at = QTime::fromString(match.captured(1), QStringLiteral("HH:mm:ss"));
    QVERIFY(at.isValid());
    QVERIFY2(qAbs(at.secsTo(after)) <= 2, qPrintable(match.captured(1)));

    // The device comes up again: the procedure goes on as before, the outcome stays findable.
    const int before = int(device->frames.size());
    device->send(RSP_PRESENT);
    QVERIFY(device->waitForCommand(CMD_GET_VERSION, before));
    device->send(RSP_VERSION, DeviceVersion);
    QTRY_COMPARE(status(), VersionText);
    QVERIFY(button("pushButtonDownload")->isEnabled());
    QVERIFY2(statusTip().contains(match.captured(0)), qPrintable(statusTip()));

    // A loss now is a loss again: the outcome belonged to the last update.
    device->terminal().hangUp();
    QTRY_VERIFY(status().startsWith(QLatin1String("Port lost: ")));
}

void OutcomesTest::imageNamedBySizeAndHash_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("rewritten"); // the file changes between File and Download
    QTest::addColumn<QString>("sizeText");
    QTest::addColumn<QString>("lineTime");
    QTest::newRow("64 bytes") << qint64(64) << false << "64"
                              << "less than a second";
    QTest::newRow("64 KiB") << qint64(65536) << false << "65,536"
                            << "57 s";
    QTest::newRow("20 MB, hours on the line") << qint64(20000000) << false << "20,000,000"
                                              << "4 h 49 min";
    QTest::newRow("rewritten after File") << qint64(4096) << true << "4,096"
                                          << "4 s";
}

void OutcomesTest::imageNamedBySizeAndHash()
{
    QFETCH(qint64, size);
    QFETCH(bool, rewritten);
    QFETCH(QString, sizeText);
    QFETCH(QString, lineTime);
    QByteArray bytes = escapeHeavyBytes(int(size), 9);
    image = writeImage(dir->path(), QStringLiteral("sized.vuf"), bytes);

    reachReady(*dialog, *device, image);
    if (QTest::currentTestFailed())
        return;
    // The versions are showing and nothing else names the image: the tooltip does.
    QCOMPARE(status(), VersionText);
    QTRY_VERIFY2(statusTip().contains(QStringLiteral("SHA-256 ") + sha256Hex(bytes)),
                 qPrintable(statusTip()));
    QVERIFY2(statusTip().contains(QStringLiteral("Image: ") + image), qPrintable(statusTip()));
    QVERIFY2(statusTip().contains(QStringLiteral("Size: %1 bytes").arg(sizeText)),
             qPrintable(statusTip()));
    QVERIFY(!statusTip().contains(QLatin1String("on the line")));

    if (rewritten) {
        bytes = escapeHeavyBytes(int(size), 10);
        writeImage(dir->path(), QStringLiteral("sized.vuf"), bytes);
        // A file system with a coarse clock may give the same time: the size differs too.
        bytes.append("more");
        writeImage(dir->path(), QStringLiteral("sized.vuf"), bytes);
    }
    clickDownload();
    QCOMPARE(status(), InProgress);
    QTRY_VERIFY2(statusTip().contains(QStringLiteral("SHA-256 ") + sha256Hex(bytes)),
                 qPrintable(statusTip()));
    QVERIFY2(statusTip().contains(QStringLiteral("at 57600 baud this takes about ") + lineTime),
             qPrintable(statusTip()));
    QVERIFY2(statusTip().contains(QLatin1String("(3.5 ms per 4 bytes)")), qPrintable(statusTip()));
    QVERIFY(device->waitForCommand(CMD_START));
}

void OutcomesTest::adviceWhileNothingAnswers()
{
    startProcedure(*dialog, device->path(), image);
    QTRY_COMPARE(status(), QStringLiteral("finding device..."));
    // The first seconds of probing are normal: a device starting up takes them.
    QVERIFY(!statusTip().contains(QLatin1String("No device has answered")));
    QTRY_VERIFY_WITH_TIMEOUT(statusTip().contains(QLatin1String("No device has answered")),
                             PatienceMs);
    QCOMPARE(status(), QStringLiteral("finding device..."));
    QVERIFY2(statusTip().contains(
                 QStringLiteral("No device has answered on %1 for ").arg(device->path())),
             qPrintable(statusTip()));
    QVERIFY2(statusTip().contains(QLatin1String("Serial ports present: ")),
             qPrintable(statusTip()));
    QVERIFY2(statusTip().contains(QLatin1String("boot loader")), qPrintable(statusTip()));
    QVERIFY2(statusTip().contains(QLatin1String("The port chosen with File stays for this run")),
             qPrintable(statusTip()));
    // Probing goes on as before, and an answer ends the advice.
    const int probes = device->frames.size();
    QVERIFY(probes >= 15);
    QVERIFY(device->waitForFrames(probes + 1));
    QCOMPARE(device->frames.last()[1], CMD_PING);
    device->send(RSP_PRESENT);
    QTRY_COMPARE(status(), QStringLiteral("get Version Info"));
    QVERIFY(!statusTip().contains(QLatin1String("No device has answered")));
}

void OutcomesTest::versionQueryFailureExplained()
{
    startProcedure(*dialog, device->path(), image);
    QVERIFY(device->waitForFrames(1));
    device->send(RSP_PRESENT);
    QTRY_COMPARE(status(), QStringLiteral("Get device version failed"));
    // The query is not sent again: the window waits.
    WireTrace trace;
    trace.enable();
    QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > 0; }));
    QVERIFY(device->waitForCommand(CMD_GET_VERSION));
    QCOMPARE(device->steps(), (QList<quint8>{CMD_PING, CMD_GET_VERSION}));
    QVERIFY2(
        statusTip().contains(QStringLiteral("The device on %1 answered the probe but has not sent "
                                            "its versions.")
                                 .arg(device->path())),
        qPrintable(statusTip()));
    QVERIFY2(statusTip().contains(QLatin1String("switch the device off and on again")),
             qPrintable(statusTip()));
    // A late answer still goes on, and the explanation goes with the text.
    device->send(RSP_VERSION, DeviceVersion);
    QTRY_COMPARE(status(), VersionText);
    QVERIFY(button("pushButtonDownload")->isEnabled());
    QVERIFY(!statusTip().contains(QLatin1String("has not sent its versions")));
}

void OutcomesTest::portBoxShowsItsWholeText()
{
    auto *ports = widget<PortBox>("comboBoxPort");
    const QString byId =
        QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    ports->setEditText(byId);
    QCOMPARE(ports->toolTip(), byId);
    ports->setEditText(device->path());
    QCOMPARE(ports->toolTip(), device->path());
}

void OutcomesTest::returnNeverEndsTheTool_data()
{
    QTest::addColumn<QString>("moment");
    QTest::addColumn<UpdateState>("after"); // the state Return leaves the window in
    QTest::addColumn<bool>("fileDialog");   // Return is File: the open-file dialog comes up
    QTest::newRow("after File, no answer yet") << "probing" << UpdateState::Probing << false;
    QTest::newRow("versions shown: Return is Download")
        << "ready" << UpdateState::Starting << false;
    QTest::newRow("firmware updated") << "done" << UpdateState::Probing << false;
    // "press File again", the explanation says: Return does.
    QTest::newRow("port lost: Return is File") << "lost" << UpdateState::Probing << true;
}

void OutcomesTest::returnNeverEndsTheTool()
{
    QFETCH(QString, moment);
    QFETCH(UpdateState, after);
    QFETCH(bool, fileDialog);
    if (moment == QLatin1String("probing")) {
        startProcedure(*dialog, device->path(), image);
        QVERIFY(device->waitForFrames(1));
    } else if (moment == QLatin1String("ready")) {
        reachReady(*dialog, *device, image);
        if (!activate())
            QSKIP("no window manager here gives the window the keyboard");
        // The text asks for Download: the focus is on it.
        QTRY_COMPARE(QApplication::focusWidget(), button("pushButtonDownload"));
    } else if (moment == QLatin1String("done")) {
        reachOutcome(moment);
    } else {
        reachReady(*dialog, *device, image);
        device->terminal().hangUp();
        QTRY_VERIFY(button("pushButtonOK")->isEnabled());
    }
    if (QTest::currentTestFailed())
        return;
    if (!activate())
        QSKIP("no window manager here gives the window the keyboard");

    QSignalSpy finished(dialog.get(), &QDialog::finished);
    QVERIFY(finished.isValid());
    QWidget *focus = QApplication::focusWidget();
    QVERIFY(focus);
    bool fileDialogCame = false;
    const QPointer<QTimer> answer = answerFileDialog(QString(), &fileDialogCame);
    QTest::keyClick(focus, Qt::Key_Return);
    QVERIFY(neverWithin(PastTimeout, [&] { return !finished.isEmpty(); }));
    delete answer.data();
    QCOMPARE(fileDialogCame, fileDialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->updateState(), after);
    if (after == UpdateState::Starting)
        QVERIFY(device->waitForCommand(CMD_START));
    // Not even with the focus on End itself.
    button("pushButtonCancel")->setFocus();
    fileDialogCame = false;
    const QPointer<QTimer> answerAgain = answerFileDialog(QString(), &fileDialogCame);
    QTest::keyClick(button("pushButtonCancel"), Qt::Key_Return);
    QVERIFY(neverWithin(PastTimeout, [&] { return !finished.isEmpty(); }));
    delete answerAgain.data();
    QCOMPARE(fileDialogCame, fileDialog && button("pushButtonOK")->isEnabled());
    QVERIFY(dialog->isVisible());
}

void OutcomesTest::escapeStillCloses()
{
    reachReady(*dialog, *device, image);
    if (QTest::currentTestFailed())
        return;
    if (!activate())
        QSKIP("no window manager here gives the window the keyboard");
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QTRY_COMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toInt(), int(QDialog::Rejected));
    QVERIFY(!dialog->isVisible());
}

QTEST_MAIN(OutcomesTest)
#include "tst_outcomes.moc"
