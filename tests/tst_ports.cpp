// The port as technicians meet it: a wrong name, a port held by another program, a port the user
// may not open, an adapter plugged in after start, a status text longer than its line. Against
// the real window, the real QSerialPort and real processes where the machine allows.
#include "fittedlabel.h"
#include "portbox.h"
#include "portdiagnosis.h"
#include "portinfo.h"
#include "vantuupdate.h"
#include "windowcase.h"

#include <QDir>
#include <QFile>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing;

class PortsTest : public QObject, WindowCase
{
    Q_OBJECT

private slots:
    void init() { beginCase(); }
    void cleanup() { endCase(); }

    void portHeldByAnotherProgram();
    void portWithoutPermission();
    void lostPortExplainsTheCause_data();
    void lostPortExplainsTheCause();
    void modemManagerWarning_data();
    void modemManagerWarning();

    void portListFollowsWhatIsPluggedIn_data();
    void portListFollowsWhatIsPluggedIn();
    void portItemsTellAdaptersApart();

    void statusTextsFitTheirLine_data();
    void statusTextsFitTheirLine();
    void longPathKeepsPortAndFileName();
    void newImageStartsAtZero();

private:
    FittedLabel *statusLine() { return widget<FittedLabel>("labelStatusBar"); }
    // Fails the test unless what is painted fits the label and is legible.
    void verifyFits(const FittedLabel *label);
};

void PortsTest::verifyFits(const FittedLabel *label)
{
    const FittedLabel::Fit fit = label->fit();
    const QFontMetricsF metrics(fit.font);
    const qreal width = metrics.horizontalAdvance(fit.text);
    QVERIFY2(width <= label->contentsRect().width(),
             qPrintable(QStringLiteral("\"%1\" is %2 px wide").arg(fit.text).arg(width)));
    QVERIFY2(fit.font.pointSizeF() >= FittedLabel::FloorPointSize,
             qPrintable(QString::number(fit.font.pointSizeF())));
}

void PortsTest::portHeldByAnotherProgram()
{
    // The simulator opens the port with QSerialPort, as a serial monitor left open would. How
    // the holder is found, with a lock file or without, has its rows with the serial library.
    QProcess holder;
    QCOMPARE(startSimulator(holder, {QStringLiteral("--port"), device->path()}), device->path());

    startProcedure(*dialog, device->path(), image);
    QCOMPARE(status(), QStringLiteral("Cannot open %1: in use by devicesim (PID %2)")
                           .arg(device->path())
                           .arg(holder.processId()));
    QVERIFY(statusTip().contains(QLatin1String("Close that program")));
    QVERIFY(widget<QPushButton>("pushButtonOK")->isEnabled());

    // Once the other program is closed, File opens the port.
    holder.terminate();
    QVERIFY(holder.waitForFinished(PatienceMs));
    startProcedure(*dialog, device->path(), image);
    QVERIFY(device->waitForFrames(1));
    QCOMPARE(device->commands().first(), CMD_PING);
}

void PortsTest::portWithoutPermission()
{
    VANTU_SKIP_AS_ROOT("root opens any port");
    // A node nobody may use; its owner is refused too, whatever groups it has.
    QCOMPARE(::chmod(QFile::encodeName(device->path()).constData(), 0), 0);

    startProcedure(*dialog, device->path(), image);
    QCOMPARE(status(), QStringLiteral("Cannot open %1: permission denied").arg(device->path()));
    QVERIFY2(statusTip().contains(QLatin1String("Ask the administrator")), qPrintable(statusTip()));
    // The node's owner and group by name, as ls shows them.
    const passwd *self = ::getpwuid(::geteuid());
    QVERIFY(self);
    QVERIFY2(statusTip().contains(
                 QStringLiteral("(owner %1, group ").arg(QString::fromLocal8Bit(self->pw_name))),
             qPrintable(statusTip()));
    QVERIFY2(!statusTip().contains(QRegularExpression(QStringLiteral("group [0-9]+,"))),
             qPrintable(statusTip()));
    QVERIFY(widget<QPushButton>("pushButtonOK")->isEnabled());
    QCOMPARE(device->raw, QByteArray());
}

void PortsTest::lostPortExplainsTheCause_data()
{
    QTest::addColumn<bool>("brailleService");
    QTest::newRow("adapter gone") << false;
    QTest::newRow("adapter gone, braille service running") << true;
}

