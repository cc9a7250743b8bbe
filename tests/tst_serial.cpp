// The serial library on its own, without a window: the line settings, the port-name rule, and
// the diagnosis of ports that cannot be opened, against real processes, lock files and
// pseudo-terminals.
#include "linesettings.h"
#include "linesupport.h"
#include "portdiagnosis.h"
#include "portinfo.h"
#include "serialline.h"
#include "updateprotocol.h"

#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>
#include <memory>
#include <unistd.h>

using namespace testing;

class SerialTest : public QObject, FolderCase
{
    Q_OBJECT

private slots:
    void init() { beginCase(); }
    void cleanup() { endCase(); }

    void lineSettings();
    void groupAccess_data();
    void groupAccess();
    void lockFileHolder_data();
    void lockFileHolder();
    void diagnosis_data();
    void diagnosis();
    void explanationsAreWrapped_data();
    void explanationsAreWrapped();
    void lineSendsDrainsAndNoticesItsLoss();
    void lineThatWillNotOpenSaysWhy();
};

void SerialTest::lineSettings()
{
    // A port set up by the library opens at the line's settings, on a real pseudo-terminal.
    ScriptedDevice device;
    QVERIFY(device.open());
    QSerialPort port;
    port.setPortName(devicePath(device.path()));
    applyLineSettings(port);
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
    QCOMPARE(port.baudRate(), 57600);
    QCOMPARE(port.dataBits(), QSerialPort::Data8);
    QCOMPARE(port.parity(), QSerialPort::NoParity);
    QCOMPARE(port.stopBits(), QSerialPort::OneStop);
    QCOMPARE(port.flowControl(), QSerialPort::NoFlowControl);
    // Short names resolve under /dev, as QSerialPort resolves them.
    QCOMPARE(portNodePath(QStringLiteral("ttyUSB0")), QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(portNodePath(device.path()), device.path());
}

void SerialTest::groupAccess_data()
{
    QTest::addColumn<QByteArray>("groupFile");
    QTest::addColumn<uint>("primaryGroup");
    QTest::addColumn<QList<uint>>("processGroups");
    QTest::addColumn<GroupAccess>("expected");

    const QByteArray listed = "root:x:0:\ndialout:x:20:alice,tech\nplugdev:x:46:tech\n";
    const QByteArray notListed = "root:x:0:\ndialout:x:20:alice\nplugdev:x:46:tech\n";
    QTest::newRow("process has the group")
        << listed << 1000u << QList<uint>{1000, 20, 46} << GroupAccess::Member;
    QTest::newRow("added, not logged in again")
        << listed << 1000u << QList<uint>{1000, 46} << GroupAccess::NeedsNewLogin;
    QTest::newRow("primary group, not in process")
        << notListed << 20u << QList<uint>{1000} << GroupAccess::NeedsNewLogin;
    QTest::newRow("not in the group")
        << notListed << 1000u << QList<uint>{1000, 46} << GroupAccess::NotMember;
    QTest::newRow("name is a prefix of a member")
        << QByteArray("dialout:x:20:techs,xtech\n") << 1000u << QList<uint>{1000}
        << GroupAccess::NotMember;
    QTest::newRow("another group of the same members")
        << QByteArray("uucp:x:10:tech\ndialout:x:20:\n") << 1000u << QList<uint>{1000}
        << GroupAccess::NotMember;
    QTest::newRow("spaces and no newline at the end")
        << QByteArray("dialout:x:20: alice , tech ") << 1000u << QList<uint>{1000}
        << GroupAccess::NeedsNewLogin;
    QTest::newRow("broken lines") << QByteArray("dialout\n::\ndialout:x\n") << 1000u
                                  << QList<uint>{1000} << GroupAccess::NotMember;
}

void SerialTest::groupAccess()
{
    QFETCH(QByteArray, groupFile);
    QFETCH(uint, primaryGroup);
    QFETCH(QList<uint>, processGroups);
    QFETCH(GroupAccess, expected);
    QCOMPARE(::groupAccess(groupFile, QStringLiteral("dialout"), 20, QStringLiteral("tech"),
                           primaryGroup, processGroups),
             expected);
}

void SerialTest::lockFileHolder_data()
{
    QTest::addColumn<QString>("content"); // PID: the live process's PID
    QTest::addColumn<bool>("held");
    QTest::addColumn<QString>("program");

    QTest::newRow("Qt's format") << "PID\nsomeapp\nhost\n" << true << "sleeper";
    QTest::newRow("padded PID alone") << "      PID\n" << true << "sleeper";
    QTest::newRow("dead process") << "999999999\nsomeapp\nhost\n" << false << QString();
    QTest::newRow("this process") << QString::number(::getpid()) + "\nme\n" << false << QString();
    QTest::newRow("not a PID") << "garbage\n" << false << QString();
    QTest::newRow("empty") << "" << false << QString();
}

void SerialTest::lockFileHolder()
{
    QFETCH(QString, content);
    QFETCH(bool, held);
    QFETCH(QString, program);

    NamedProcess sleeper(dir->path(), QStringLiteral("sleeper"));
    QVERIFY(sleeper.running());
    const QString lock = dir->filePath(QStringLiteral("LCK..ttyUSB0"));
    QFile file(lock);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content.replace(QLatin1String("PID"), QString::number(sleeper.pid())).toUtf8());
    file.close();

    const std::optional<PortHolder> holder = ::lockFileHolder(lock);
    QCOMPARE(holder.has_value(), held);
    if (holder) {
        QCOMPARE(holder->pid, sleeper.pid());
        QCOMPARE(holder->program, program);
    }
}

