// The update window without a device, on every system: its form, how it starts, how it ends, a
// language change, and a port that is not there in the system's own names. The same suite runs as
// a Windows program, where the ports are COM ports.
#include "portinfo.h"
#include "vantuupdate.h"
#include "windowsupport.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace testing;

class WindowTest : public QObject, ShownWindowCase
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void form_data();
    void form();
    void startsIdle();
    void endClosesWithAccepted();
    void languageChangeRestoresTexts();
    void missingPortNamesThePortsPresent();
    void probesAComPort();
};

void WindowTest::init()
{
    beginCase();
}

void WindowTest::cleanup()
{
    endCase();
}

void WindowTest::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");

    QTest::newRow("progress") << "progressBarDownload" << QRect(30, 70, 251, 23) << QString();
    QTest::newRow("status") << "labelStatusBar" << QRect(20, 150, 261, 16) << QString();
    QTest::newRow("file") << "pushButtonOK" << QRect(20, 110, 81, 31) << "File";
    QTest::newRow("end") << "pushButtonCancel" << QRect(200, 110, 81, 31) << "End";
    QTest::newRow("download") << "pushButtonDownload" << QRect(110, 110, 81, 31) << "Download";
    QTest::newRow("ports") << "comboBoxPort" << QRect(150, 20, 101, 22) << QString();
    QTest::newRow("caption") << "label" << QRect(30, 30, 54, 12) << "D.Lane @";
    QTest::newRow("tx light") << "label_tx" << QRect(90, 30, 21, 16) << QString();
    QTest::newRow("rx light") << "label_rx" << QRect(120, 30, 21, 16) << QString();
}

void WindowTest::form()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    QCOMPARE(dialog->objectName(), QStringLiteral("vantuUpdate"));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("vantuUpdate"));
    QCOMPARE(dialog->size(), QSize(296, 170));
    auto *w = dialog->findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(w->parentWidget(), dialog.get());
    QCOMPARE(w->geometry(), geometry);
    if (!text.isEmpty()) {
        const QString shown = qobject_cast<QLabel *>(w) ? qobject_cast<QLabel *>(w)->text()
                                                        : qobject_cast<QPushButton *>(w)->text();
        QCOMPARE(shown, text);
    }
}

void WindowTest::startsIdle()
{
    auto *ports = widget<QComboBox>("comboBoxPort");
    const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
    QCOMPARE(ports->count(), available.size());
    for (int i = 0; i < available.size(); ++i)
        QCOMPARE(ports->itemText(i), available.at(i).portName());
    QCOMPARE(status(), ports->currentText() + QStringLiteral("  file not available"));
    // Run with no serial ports on the system (see tests/CMakeLists.txt): an empty box, and a
    // line of two spaces and the file text.
    if (qEnvironmentVariableIsSet("VANTU_EXPECT_NO_PORTS")) {
        QCOMPARE(ports->count(), 0);
        QCOMPARE(status(), QStringLiteral("  file not available"));
    }
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
    QVERIFY(widget<QPushButton>("pushButtonOK")->isEnabled());
    QVERIFY(lightIs(widget<QLabel>("label_tx"), Qt::red));
    QVERIFY(lightIs(widget<QLabel>("label_rx"), Qt::red));
    QCOMPARE(widget<QProgressBar>("progressBarDownload")->value(), 0);
    QCOMPARE(dialog->updateState(), UpdateState::Probing);
}

void WindowTest::endClosesWithAccepted()
{
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    QTest::mouseClick(widget<QPushButton>("pushButtonCancel"), Qt::LeftButton);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().toInt(), int(QDialog::Accepted));
    QVERIFY(!dialog->isVisible());
}

void WindowTest::languageChangeRestoresTexts()
{
    QEvent change(QEvent::LanguageChange);
    QCoreApplication::sendEvent(dialog.get(), &change);
    QCOMPARE(status(), QStringLiteral("TextLabel"));
    QCOMPARE(widget<QLabel>("label_tx")->text(), QStringLiteral("132"));
    QCOMPARE(widget<QPushButton>("pushButtonOK")->text(), QStringLiteral("File"));
}

void WindowTest::missingPortNamesThePortsPresent()
{
    // Every cause has its row with the serial library; here, what the window makes of one.
#ifdef Q_OS_WIN
    const QString portName = QStringLiteral("COM99");
#else
    const QString portName = QStringLiteral("ttyNOSUCH7");
#endif
    startProcedure(*dialog, portName, image);

    const QString present = presentPortNames(QSerialPortInfo::availablePorts());
    const QString expected =
        present.isEmpty()
            ? QStringLiteral("Cannot open %1: no such port (no serial ports present)").arg(portName)
            : QStringLiteral("Cannot open %1: no such port (present: %2)").arg(portName, present);
    QCOMPARE(status(), expected);
    QVERIFY2(statusTip().contains(QLatin1String("There is no serial port")),
             qPrintable(statusTip()));
    QVERIFY(widget<QPushButton>("pushButtonOK")->isEnabled());
    // No probing behind the user's back.
    QVERIFY(neverWithin(PastTimeout, [&] { return status() != expected; }));
}

void WindowTest::probesAComPort()
{
    // On a COM port a device is on, given in VANTU_TEST_COM_PORT (tst_wine links one to a device
    // of its own under Wine): the status line's texts and what goes out, up to the first answer;
    // then the device's end goes away.
    const QString port = qEnvironmentVariable("VANTU_TEST_COM_PORT");
    if (port.isEmpty())
        QSKIP("needs a COM port with a device on it, which tst_wine gives it under Wine");
    // The test answers Qt's own file dialog; Windows' native one is the user's.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    WireTrace trace;
    trace.enable();
    startProcedure(*dialog, port, image);
    QCOMPARE(status(), port + QStringLiteral("  ") + image);
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("finding device..."), PatienceMs);
    QTRY_VERIFY_WITH_TIMEOUT(
        statusTip().contains(QStringLiteral("No device has answered on %1 for ").arg(port)),
        PatienceMs);
    QCOMPARE(status(), QStringLiteral("finding device..."));
    QVERIFY(trace.sent() >= 15);
    for (const QString &line : std::as_const(trace.lines))
        QVERIFY2(line.endsWith(QLatin1String(" tx PING 50 00 00 00 00 00 00 97")),
                 qPrintable(line));
    // Then the device's end hangs up, as an adapter pulled out, once this suite has seen the
    // above (the file VANTU_TEST_SEEN_FILE tells tst_wine): the port is lost, and said so.
    QFile seen(qEnvironmentVariable("VANTU_TEST_SEEN_FILE"));
    QVERIFY2(seen.open(QIODevice::WriteOnly), qPrintable(seen.fileName()));
    seen.close();
    QTRY_VERIFY_WITH_TIMEOUT(status().startsWith(QStringLiteral("Port lost: ") + port), PatienceMs);
    QVERIFY2(statusTip().contains(QStringLiteral("%1 is gone").arg(port)), qPrintable(statusTip()));
    QVERIFY(widget<QPushButton>("pushButtonOK")->isEnabled());
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