void PortsTest::lostPortExplainsTheCause()
{
    QFETCH(bool, brailleService);
    const bool realService = programRunning(QStringLiteral("brltty"));
    if (!brailleService && realService)
        QSKIP("a braille display service really runs here");
    std::optional<NamedProcess> service;
    if (brailleService && !realService) {
        service.emplace(dir->path(), QStringLiteral("brltty"));
        QVERIFY(service->running());
    }

    reachReady(*dialog, *device, image);
    if (QTest::currentTestFailed())
        return;
    // Closing the far end of a pseudo-terminal removes its device node, as unplugging an adapter
    // removes its ttyUSB node.
    const QString lost = QStringLiteral("Port lost: ") + device->path();
    device->terminal().hangUp();
    QTRY_COMPARE(status(), lost);
    QVERIFY2(statusTip().startsWith(lost) &&
                 statusTip().contains(QLatin1String("unplugged or reset")),
             qPrintable(statusTip()));
    QCOMPARE(statusTip().contains(QLatin1String("brltty")), brailleService);
}

void PortsTest::modemManagerWarning_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<bool>("modemManager");
    QTest::addColumn<bool>("warned");
    QTest::newRow("ttyACM, ModemManager running") << "ttyACM0" << true << true;
    QTest::newRow("ttyACM path, ModemManager running") << "/dev/ttyACM3" << true << true;
    QTest::newRow("ttyUSB, ModemManager running") << "ttyUSB0" << true << false;
    QTest::newRow("ttyACM, no ModemManager") << "ttyACM0" << false << false;
}

void PortsTest::modemManagerWarning()
{
    QFETCH(QString, portName);
    QFETCH(bool, modemManager);
    QFETCH(bool, warned);
    const bool realService = programRunning(QStringLiteral("ModemManager"));
    if (!modemManager && realService)
        QSKIP("ModemManager really runs here");
    std::optional<NamedProcess> service;
    if (modemManager && !realService) {
        service.emplace(dir->path(), QStringLiteral("ModemManager"));
        QVERIFY(service->running());
    }

    widget<PortBox>("comboBoxPort")->setEditText(portName);
    QCOMPARE(status(), portName + QStringLiteral("  file not available"));
    QCOMPARE(statusTip().contains(QLatin1String("ID_MM_DEVICE_IGNORE")), warned);
    // The warning stays with the port through the texts that follow.
    startProcedure(*dialog, portName, image);
    QVERIFY(status().startsWith(QStringLiteral("Cannot open ")));
    QCOMPARE(statusTip().contains(QLatin1String("ModemManager is running")), warned);
}

void PortsTest::portListFollowsWhatIsPluggedIn_data()
{
    QTest::addColumn<bool>("typed"); // the text was typed rather than picked from the list
    QTest::newRow("typed path") << true;
    QTest::newRow("picked port") << false;
}

void PortsTest::portListFollowsWhatIsPluggedIn()
{
    QFETCH(bool, typed);
    auto *ports = widget<PortBox>("comboBoxPort");
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    if (!typed && present.isEmpty())
        QSKIP("no serial port to pick here");

    // An adapter that was there at start and has been unplugged since.
    ports->addItem(QStringLiteral("ttyGONE0"));
    if (typed)
        ports->setEditText(device->path());
    else
        ports->setCurrentIndex(present.size() - 1);
    const QString text = ports->currentText();
    const QString line = status();
    QSignalSpy changes(ports, &QComboBox::currentTextChanged);
    QVERIFY(changes.isValid());

    // The offscreen platform notes what it cannot do for a popup; a real display does it.
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        QTest::ignoreMessage(QtWarningMsg, "This plugin does not support raise()");
        QTest::ignoreMessage(QtWarningMsg, "This plugin does not support grabbing the keyboard");
    }
    ports->showPopup();
    ports->hidePopup();

    QStringList shown;
    for (int i = 0; i < ports->count(); ++i)
        shown.append(ports->itemText(i));
    QCOMPARE(shown.join(QLatin1Char(',')), presentPortNames(present).remove(QLatin1Char(' ')));
    QCOMPARE(ports->currentText(), text);
    QCOMPARE(status(), line);
    QCOMPARE(changes.size(), 0);

    // The text is the port that is opened.
    startProcedure(*dialog, text, image);
    if (typed) {
        QVERIFY(device->waitForFrames(1));
        QCOMPARE(device->commands().first(), CMD_PING);
    }
}

