// The Windows programs, as the ZIP unpacks them, under Wine, each against devices the test plays
// on pseudo-terminals that COM ports of the Wine prefix lead to: everything up to the first byte a
// device would answer, since Wine's serial input never reaches QSerialPort (its WaitCommEvent
// posts no completion). Run by scripts/check-windows.sh after the Windows build, with
//   VANTU_WINDOWS_PROGRAMS  the unpacked ZIP's folder,
//   VANTU_WINDOWS_SUITES    the Windows build's folder, where its test suites are,
//   VANTU_WINE_PREFIX       the Wine prefix to run them in, and DISPLAY its X display.
// Without them it skips.
#include "linesupport.h"
#include "updateprotocol.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTime>

#include <csignal>
#include <memory>

using namespace testing;

namespace {

// The path of a Linux file as a Windows program under Wine names it: Z: is the Linux root.
QString windowsPath(const QString &path)
{
    return QStringLiteral("Z:") +
           QDir::toNativeSeparators(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

// A scripted device on the pseudo-terminal that the prefix's COM port of that number leads to.
struct ComPort
{
    ComPort(const QString &prefix, int number)
        : name(QStringLiteral("COM%1").arg(number)),
          link(prefix + QStringLiteral("/dosdevices/com%1").arg(number))
    {
        QFile::remove(link);
        ready = device.open() && QFile::link(device.path(), link);
    }
    ~ComPort() { QFile::remove(link); }

    // Frames that are a probe, byte for byte as every tool sends it.
    int probes() const
    {
        const QByteArray ping = QByteArray::fromHex("7eff5000000000000097");
        return int(device.raw.count(ping));
    }

    QString name;
    QString link;
    ScriptedDevice device;
    bool ready = false;
};

} // namespace

class WineTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void flashOnAComPort();
    void flashPlainLinesThroughAPipe();
    void flashInterrupted_data();
    void flashInterrupted();
    void windowOnAComPort();
    void stationOnTwoComPorts();

private:
    // Starts program (a file of the unpacked ZIP, or another path) under Wine.
    void startWindows(QProcess &process, const QString &program, const QStringList &arguments);
    // Runs a Windows program of the prefix's own (wineboot, taskkill) to its end.
    int runInPrefix(const QStringList &command);

    QString m_programs;
    QString m_suites;
    QString m_prefix;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_image;
};

void WineTest::initTestCase()
{
    m_programs = qEnvironmentVariable("VANTU_WINDOWS_PROGRAMS");
    m_suites = qEnvironmentVariable("VANTU_WINDOWS_SUITES");
    m_prefix = qEnvironmentVariable("VANTU_WINE_PREFIX");
    if (m_programs.isEmpty() || m_suites.isEmpty() || m_prefix.isEmpty())
        QSKIP("the Windows programs and a Wine prefix are given by scripts/check-windows.sh");
    QVERIFY2(QFile::exists(m_programs + QStringLiteral("/vantuflash.exe")), qPrintable(m_programs));
    QVERIFY(QDir(m_prefix + QStringLiteral("/dosdevices")).exists());
}

void WineTest::init()
{
    failOnQtWarnings();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // A name beyond ASCII: it reaches the program, the JSON and the record as it is.
    m_image = writeImage(m_dir->path(), QStringLiteral("Pr\u00fcfung \u00e4.vuf"),
                         escapeHeavyBytes(3000, 5));
}

void WineTest::startWindows(QProcess &process, const QString &program, const QStringList &arguments)
{
    process.setProgram(QStringLiteral(VANTU_SOURCE_DIR "/scripts/wine-run.sh"));
    process.setArguments(QStringList{QStringLiteral("--prefix"), m_prefix, program} + arguments);
    process.start();
}

int WineTest::runInPrefix(const QStringList &command)
{
    QProcess process;
    startWindows(process, command.first(), command.mid(1));
    if (!process.waitForFinished(PatienceMs))
        return -1;
    return process.exitCode();
}

void WineTest::flashOnAComPort()
{
    ComPort port(m_prefix, 21);
    QVERIFY(port.ready);
    const QString log = m_dir->filePath(QStringLiteral("records.jsonl"));
    QProcess flash;
    startWindows(flash, m_programs + QStringLiteral("/vantuflash.exe"),
                 {QStringLiteral("-v"), QStringLiteral("-p"), port.name, QStringLiteral("-w"),
                  QStringLiteral("2"), QStringLiteral("--json"), QStringLiteral("--log"),
                  windowsPath(log), windowsPath(m_image)});
    QVERIFY(flash.waitForFinished(PatienceMs));
    const QByteArray out = flash.readAllStandardOutput();
    const QByteArray err = flash.readAllStandardError();
    // Nothing answers, as far as the program can tell under Wine.
    QCOMPARE(flash.exitCode(), 4);
    // JSON Lines through a pipe as on Linux: one object a line, no carriage returns, UTF-8.
    QVERIFY2(!out.contains('\r'), out.constData());
    const QList<QByteArray> lines = out.trimmed().split('\n');
    QCOMPARE(lines.size(), 1);
    const QJsonObject result = QJsonDocument::fromJson(lines.first()).object();
    QCOMPARE(result.value("result").toString(), QStringLiteral("no-device"));
    QCOMPARE(result.value("port").toString(), port.name);
    QVERIFY2(result.value("message").toString().contains(QStringLiteral("on COM21")),
             lines.first().constData());
    QCOMPARE(result.value("image")["path"].toString(), windowsPath(m_image));
    QCOMPARE(result.value("image")["sha256"].toString(),
             QString::fromLatin1(sha256Hex(escapeHeavyBytes(3000, 5))));
    // The record, written under the Windows lock, is the line the program printed.
    const QList<QJsonObject> records = logRecords(log);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first(), result);
    // The probes reached the line, every one of them byte for byte the Linux program's, one a
    // response time-out apart as the program itself traced them (a coarse timer is 5 % early at
    // most).
    QVERIFY(QTest::qWaitFor([&] { return port.probes() >= 3; }, PatienceMs));
    QCOMPARE(port.device.commands(), QList<quint8>(port.device.frames.size(), CMD_PING));
    QCOMPARE(port.device.badChecks, 0);
    QList<QTime> sent;
    static const QRegularExpression traced(
        QStringLiteral("^vantu\\.wire: (\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d) tx PING "));
    for (const QByteArray &line : err.split('\n')) {
        const QRegularExpressionMatch match = traced.match(QString::fromUtf8(line));
        if (match.hasMatch())
            sent.append(QTime::fromString(match.captured(1), QStringLiteral("hh:mm:ss.zzz")));
    }
    QVERIFY2(sent.size() >= 3, err.constData());
    for (int i = 1; i < sent.size(); ++i)
        QVERIFY2(sent[i - 1].msecsTo(sent[i]) >= ResponseTimeout.count() * 19 / 20,
                 qPrintable(QStringLiteral("probe %1 after %2 ms")
                                .arg(i + 1)
                                .arg(sent[i - 1].msecsTo(sent[i]))));
}