void SerialTest::diagnosis_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("summary"); // PORT: the port, HOLDER: the holder's PID
    // No such port: lineThatWillNotOpenSaysWhy.
    QTest::newRow("held through a lock file")
        << "held"
        << "Cannot open PORT: in use by devicesim (PID HOLDER)";
    QTest::newRow("held exclusively, no lock file")
        << "exclusive"
        << "Cannot open PORT: in use by devicesim (PID HOLDER)";
}

void SerialTest::diagnosis()
{
    QFETCH(QString, situation);
    QFETCH(QString, summary);
    if (situation == QLatin1String("exclusive"))
        VANTU_SKIP_AS_ROOT("root opens a port that another program holds exclusively");

    ScriptedDevice device;
    QVERIFY(device.open());
    const QString portName = device.path();
    QProcess holder;
    QCOMPARE(startSimulator(holder, {QStringLiteral("--port"), portName}), portName);
    if (situation == QLatin1String("exclusive"))
        QVERIFY(QFile::remove(portLockFilePath(portName)));

    QSerialPort port;
    port.setPortName(devicePath(portName));
    applyLineSettings(port);
    QVERIFY(!port.open(QIODevice::ReadWrite));
    const int openErrno = errno;
    RetryAdvice retry;
    retry.pressAgain = QStringLiteral("try again");
    retry.pickPort = QStringLiteral("name the right port");
    const PortAdvice advice =
        diagnoseOpenFailure(portName, port.error(), port.errorString(), openErrno,
                            QSerialPortInfo::availablePorts(), SystemFiles{}, retry);
    const QString expected =
        summary.replace(QLatin1String("PORT"), portName)
            .replace(QLatin1String("HOLDER"), QString::number(holder.processId()));
    QVERIFY2(advice.summary.startsWith(expected), qPrintable(advice.summary));
    // Every explanation ends in what to do next.
    QVERIFY2(advice.details.contains(QLatin1String("then try again")), qPrintable(advice.details));
    holder.terminate();
    QVERIFY(holder.state() == QProcess::NotRunning || holder.waitForFinished(PatienceMs));
}

void SerialTest::explanationsAreWrapped_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("longestWord");
    const QString words = QStringLiteral("The port is held by another program; close it first. ");
    QTest::newRow("sentences") << words.repeated(6).trimmed() << 8;
    QTest::newRow("indented command")
        << "Add yourself with\n    sudo usermod -aG dialout tech\nthen log out and in again." << 8;
    QTest::newRow("a path longer than a line")
        << "Cannot open /dev/serial/by-id/" + QString(90, QLatin1Char('x')) + " now" << 120;
}