void PortsTest::portItemsTellAdaptersApart()
{
    auto *ports = widget<PortBox>("comboBoxPort");
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    if (present.isEmpty())
        QSKIP("no serial ports here");
    QCOMPARE(ports->count(), present.size());
    for (int i = 0; i < present.size(); ++i) {
        const QString tip = ports->itemData(i, Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains(QStringLiteral("Location: ") + present[i].systemLocation()),
                 qPrintable(tip));
    }
}

void PortsTest::statusTextsFitTheirLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("whole");
    QTest::newRow("version") << VersionText << true;
    QTest::newRow("time-out") << "device time out, re-start this program" << true;
    QTest::newRow("port lost") << "Port lost: /dev/ttyUSB0" << true;
    QTest::newRow("no such port, cut at the end")
        << "Cannot open ttyUSB0: no such port (present: ttyUSB1, ttyACM0, ttyS0, ttyS1)" << false;
    QTest::newRow("far too long") << QString(120, QLatin1Char('W')) << false;
}

void PortsTest::statusTextsFitTheirLine()
{
    QFETCH(QString, text);
    QFETCH(bool, whole);
    FittedLabel *line = statusLine();
    line->setText(text);
    verifyFits(line);
    const QString shown = line->fit().text;
    QCOMPARE(shown == text, whole);
    if (!whole)
        QVERIFY2(shown.endsWith(QChar(0x2026)), qPrintable(shown));
    QCOMPARE(line->text(), text); // the label keeps the whole text

    // The caption, after a language change as before it.
    for (int pass = 0; pass < 2; ++pass) {
        auto *caption = widget<FittedLabel>("label");
        QCOMPARE(caption->text(), QStringLiteral("D.Lane @"));
        QCOMPARE(caption->fit().text, caption->text());
        verifyFits(caption);
        QEvent change(QEvent::LanguageChange);
        QCoreApplication::sendEvent(dialog.get(), &change);
    }
}

void PortsTest::longPathKeepsPortAndFileName()
{
    // A 200-character path, as deep folders of a firmware release give.
    QString folder = dir->path();
    while (folder.size() < 180)
        folder += QStringLiteral("/release-2026-12-firmware");
    QVERIFY(QDir().mkpath(folder));
    const QString fileName = QStringLiteral("board-rev7.vuf");
    const QString path = writeImage(folder, fileName, QByteArray(64, 'x'));
    QVERIFY(path.size() >= 200);

    startProcedure(*dialog, device->path(), path);
    const QString full = device->path() + QStringLiteral("  ") + path;
    QCOMPARE(status(), full);
    // The tooltip has the whole line first, then the image it names.
    QVERIFY2(statusLine()->toolTip().startsWith(full + QStringLiteral("\n\nImage:")),
             qPrintable(statusLine()->toolTip()));
    verifyFits(statusLine());
    const QString shown = statusLine()->fit().text;
    QVERIFY2(shown.startsWith(device->path() + QStringLiteral("  ")), qPrintable(shown));
    QVERIFY2(shown.endsWith(QLatin1Char('/') + fileName), qPrintable(shown));
    QVERIFY2(shown.contains(QChar(0x2026)), qPrintable(shown));
}

void PortsTest::newImageStartsAtZero()
{
    const QString big = writeImage(dir->path(), QStringLiteral("big.vuf"), QByteArray(4096, 'b'));
    startDownload(*dialog, *device, big);
    if (QTest::currentTestFailed())
        return;
    device->send(RSP_DATA_REQUEST, 2048);
    auto *progress = widget<QProgressBar>("progressBarDownload");
    QTRY_COMPARE(progress->value(), 50);

    // The line is lost half way; the user plugs in again and picks a smaller image.
    device->terminal().hangUp();
    QTRY_VERIFY(status().startsWith(QStringLiteral("Port lost")));
    device = std::make_unique<ScriptedDevice>();
    QVERIFY(device->open());
    const QString small = writeImage(dir->path(), QStringLiteral("small.vuf"), QByteArray(64, 's'));
    startProcedure(*dialog, device->path(), small);
    QCOMPARE(progress->value(), 0);
    QVERIFY(device->waitForFrames(1));
    QCOMPARE(progress->value(), 0);
}

QTEST_MAIN(PortsTest)
#include "tst_ports.moc"