void WineTest::flashPlainLinesThroughAPipe()
{
    ComPort port(m_prefix, 21);
    QVERIFY(port.ready);
    QProcess flash;
    startWindows(flash, m_programs + QStringLiteral("/vantuflash.exe"),
                 {QStringLiteral("-p"), port.name, QStringLiteral("-w"), QStringLiteral("1"),
                  windowsPath(m_image)});
    QVERIFY(flash.waitForFinished(PatienceMs));
    const QByteArray out = flash.readAllStandardOutput();
    QCOMPARE(flash.exitCode(), 4);
    // Plain lines into a pipe, as on Linux: no redrawing, no carriage return, no escape sequence.
    QVERIFY2(!out.contains('\r') && !out.contains('\x1b'), out.constData());
    QVERIFY2(out.contains("COM21: looking for the device\n"), out.constData());
    QVERIFY2(QRegularExpression(QStringLiteral("\\nCOM21 +no-device "))
                 .match(QString::fromUtf8(out))
                 .hasMatch(),
             out.constData());
}

void WineTest::flashInterrupted_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("exitCode"); // -1: Windows ends the program itself
    // Wine turns SIGINT into the console's Ctrl+C.
    QTest::newRow("Ctrl+C") << "ctrl-c" << 130;
    // wineboot asks every window of the prefix whether the session may end, then ends it.
    QTest::newRow("log-off or shutdown") << "session" << -1;
    // Left out: Wine 8 sends no CTRL_BREAK_EVENT (GenerateConsoleCtrlEvent fails, the key does
    // nothing) and no CTRL_CLOSE_EVENT (a console closed by its window ends its programs at once).
    // Both reach the same console handler as Ctrl+C on Windows.
}