void SerialTest::explanationsAreWrapped()
{
    QFETCH(QString, text);
    QFETCH(int, longestWord);
    const QString wrapped = wrapText(text, 40);
    QCOMPARE(QString(wrapped).replace(QLatin1Char('\n'), QLatin1Char(' ')),
             QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    const QStringList lines = wrapped.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        QVERIFY2(line.size() <= qMax(40, longestWord), qPrintable(line));
    // Lines that were there stay lines, with their indentation.
    if (text.contains(QLatin1String("\n    sudo")))
        QVERIFY(wrapped.contains(QLatin1String("\n    sudo usermod -aG dialout tech\n")));
}

void SerialTest::lineSendsDrainsAndNoticesItsLoss()
{
    PseudoTerminal device;
    QVERIFY(device.open());
    SerialLine line;
    QVERIFY(line.open(device.slavePath()));
    QCOMPARE(line.serialPort().baudRate(), LineBaudRate);

    // A frame is on the line when send() returns, without a pass of the event loop.
    line.send(commandPayload(CMD_PING));
    QVERIFY(device.waitForReadyRead(PatienceMs));
    QCOMPARE(device.readAll(), QByteArray::fromHex("7EFF50000000000000 97"));

    // Everything the port holds is drained at once, a frame cut between two writes included.
    const DeviceWireFrame present = encodeDeviceFrame(makeDeviceFrame(RSP_PRESENT));
    const DeviceWireFrame request = encodeDeviceFrame(makeDeviceFrame(RSP_DATA_REQUEST, 0x7E7D));
    QByteArray wire =
        QByteArray(reinterpret_cast<const char *>(present.bytes.data()), present.size) +
        QByteArray(reinterpret_cast<const char *>(request.bytes.data()), request.size);
    device.write(wire.left(wire.size() - 3));
    FrameParser parser;
    QList<quint8> codes;
    QList<quint32> offsets;
    const auto take = [&](const DeviceFrame &frame) {
        codes.append(frame[3]);
        offsets.append(requestedOffsetOf(frame));
    };
    QTRY_COMPARE((line.drain(parser, take), codes.size()), 1);
    device.write(wire.right(3));
    QTRY_COMPARE((line.drain(parser, take), codes.size()), 2);
    QCOMPARE(codes, (QList<quint8>{RSP_PRESENT, RSP_DATA_REQUEST}));
    QCOMPARE(offsets.last(), 0x7E7Du);

    // A hung-up line is lost once, and closed, so that it cannot keep the event loop busy.
    QSignalSpy lost(&line, &SerialLine::lost);
    QVERIFY(lost.isValid());
    device.hangUp();
    QTRY_COMPARE(lost.size(), 1);
    QVERIFY(!line.isOpen());
    line.send(commandPayload(CMD_PING)); // nothing is written to a closed port, and no warning
    QVERIFY(neverWithin(PastTimeout, [&] { return lost.size() > 1; }));
}

void SerialTest::lineThatWillNotOpenSaysWhy()
{
    const QString missing = dir->filePath(QStringLiteral("ttyNothing"));
    SerialLine line;
    QVERIFY(!line.open(missing));
    QCOMPARE(line.failure().portName, missing);
    QVERIFY(line.failure().error != QSerialPort::NoError);
    RetryAdvice retry;
    retry.pickPort = QStringLiteral("name the right port");
    retry.pressAgain = QStringLiteral("try again");
    const PortAdvice advice = line.diagnose(retry, {});
    QCOMPARE(advice.summary,
             QStringLiteral("Cannot open %1: no such port (no serial ports present)").arg(missing));
    QVERIFY2(advice.details.endsWith(QLatin1String("name the right port, then try again.")),
             qPrintable(advice.details));
}

QTEST_MAIN(SerialTest)
#include "tst_serial.moc"