void WineTest::flashInterrupted()
{
    QFETCH(QString, how);
    QFETCH(int, exitCode);
    ComPort port(m_prefix, 21);
    QVERIFY(port.ready);
    const QString log = m_dir->filePath(QStringLiteral("records.jsonl"));
    QProcess flash;
    startWindows(flash, m_programs + QStringLiteral("/vantuflash.exe"),
                 {QStringLiteral("-p"), port.name, QStringLiteral("-w"), QStringLiteral("0"),
                  QStringLiteral("--json"), QStringLiteral("--log"), windowsPath(log),
                  windowsPath(m_image)});
    // Under way: probing.
    QVERIFY(QTest::qWaitFor([&] { return port.probes() >= 2; }, PatienceMs));
    if (how == QLatin1String("ctrl-c"))
        ::kill(pid_t(flash.processId()), SIGINT);
    else
        QCOMPARE(runInPrefix({QStringLiteral("wineboot"), QStringLiteral("--end-session")}), 0);
    QVERIFY(flash.waitForFinished(PatienceMs));
    if (exitCode >= 0)
        QCOMPARE(flash.exitCode(), exitCode);
    // The port is closed and the record written before the program ends, whichever way.
    const QList<QJsonObject> records = logRecords(log);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value("result").toString(), QStringLiteral("interrupted"));
    QCOMPARE(records.first().value("port").toString(), port.name);
    if (exitCode >= 0) {
        const QJsonObject printed =
            QJsonDocument::fromJson(flash.readAllStandardOutput().trimmed()).object();
        QCOMPARE(printed, records.first());
    }
}

void WineTest::windowOnAComPort()
{
    // The window's own suite does the window's part (its status line and what it sends) on the
    // COM port, with Windows' own platform on the X display; the device here sees the probes.
    ComPort port(m_prefix, 21);
    QVERIFY(port.ready);
    QProcess suite;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("VANTU_TEST_COM_PORT"), port.name);
    const QString seen = m_dir->filePath(QStringLiteral("window-saw-its-probes"));
    environment.insert(QStringLiteral("VANTU_TEST_SEEN_FILE"), windowsPath(seen));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("windows"));
    suite.setProcessEnvironment(environment);
    // The Windows build's own runner, with the folders of the DLLs its suites load.
    QFile runnerFile(m_suites + QStringLiteral("/wine-runner.txt"));
    QVERIFY(runnerFile.open(QIODevice::ReadOnly));
    const QStringList runner =
        QString::fromUtf8(runnerFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    suite.setProgram(QStringLiteral(VANTU_SOURCE_DIR "/tests/wine-suite.sh"));
    suite.setArguments(runner + QStringList{m_suites + QStringLiteral("/tst_window.exe"),
                                            QStringLiteral("probesAComPort")});
    suite.start();
    // Once the suite has seen the probes and the advice, the line goes, as a pulled adapter takes
    // it along.
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(seen); }, PatienceMs * 2));
    port.device.terminal().hangUp();
    QVERIFY(suite.waitForFinished(PatienceMs * 2));
    const QByteArray report = suite.readAllStandardOutput() + suite.readAllStandardError();
    QVERIFY2(suite.exitCode() == 0 && report.contains("PASS   : WindowTest::probesAComPort()"),
             report.constData());
    QCOMPARE(port.device.commands(), QList<quint8>(port.device.frames.size(), CMD_PING));
}

void WineTest::stationOnTwoComPorts()
{
    ComPort first(m_prefix, 21);
    ComPort second(m_prefix, 22);
    QVERIFY(first.ready && second.ready);
    const QString log = m_dir->filePath(QStringLiteral("records.jsonl"));
    QProcess station;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM")); // Windows' own, on the X display
    station.setProcessEnvironment(environment);
    startWindows(station, m_programs + QStringLiteral("/vantustation.exe"),
                 {QStringLiteral("--start"), QStringLiteral("-p"), first.name, QStringLiteral("-p"),
                  second.name, QStringLiteral("--log"), windowsPath(log), windowsPath(m_image)});
    // Both slots probe their boards.
    QVERIFY(
        QTest::qWaitFor([&] { return first.probes() >= 3 && second.probes() >= 3; }, PatienceMs));
    QCOMPARE(first.device.commands(), QList<quint8>(first.device.frames.size(), CMD_PING));
    QCOMPARE(second.device.commands(), QList<quint8>(second.device.frames.size(), CMD_PING));
    // Closed as a user closes it: with no board under way it ends at once, and nothing was
    // recorded, since no board answered.
    QCOMPARE(runInPrefix({QStringLiteral("taskkill"), QStringLiteral("/IM"),
                          QStringLiteral("vantustation.exe")}),
             0);
    QVERIFY(station.waitForFinished(PatienceMs));
    QCOMPARE(station.exitCode(), 0);
    QVERIFY(logRecords(log).isEmpty());
}

QTEST_GUILESS_MAIN(WineTest)
#include "tst_wine.moc"
