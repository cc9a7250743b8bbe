// The console program as users run it: the real vantuflash binary against devicesim processes on
// pseudo-terminals, each exit code reached through a real condition, its output read back as a
// script would read it.
#include "fakeadapter.h"
#include "linesupport.h"
#include "portdiagnosis.h"
#include "records.h"
#include "serialline.h"
#include "updateprotocol.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

#include <csignal>
#include <memory>
#include <vector>

using namespace testing;

namespace {

constexpr int RunTimeoutMs = 30000;

struct FlashRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    // The JSON Lines of standard output; an unparsable line fails the test that reads it.
    QList<QJsonObject> events(const QString &event = QString()) const
    {
        QList<QJsonObject> objects;
        const QList<QByteArray> lines = out.split('\n');
        for (const QByteArray &line : lines) {
            if (line.isEmpty())
                continue;
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(line, &error);
            if (error.error != QJsonParseError::NoError || !document.isObject()) {
                QTest::qFail(qPrintable(QStringLiteral("not a JSON object: ") + line), __FILE__,
                             __LINE__);
                return {};
            }
            if (event.isEmpty() || document.object().value(QLatin1String("event")) == event)
                objects.append(document.object());
        }
        return objects;
    }
};

FlashRun finishedRun(QProcess &flash)
{
    FlashRun run;
    if (!flash.waitForFinished(RunTimeoutMs)) {
        flash.kill();
        flash.waitForFinished();
    }
    run.exitCode = flash.exitStatus() == QProcess::NormalExit ? flash.exitCode() : -1;
    run.out = flash.readAllStandardOutput();
    run.err = flash.readAllStandardError();
    return run;
}

void startFlash(QProcess &flash, const QStringList &arguments)
{
    flash.setProgram(QStringLiteral(VANTUFLASH_PATH));
    // A silence limit only a fault reaches, unless the case is about one: the default of 2 s
    // tells a slow device from a silent one, and a loaded machine can hold a device back.
    const bool setsLimit = arguments.contains(QStringLiteral("-t")) ||
                           arguments.contains(QStringLiteral("--timeout")) ||
                           arguments.contains(QStringLiteral("--list"));
    flash.setArguments(setsLimit
                           ? arguments
                           : QStringList{QStringLiteral("-t"), QStringLiteral("30")} + arguments);
    flash.start();
}

FlashRun runFlash(const QStringList &arguments)
{
    QProcess flash;
    startFlash(flash, arguments);
    return finishedRun(flash);
}

// A devicesim process; its trace (--verbose) tells what reached the device. The trace goes to a
// file: a pipe nobody reads while the test waits for vantuflash would stall the device.
struct Simulator
{
    QProcess process;
    QString port;
    QString traceFile;

    bool start(const QStringList &options)
    {
        static int started = 0;
        traceFile = QDir::temp().filePath(QStringLiteral("tst_flash-%1-%2.trace")
                                              .arg(QCoreApplication::applicationPid())
                                              .arg(++started));
        process.setStandardErrorFile(traceFile);
        port = startSimulator(process, QStringList{QStringLiteral("--verbose")} + options);
        return !port.isEmpty();
    }
    // Ends the device and returns its trace: "<-" lines are the frames it received.
    QByteArray stop()
    {
        process.terminate();
        process.waitForFinished(PatienceMs);
        return trace();
    }
    QByteArray trace() const
    {
        QFile file(traceFile);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Sends the device a frame of a command no tool sends and waits until its trace has it: it
    // has then read everything that came before on its line, however late a loaded machine let
    // it read.
    bool fence()
    {
        SerialLine line;
        if (!line.open(port))
            return false;
        line.send(commandPayload(FenceCommand));
        return QTest::qWaitFor([this] { return trace().contains("command 0x42"); }, PatienceMs);
    }
    static constexpr quint8 FenceCommand = 0x42;
    ~Simulator()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(PatienceMs);
        }
        if (!traceFile.isEmpty())
            QFile::remove(traceFile);
    }
};

// Reads the run's standard output on into out until text is in it count times; false when that
// does not come in time.
bool waitForOutput(QProcess &flash, QByteArray &out, const QByteArray &text, int count = 1)
{
    return QTest::qWaitFor(
        [&] { return (out += flash.readAllStandardOutput()).count(text) >= count; }, PatienceMs);
}

void interrupt(QProcess &process, int signal = SIGINT)
{
    ::kill(pid_t(process.processId()), signal);
}

} // namespace

class FlashTest : public QObject, FolderCase
{
    Q_OBJECT

private slots:
    void init() { beginCase(); }
    void cleanup() { endCase(); }

    void badInputSendsNothing_data();
    void badInputSendsNothing();
    void outcomes_data();
    void outcomes();
    void exitCodePerOutcome_data();
    void exitCodePerOutcome();
    void interruptedMidUpdate_data();
    void interruptedMidUpdate();
    void portOpensOnceAllowed_data();
    void portOpensOnceAllowed();
    void gangOfFourOneCancels();
    void plainTextThroughAPipe();
    void jsonLinesAndProgressRate();
    void portAppearsLateWithinWait();
    void recordThatCannotBeWritten_data();
    void recordThatCannotBeWritten();
    void logRotatedBetweenBoards();
    void oneOwnerPerDeviceWhateverItsName();
    void bareNameOfAFileHereIsNoGuess();
    void repeatEndsWithASummaryPerPort();
    void repeatFollowsItsAdapter();
    void redrawnLinesFollowAResizedTerminal();
    void stationsShareOneLog();
    void helpVersionAndList();
    void linksNeitherGuiNorWidgets();

private:
    QString image(const QByteArray &content, const QString &name = QStringLiteral("fw.vuf"));
    // A board after board on a link named like a fixture's port: each restarts 300 ms after its
    // update, as the next board. Returns the link, empty when the device did not start.
    QString boardsOnAFixture(Simulator &device);
};

QString FlashTest::image(const QByteArray &content, const QString &name)
{
    return writeImage(dir->path(), name, content);
}

QString FlashTest::boardsOnAFixture(Simulator &device)
{
    const QString link = dir->filePath(QStringLiteral("fixture"));
    const bool started =
        device.start({QStringLiteral("--link"), link, QStringLiteral("--restart-after-done"),
                      QStringLiteral("300")});
    return started ? link : QString();
}

void FlashTest::badInputSendsNothing_data()
{
    // PORT, LINK (to PORT), IMAGE, MISSING and DIR stand for the test's files.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown option") << "--frobnicate -p PORT IMAGE" << 1 << "frobnicate";
    QTest::newRow("no image") << "-p PORT" << 1 << "no image given";
    QTest::newRow("no port") << "IMAGE" << 1 << "no port given";
    QTest::newRow("a port given twice, once through a link")
        << "-p PORT -p LINK IMAGE" << 1 << "given twice";
    QTest::newRow("a serial number given twice")
        << "--serial A1 -p PORT --serial A1 IMAGE" << 1 << "--serial A1 given twice";
    QTest::newRow("bad USB IDs") << "--usb 0403 -p PORT IMAGE" << 1 << "VID:PID";
    QTest::newRow("--info with an image") << "--info -p PORT IMAGE" << 1 << "--info takes no image";
    QTest::newRow("negative wait: the range is said")
        << "--wait=-1 -p PORT IMAGE" << 1
        << "--wait wants a number of seconds from 0 (no limit) to 10000000";
    QTest::newRow("unwritable log: a folder")
        << "--log DIR -p PORT IMAGE" << 1 << "cannot write the log";
    QTest::newRow("unwritable log: no such folder")
        << "--log DIR/none/log.jsonl -p PORT IMAGE" << 1 << "cannot write the log";
    // Each problem an image can have has its row with the image source; here, one of them.
    QTest::newRow("missing image") << "-p PORT MISSING" << 2 << "no such file";
    QTest::newRow("missing image, --repeat") << "--repeat -p PORT MISSING" << 2 << "no such file";
    QTest::newRow("a hardware version not as records write it")
        << "--hardware 5.7 -p PORT IMAGE" << 1 << "--hardware wants a version";
    QTest::newRow("a firmware version not as records write it")
        << "--skip-firmware 01.00.1 -p PORT IMAGE" << 1 << "--skip-firmware wants a version";
}

void FlashTest::badInputSendsNothing()
{
    QFETCH(QString, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    Simulator device;
    QVERIFY(device.start({}));
    const QString link = dir->filePath(QStringLiteral("link"));
    QVERIFY(QFile::link(device.port, link));
    const QMap<QString, QString> files = {
        {QStringLiteral("PORT"), device.port},
        {QStringLiteral("LINK"), link},
        {QStringLiteral("IMAGE"), image(QByteArray(64, 'x'))},
        {QStringLiteral("MISSING"), dir->filePath(QStringLiteral("missing.vuf"))},
        {QStringLiteral("DIR"), dir->path()},
    };
    QStringList args = arguments.split(QLatin1Char(' '));
    for (QString &arg : args) {
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (arg.startsWith(it.key()))
                arg.replace(0, it.key().size(), it.value());
        }
    }
    const FlashRun run = runFlash(QStringList{QStringLiteral("--json")} + args);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(QString::fromUtf8(run.err).contains(error), run.err.constData());
    if (exitCode == 2) {
        // Every port gets its record, and none of them touched the wire.
        const QList<QJsonObject> results = run.events(QStringLiteral("result"));
        QCOMPARE(results.size(), 1);
        QCOMPARE(results.first().value(QLatin1String("result")).toString(),
                 QStringLiteral("image-error"));
        QCOMPARE(results.first().value(QLatin1String("exit_code")).toInt(), 2);
        // As text, the summary's table has its row, with --repeat too.
        const FlashRun text = runFlash(args);
        QCOMPARE(text.exitCode, 2);
        QVERIFY2(QRegularExpression(QStringLiteral("\\n%1 +image-error +- +- +- +0\\.0\\n")
                                        .arg(QRegularExpression::escape(device.port)))
                     .match(QString::fromUtf8(text.out))
                     .hasMatch(),
                 text.out.constData());
    } else {
        QVERIFY(run.out.isEmpty());
    }
    QVERIFY(device.fence());
    const QByteArray trace = device.stop();
    QVERIFY2(trace.count("<-") == 1, trace.constData()); // the fence's frame alone
}

void FlashTest::outcomes_data()
{
    QTest::addColumn<QString>("device");   // devicesim options; "none": no device at all
    QTest::addColumn<QString>("selector"); // how the port is named; PORT is the device's
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("result");
    struct Row
    {
        const char *name, *device, *selector, *options;
        int exitCode;
        const char *result;
    };
    // The simulated board reports hardware 05.07 and firmware 01.00. Each exit code and result
    // name has its row in exitCodePerOutcome.
    const Row rows[] = {
        {"updated", "", "-p PORT", "", 0, "updated"},
        {"info: nothing changed", "", "-p PORT", "--info", 0, "info"},
        {"missing port after a short wait", "none", "-p /dev/ttyVANTU_NONE", "-w 0.4", 3,
         "open-failed"},
        {"a serial number no adapter has", "none", "--serial VANTU-NO-SUCH-SN", "-w 0.4", 3,
         "open-failed"},
        {"not a serial port: said so, not \"in use\"", "none", "-p /dev/null", "-w 0.4", 3,
         "open-failed"},
        // The device's faults have their rows with the session; here, two of them.
        {"silent device", "--silent-probes 1000000", "-p PORT", "-w 0.6", 4, "no-device"},
        {"hang-up mid-update", "--hang-up-at 1024", "-p PORT", "", 7, "port-lost"},
        {"the hardware asked for", "", "-p PORT", "--hardware 05.06 --hardware 05.07", 0,
         "updated"},
        {"other hardware: nothing after the version query", "", "-p PORT", "--hardware 05.08", 9,
         "wrong-hardware"},
        {"firmware to skip, in capitals", "", "-p PORT",
         "--skip-firmware 0A.00 --skip-firmware 01.00", 0, "skipped"},
    };
    for (const Row &row : rows) {
        QTest::newRow(row.name) << row.device << row.selector << row.options << row.exitCode
                                << row.result;
    }
}

void FlashTest::outcomes()
{
    QFETCH(QString, device);
    QFETCH(QString, selector);
    QFETCH(QString, options);
    QFETCH(int, exitCode);
    QFETCH(QString, result);
    Simulator simulator;
    const bool withDevice = device != QLatin1String("none");
    if (withDevice)
        QVERIFY(simulator.start(device.split(QLatin1Char(' '), Qt::SkipEmptyParts)));
    const bool info = options.contains(QLatin1String("--info"));
    QStringList args = selector.split(QLatin1Char(' '));
    args.replaceInStrings(QStringLiteral("PORT"), simulator.port);
    args += options.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    args += QStringLiteral("--json");
    const QByteArray content = escapeHeavyBytes(4096, 3);
    if (!info)
        args += image(content);

    const FlashRun run = runFlash(args);
    QCOMPARE(run.exitCode, exitCode);
    const QList<QJsonObject> results = run.events(QStringLiteral("result"));
    QCOMPARE(results.size(), 1);
    const QJsonObject record = results.first();
    QCOMPARE(record.value(QLatin1String("result")).toString(), result);
    QCOMPARE(record.value(QLatin1String("exit_code")).toInt(), exitCode);
    const QString message = record.value(QLatin1String("message")).toString();
    QVERIFY(!message.isEmpty());
    QVERIFY2(!message.contains(QLatin1String("in use")), qPrintable(message));
    // The image is named in every record, the port's outcome whatever it was.
    const QJsonValue imageFacts = record.value(QLatin1String("image"));
    QCOMPARE(imageFacts.toObject().value(QLatin1String("sha256")).toString(),
             info ? QString() : QString::fromLatin1(sha256Hex(content)));
    if (exitCode != 0 && exitCode != 9) {
        // The explanations speak to someone at a console, and go to standard error too.
        QVERIFY2(message.contains(QLatin1String("run vantuflash again")), qPrintable(message));
        QVERIFY2(!message.contains(QLatin1String("File")) &&
                     !message.contains(QLatin1String("port box")),
                 qPrintable(message));
        QVERIFY(QString::fromUtf8(run.err).contains(message));
    }
    QCOMPARE(run.events(QStringLiteral("found")).size(), exitCode == 3 || exitCode == 4 ? 0 : 1);
    if (!withDevice)
        return;
    const QByteArray trace = simulator.stop();
    const bool guarded = result == QLatin1String("skipped") || exitCode == 9;
    QCOMPARE(trace.contains(" START"), !info && exitCode != 4 && !guarded);
    if (guarded) // the record names what the board reported
        QCOMPARE(record.value(QLatin1String("hardware")).toString(), QStringLiteral("05.07"));
    if (exitCode == 0 && !info && !guarded) {
        QVERIFY(trace.contains("update complete: 4096 bytes"));
        QCOMPARE(record.value(QLatin1String("requests")).toInt(), 4096 / 4 + 1);
    }
}

void FlashTest::exitCodePerOutcome_data()
{
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("name"); // as records and JSON Lines give it
    QTest::newRow("updated") << Outcome::Updated << 0 << "updated";
    QTest::newRow("info") << Outcome::Info << 0 << "info";
    QTest::newRow("skipped") << Outcome::Skipped << 0 << "skipped";
    QTest::newRow("image error") << Outcome::ImageError << 2 << "image-error";
    QTest::newRow("open failed") << Outcome::OpenFailed << 3 << "open-failed";
    QTest::newRow("no device") << Outcome::NoDevice << 4 << "no-device";
    QTest::newRow("cancelled") << Outcome::Cancelled << 5 << "cancelled";
    QTest::newRow("timeout") << Outcome::Timeout << 6 << "timeout";
    QTest::newRow("port lost") << Outcome::PortLost << 7 << "port-lost";
    QTest::newRow("lost after END") << Outcome::LostAfterEnd << 7 << "lost-after-end";
    QTest::newRow("wrong hardware") << Outcome::WrongHardware << 9 << "wrong-hardware";
    QTest::newRow("interrupted") << Outcome::Interrupted << 130 << "interrupted";
}

void FlashTest::exitCodePerOutcome()
{
    QFETCH(Outcome, outcome);
    QFETCH(int, exitCode);
    QFETCH(QString, name);
    QCOMPARE(exitCodeOf(outcome), exitCode);
    QCOMPARE(outcomeName(outcome), name);
}

void FlashTest::interruptedMidUpdate_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("repeat");
    QTest::newRow("SIGINT") << int(SIGINT) << 130 << false;
    QTest::newRow("SIGTERM") << int(SIGTERM) << 130 << false;
    QTest::newRow("SIGHUP: a closed terminal") << int(SIGHUP) << 129 << false;
    QTest::newRow("SIGTERM under --repeat: a service stopped") << int(SIGTERM) << 130 << true;
    QTest::newRow("SIGHUP under --repeat") << int(SIGHUP) << 129 << true;
}

void FlashTest::interruptedMidUpdate()
{
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(bool, repeat);
    Simulator device;
    QVERIFY(device.start({QStringLiteral("--silent-at"), QStringLiteral("2048")}));
    const QString log = dir->filePath(QStringLiteral("records.jsonl"));
    QStringList arguments{QStringLiteral("-p"),
                          device.port,
                          QStringLiteral("-t"),
                          QStringLiteral("60"),
                          QStringLiteral("--json"),
                          QStringLiteral("--log"),
                          log,
                          image(escapeHeavyBytes(4096, 4))};
    if (repeat)
        arguments.prepend(QStringLiteral("--repeat"));
    QProcess flash;
    startFlash(flash, arguments);
    QVERIFY(flash.waitForStarted());
    QByteArray out;
    QVERIFY(waitForOutput(flash, out, "\"progress\""));
    interrupt(flash, signal);
    FlashRun run = finishedRun(flash);
    run.out.prepend(out);
    QCOMPARE(run.exitCode, exitCode);
    const QList<QJsonObject> results = run.events(QStringLiteral("result"));
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.first().value(QLatin1String("result")).toString(),
             QStringLiteral("interrupted"));
    // The run has ended: nothing it prints promises that it goes on.
    const QString message = results.first().value(QLatin1String("message")).toString();
    QVERIFY2(message.endsWith(QLatin1String("Restart it, then run vantuflash again.")),
             qPrintable(message));
    QVERIFY2(!run.out.contains("goes on") && !run.err.contains("goes on"), run.err.constData());
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject logged = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(logged.value(QLatin1String("result")).toString(), QStringLiteral("interrupted"));
    QCOMPARE(logged.value(QLatin1String("exit_code")).toInt(), 130);
}

void FlashTest::portOpensOnceAllowed_data()
{
    QTest::addColumn<bool>("allowedInTime");
    QTest::newRow("permission set within the wait") << true;
    QTest::newRow("permission never set") << false;
}

void FlashTest::portOpensOnceAllowed()
{
    QFETCH(bool, allowedInTime);
    VANTU_SKIP_AS_ROOT("root opens a device node whatever its permissions");
    // A node whose permissions udev has not set yet is tried again until the wait runs out.
    Simulator device;
    QVERIFY(device.start({}));
    QVERIFY(QFile::setPermissions(device.port, QFileDevice::Permissions()));
    QProcess flash;
    // Allowed after the first try, well within the wait; never allowed, for a short wait.
    startFlash(flash, {QStringLiteral("-p"), device.port, QStringLiteral("-w"),
                       allowedInTime ? QStringLiteral("60") : QStringLiteral("2"),
                       image(escapeHeavyBytes(500, 10))});
    QVERIFY(flash.waitForStarted());
    QByteArray out;
    QVERIFY2(waitForOutput(flash, out, "waiting for the port"), out.constData());
    if (allowedInTime)
        QVERIFY(
            QFile::setPermissions(device.port, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    FlashRun run = finishedRun(flash);
    run.out.prepend(out);
    QCOMPARE(run.exitCode, allowedInTime ? 0 : 3);
    if (!allowedInTime) {
        QVERIFY2(run.err.contains("permission denied"), run.err.constData());
        QVERIFY2(run.err.contains("run vantuflash again."), run.err.constData());
    }
}

void FlashTest::gangOfFourOneCancels()
{
    // Port 3 cancels and port 4 falls silent: the exit code is port 3's.
    const QStringList faults[] = {{},
                                  {},
                                  {QStringLiteral("--cancel-at"), QStringLiteral("2048")},
                                  {QStringLiteral("--silent-at"), QStringLiteral("1024")}};
    std::vector<std::unique_ptr<Simulator>> devices;
    // Long enough that no device that answers is taken for silent, whatever the machine's load.
    QStringList args = {QStringLiteral("-v"), QStringLiteral("-t"), QStringLiteral("3")};
    for (int i = 0; i < 4; ++i) {
        const QString output = dir->filePath(QStringLiteral("device%1.bin").arg(i));
        devices.push_back(std::make_unique<Simulator>());
        QVERIFY(devices.back()->start(faults[i] + QStringList{QStringLiteral("--output"), output}));
        args += {QStringLiteral("-p"), devices.back()->port};
    }
    const QString log = dir->filePath(QStringLiteral("records.jsonl"));
    // An earlier record stays: the log is appended to.
    QFile previous(log);
    QVERIFY(previous.open(QIODevice::WriteOnly));
    previous.write("{\"event\":\"result\",\"earlier\":true}\n");
    previous.close();
    const QByteArray content = escapeHeavyBytes(6000, 5);
    args += {QStringLiteral("--log"), log, image(content)};

    const FlashRun run = runFlash(args);
    QCOMPARE(run.exitCode, 5);

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY(lines.takeLast().isEmpty()); // every record ends its line
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines.takeFirst().contains("earlier"));
    QMap<QString, QJsonObject> byPort;
    for (const QByteArray &line : std::as_const(lines)) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        QCOMPARE(record.value(QLatin1String("event")).toString(), QStringLiteral("result"));
        byPort.insert(record.value(QLatin1String("port")).toString(), record);
    }
    const QString sha = QString::fromLatin1(sha256Hex(content));
    const QStringList expected = {QStringLiteral("updated"), QStringLiteral("updated"),
                                  QStringLiteral("cancelled"), QStringLiteral("timeout")};
    for (int i = 0; i < 4; ++i) {
        const QJsonObject record = byPort.value(devices[size_t(i)]->port);
        QCOMPARE(record.value(QLatin1String("result")).toString(), expected[i]);
        QCOMPARE(record.value(QLatin1String("firmware")).toString(), QStringLiteral("01.00"));
        QCOMPARE(record.value(QLatin1String("hardware")).toString(), QStringLiteral("05.07"));
        const QJsonObject imageFacts = record.value(QLatin1String("image")).toObject();
        QCOMPARE(imageFacts.value(QLatin1String("sha256")).toString(), sha);
        QCOMPARE(imageFacts.value(QLatin1String("size")).toInt(), 6000);
        const QDateTime started = QDateTime::fromString(
            record.value(QLatin1String("started")).toString(), Qt::ISODateWithMs);
        QVERIFY(started.isValid() && started.timeSpec() == Qt::UTC);
        QVERIFY(record.value(QLatin1String("seconds")).toDouble() >= 0);
        QVERIFY(record.value(QLatin1String("adapter")).isNull());
        QVERIFY(record.value(QLatin1String("requests")).toInt() > 0);
        if (i < 2) {
            QFile output(dir->filePath(QStringLiteral("device%1.bin").arg(i)));
            QVERIFY(output.open(QIODevice::ReadOnly));
            QCOMPARE(output.readAll(), padded(content));
        }
    }
    // The summary's rows end the output, in command-line order whichever port ended first (port
    // 3, at a third of the image).
    const QList<QByteArray> out = run.out.trimmed().split('\n');
    QStringList rows, inOrder;
    for (const QByteArray &line : out.mid(out.size() - 4))
        rows.append(QString::fromUtf8(line.simplified()).section(QLatin1Char(' '), 0, 1));
    for (int i = 0; i < 4; ++i)
        inOrder.append(devices[size_t(i)]->port + QLatin1Char(' ') + expected[i]);
    QCOMPARE(rows, inOrder);
    // With several ports each line of the wire trace names its port after the time.
    int tracedLines = 0;
    for (const QString &line : QString::fromUtf8(run.err).split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("vantu.wire: ")))
            continue;
        ++tracedLines;
        QVERIFY2(byPort.contains(line.section(QLatin1Char(' '), 2, 2)), qPrintable(line));
    }
    QVERIFY(tracedLines > 2 * 6000 / 4);
}

void FlashTest::plainTextThroughAPipe()
{
    Simulator device;
    QVERIFY(device.start({}));
    const FlashRun run = runFlash({QStringLiteral("-v"), QStringLiteral("-p"), device.port,
                                   image(escapeHeavyBytes(8000, 6))});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(!run.out.contains('\r'));
    QVERIFY(!run.out.contains('\x1b'));
    const QString text = QString::fromUtf8(run.out);
    for (int percent = 10; percent <= 100; percent += 10)
        QCOMPARE(text.count(QStringLiteral(": %1% (").arg(percent)), 1);
    QVERIFY2(text.contains(QStringLiteral("firmware 01.00, hardware 05.07")), run.out.constData());
    QVERIFY(
        QRegularExpression(QStringLiteral("\\nPORT +RESULT +FIRMWARE +HARDWARE +SIZE +SECONDS\\n"))
            .match(text)
            .hasMatch());
    QVERIFY(
        QRegularExpression(QStringLiteral("\\n%1 +updated +01\\.00 +05\\.07 +8000 +\\d+\\.\\d\\n")
                               .arg(QRegularExpression::escape(device.port)))
            .match(text)
            .hasMatch());
    // Standard error holds nothing but the trace asked for with -v. How a line reads has its
    // table with the protocol; with one port, the lines name none, as the window's do.
    const QRegularExpression traced(QStringLiteral("^vantu\\.wire: \\S+ [tr]x "));
    for (const QByteArray &line : run.err.trimmed().split('\n'))
        QVERIFY2(traced.match(QString::fromUtf8(line)).hasMatch(), line.constData());
}

void FlashTest::jsonLinesAndProgressRate()
{
    Simulator device;
    QVERIFY(device.start({}));
    const int size = 40000;
    const FlashRun run = runFlash({QStringLiteral("--json"), QStringLiteral("-p"), device.port,
                                   image(escapeHeavyBytes(size, 7))});
    QCOMPARE(run.exitCode, 0);
    const QList<QJsonObject> events = run.events();
    QVERIFY(!events.isEmpty());
    QCOMPARE(events.first().value(QLatin1String("event")).toString(), QStringLiteral("found"));
    QCOMPARE(events.last().value(QLatin1String("event")).toString(), QStringLiteral("result"));
    const QList<QJsonObject> progress = run.events(QStringLiteral("progress"));
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().value(QLatin1String("percent")).toInt(), 100);
    QCOMPARE(progress.last().value(QLatin1String("size")).toInt(), size);
    int lastOffset = -1;
    for (const QJsonObject &event : progress) {
        QCOMPARE(event.value(QLatin1String("port")).toString(), device.port);
        QVERIFY(event.value(QLatin1String("offset")).toInt() > lastOffset);
        lastOffset = event.value(QLatin1String("offset")).toInt();
    }
    // About ten a second, the last one at 100 % besides.
    const double seconds = events.last().value(QLatin1String("seconds")).toDouble();
    QVERIFY2(progress.size() <= int(seconds * 10) + 3,
             qPrintable(QStringLiteral("%1 events in %2 s").arg(progress.size()).arg(seconds)));
}

void FlashTest::portAppearsLateWithinWait()
{
    Simulator device;
    QVERIFY(device.start({}));
    const QString link = dir->filePath(QStringLiteral("ttyLATE"));
    QProcess flash;
    startFlash(flash, {QStringLiteral("-p"), link, QStringLiteral("-w"), QStringLiteral("60"),
                       image(escapeHeavyBytes(1000, 8))});
    QVERIFY(flash.waitForStarted());
    QByteArray out;
    QVERIFY2(waitForOutput(flash, out, "waiting for the port"), out.constData());
    QCOMPARE(flash.state(), QProcess::Running);
    QVERIFY(QFile::link(device.port, link));
    FlashRun run = finishedRun(flash);
    run.out.prepend(out);
    QCOMPARE(run.exitCode, 0);
    // The record names the port as it was given.
    QVERIFY2(
        QRegularExpression(QStringLiteral("\\n%1 +updated ").arg(QRegularExpression::escape(link)))
            .match(QString::fromUtf8(run.out))
            .hasMatch(),
        run.out.constData());
}

void FlashTest::recordThatCannotBeWritten_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("limit"); // "fsize=BYTES", "tmpfs=BYTES", or none
    QTest::addColumn<QByteArray>("cause");
    QTest::newRow("a full device") << "/dev/full" << QString() << QByteArray("No space left");
    // A record crosses the limit: its first part would go in, then the write fails. No torn
    // line may stay, and no further board is started.
    QTest::newRow("the file-size limit, under --repeat")
        << "records.jsonl"
        << "fsize=1400" << QByteArray("File too large");
    // A file system of the test's own that fills up after a few boards, the text output read as
    // an operator reads it: the board whose record was lost is named, and the summary counts
    // every result printed.
    QTest::newRow("a full file system, under --repeat")
        << "full/records.jsonl"
        << "tmpfs=4096" << QByteArray("No space left on device");
}

void FlashTest::recordThatCannotBeWritten()
{
    QFETCH(QString, log);
    QFETCH(QString, limit);
    QFETCH(QByteArray, cause);
    if (!log.startsWith(QLatin1Char('/')))
        log = dir->filePath(log);
    const QString limitKind = limit.section(QLatin1Char('='), 0, 0);
    const QString limitValue = limit.section(QLatin1Char('='), 1);
    const bool text = limitKind == QLatin1String("tmpfs");
    QStringList run{QStringLiteral(VANTUFLASH_PATH)};
    if (limitKind == QLatin1String("fsize")) {
        run = QStringList{QStringLiteral("prlimit"), QStringLiteral("--fsize=") + limitValue,
                          QStringLiteral("--")} +
              run;
    } else if (text) {
        // A mount namespace of its own (in a user namespace of its own where the test is not
        // root), with a small tmpfs where the log goes.
        const QString mountPoint = QFileInfo(log).absolutePath();
        QVERIFY(QDir().mkpath(mountPoint));
        const QStringList unshare{
            QStringLiteral("unshare"), QStringLiteral("--user"), QStringLiteral("--map-root-user"),
            QStringLiteral("--mount"), QStringLiteral("sh"),     QStringLiteral("-c")};
        QProcess probe;
        probe.start(unshare.first(), unshare.mid(1) + QStringList{QStringLiteral("true")});
        if (!probe.waitForFinished(PatienceMs) || probe.exitCode() != 0)
            QSKIP("no mount namespace of its own can be made here (unshare --user --mount)");
        run = unshare.mid(0) +
              QStringList{QStringLiteral("mount -t tmpfs -o size=%1 tmpfs \"$0\" || exit 99; "
                                         "\"$@\"; status=$?; cp \"$0/%2\" \"$0.kept\"; "
                                         "exit $status")
                              .arg(limitValue, QFileInfo(log).fileName()),
                          mountPoint} +
              run;
    }
    Simulator device;
    const QString link = boardsOnAFixture(device);
    QVERIFY(!link.isEmpty());
    QStringList arguments{QStringLiteral("-p"), link, QStringLiteral("--log"), log,
                          image(escapeHeavyBytes(2000, 9))};
    if (!text)
        arguments.prepend(QStringLiteral("--json"));
    if (!limit.isEmpty())
        arguments.prepend(QStringLiteral("--repeat"));
    QProcess flash;
    flash.setProgram(run.first());
    flash.setArguments(run.mid(1) + arguments);
    flash.start();
    // The run ends by itself: a failed record stops the boards.
    QVERIFY(flash.waitForFinished(30000));
    FlashRun result = finishedRun(flash);
    QCOMPARE(result.exitCode, 8);
    // The message names the board's port and result, the file and the cause.
    const QByteArray named = "cannot write the record of the board on " + QFile::encodeName(link) +
                             " (updated) to " + QFile::encodeName(log) + ": " + cause;
    QVERIFY2(result.err.contains(named), result.err.constData());
    if (text) {
        // Each board's line, then the table: the port's row counts every updated line printed,
        // the one whose record was lost too, and no result comes after it.
        const QList<QByteArray> lines = result.out.trimmed().split('\n');
        const qsizetype updated = result.out.count(": updated (");
        QVERIFY2(updated >= 2, result.out.constData());
        QVERIFY2(lines.size() >= 2, result.out.constData());
        QCOMPARE(lines[lines.size() - 2].simplified(), QByteArray("PORT UPDATED OTHER RESULTS"));
        QCOMPARE(lines.last().simplified(),
                 QFile::encodeName(link) + ' ' + QByteArray::number(updated) + " -");
        // The file as it was on the full file system: the boards before the lost record.
        QFile file(QFileInfo(log).absolutePath() + QStringLiteral(".kept"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.endsWith('\n'));
        QCOMPARE(content.count("\"result\":\"updated\""), updated - 1);
        return;
    }
    // Every result is still told, each board once.
    const QList<QJsonObject> results = result.events(QStringLiteral("result"));
    QVERIFY(!results.isEmpty());
    for (const QJsonObject &each : results)
        QCOMPARE(each.value(QLatin1String("result")).toString(), QStringLiteral("updated"));
    if (limit.isEmpty()) {
        QCOMPARE(results.size(), 1);
        return;
    }
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    QVERIFY(content.endsWith('\n'));
    const QList<QByteArray> lines = content.trimmed().split('\n');
    // The boards before the failed record have theirs; after it, none was started.
    QCOMPARE(lines.size(), results.size() - 1);
    for (const QByteArray &line : lines)
        QVERIFY2(QJsonDocument::fromJson(line).isObject(), line.constData());
}

void FlashTest::logRotatedBetweenBoards()
{
    // A log renamed away during a shift (rotation) goes on in a new file at its path.
    const QString log = dir->filePath(QStringLiteral("records.jsonl"));
    Simulator device;
    const QString link = boardsOnAFixture(device);
    QVERIFY(!link.isEmpty());
    QProcess flash;
    startFlash(flash,
               {QStringLiteral("-p"), link, QStringLiteral("--repeat"), QStringLiteral("--json"),
                QStringLiteral("--log"), log, image(escapeHeavyBytes(2000, 9))});
    QVERIFY(flash.waitForStarted());
    QByteArray out;
    QVERIFY(waitForOutput(flash, out, "\"event\":\"result\""));
    QVERIFY(QFile::rename(log, log + QStringLiteral(".1")));
    QVERIFY(waitForOutput(flash, out, "\"event\":\"result\"", 2));
    interrupt(flash);
    QCOMPARE(finishedRun(flash).exitCode, 130);
    const auto recordsIn = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll().count("\"result\":\"updated\"") : -1;
    };
    QCOMPARE(recordsIn(log + QStringLiteral(".1")), 1);
    QCOMPARE(recordsIn(log), 1);
}

void FlashTest::oneOwnerPerDeviceWhateverItsName()
{
    // A --repeat run holds the device through a link; a second run given the node itself must
    // find it held, as root too (a terminal's exclusive mode does not stop root, the lock does).
    const QString link = dir->filePath(QStringLiteral("fixture"));
    Simulator device;
    QVERIFY(device.start({QStringLiteral("--link"), link}));
    QProcess holder;
    startFlash(holder, {QStringLiteral("-p"), link, QStringLiteral("--repeat"),
                        image(escapeHeavyBytes(64, 2))});
    QVERIFY(holder.waitForStarted());
    const auto holds = [&] {
        const QList<PortHolder> holders = processesHolding(device.port);
        return std::any_of(holders.begin(), holders.end(),
                           [&](const PortHolder &h) { return h.pid == holder.processId(); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(holds(), PatienceMs);
    const FlashRun second =
        runFlash({QStringLiteral("-p"), QFileInfo(link).canonicalFilePath(), QStringLiteral("-w"),
                  QStringLiteral("0.5"), image(escapeHeavyBytes(64, 2))});
    QCOMPARE(second.exitCode, 3);
    const QString expected =
        QStringLiteral("in use by vantuflash (PID %1)").arg(holder.processId());
    // Said once: the summary names the holder, and the advice goes straight on to what to do.
    QVERIFY2(QString::fromUtf8(second.err).count(QString::number(holder.processId())) == 1 &&
                 QString::fromUtf8(second.err).contains(expected + QStringLiteral(". Close that")),
             second.err.constData());
    interrupt(holder);
    QCOMPARE(finishedRun(holder).exitCode, 130);
}

void FlashTest::bareNameOfAFileHereIsNoGuess()
{
    // "-p fixture" names /dev/fixture; a file "fixture" in the folder the run starts in is not
    // taken instead, but named in the advice.
    const QString name = QStringLiteral("fixture");
    QVERIFY(!image(QByteArray(4, 'x'), name).isEmpty());
    QProcess flash;
    flash.setWorkingDirectory(dir->path());
    startFlash(flash, {QStringLiteral("-p"), name, QStringLiteral("-w"), QStringLiteral("0.2"),
                       image(QByteArray(64, 'x'))});
    const FlashRun run = finishedRun(flash);
    QCOMPARE(run.exitCode, 3);
    QVERIFY2(run.err.contains("no such port") && run.err.contains("write ./fixture"),
             run.err.constData());
    // The ports present are named once, in the summary.
    QVERIFY2(!run.err.contains("Present now"), run.err.constData());
}

void FlashTest::repeatEndsWithASummaryPerPort()
{
    Simulator device;
    const QString link = boardsOnAFixture(device);
    QVERIFY(!link.isEmpty());
    QProcess flash;
    startFlash(flash, {QStringLiteral("-p"), link, QStringLiteral("--repeat"),
                       image(escapeHeavyBytes(2000, 9))});
    QVERIFY(flash.waitForStarted());
    QByteArray out;
    QVERIFY(waitForOutput(flash, out, ": updated", 2));
    interrupt(flash);
    FlashRun run = finishedRun(flash);
    run.out.prepend(out);
    QCOMPARE(run.exitCode, 130);
    // A board that restarts takes its port along: the line says the port has gone, not that the
    // run waits for the board to leave.
    QVERIFY2(run.out.contains(": port gone, waiting for it to come back"), run.out.constData());
    // The end: a row per port with its counts, not a row per board (those are in the log).
    const QList<QByteArray> lines = run.out.trimmed().split('\n');
    QVERIFY2(lines.size() >= 2, run.out.constData());
    QCOMPARE(lines[lines.size() - 2].simplified(), QByteArray("PORT UPDATED OTHER RESULTS"));
    const QList<QByteArray> row = lines.last().simplified().split(' ');
    QCOMPARE(row.first(), QFile::encodeName(link));
    QVERIFY2(row.value(1).toInt() >= 2, lines.last().constData());
    // The board under way when the run was stopped, if one was, is counted by its result's name.
    const QByteArray others = row.mid(2).join(' ');
    QVERIFY2(others == "-" || others == "1 interrupted", lines.last().constData());
}

void FlashTest::repeatFollowsItsAdapter()
{
    const QString unavailable = FakeAdapter::unavailableReason();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no USB adapter can be plugged in: ") + unavailable));
    const FakeAdapter::Identity identity{QStringLiteral("A1B2C3")};
    auto device = std::make_unique<Simulator>();
    QVERIFY(device->start({}));
    auto adapter = std::make_unique<FakeAdapter>(QStringLiteral("ttyUSBa"), identity, device->port);
    QVERIFY2(adapter->isPlugged(), qPrintable(adapter->error()));
    QProcess flash;
    startFlash(flash,
               {QStringLiteral("--serial"), identity.serialNumber, QStringLiteral("--repeat"),
                QStringLiteral("--json"), image(escapeHeavyBytes(2000, 9))});
    QVERIFY(flash.waitForStarted());
    QByteArray out;
    QVERIFY(waitForOutput(flash, out, "\"event\":\"result\""));

    // Pulled out with its board, and back under another name with the next board, put on after a
    // silence (on the same adapter only a silence tells a new board from the one just updated).
    adapter.reset();
    device.reset();
    device = std::make_unique<Simulator>();
    QVERIFY(device->start({QStringLiteral("--silent-probes"), QStringLiteral("8")}));
    adapter = std::make_unique<FakeAdapter>(QStringLiteral("ttyUSBb"), identity, device->port);
    QVERIFY2(adapter->isPlugged(), qPrintable(adapter->error()));
    QVERIFY2(waitForOutput(flash, out, "\"event\":\"result\"", 2), out.constData());
    interrupt(flash);
    QCOMPARE(finishedRun(flash).exitCode, 130);

    QStringList updated;
    for (const QByteArray &line : out.split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (event.value("event").toString() == QLatin1String("result"))
            updated.append(event.value("port").toString() + ' ' + event.value("result").toString());
    }
    QCOMPARE(updated, (QStringList{"ttyUSBa updated", "ttyUSBb updated"}));
}

void FlashTest::redrawnLinesFollowAResizedTerminal()
{
    // Standard output on a pseudo-terminal 100 columns wide that shrinks to 50 mid-update: the
    // lines redrawn after that must fit, or they would wrap and tear the drawing.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString terminal = QString::fromLocal8Bit(::ptsname(master));
    const auto resize = [master](unsigned short columns) {
        winsize size{24, columns, 0, 0};
        return ::ioctl(master, TIOCSWINSZ, &size) == 0;
    };
    QVERIFY(resize(100));
    Simulator device;
    QVERIFY(device.start({QStringLiteral("--delay"), QStringLiteral("1"),
                          QStringLiteral("--max-delay"), QStringLiteral("20")}));
    QProcess flash;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm"));
    flash.setProcessEnvironment(environment);
    flash.setStandardOutputFile(terminal);
    startFlash(flash, {QStringLiteral("-p"), device.port, image(escapeHeavyBytes(8192, 4))});
    QByteArray before;
    QByteArray after;
    const auto readInto = [master](QByteArray &out) {
        char chunk[4096];
        ssize_t got = 0;
        while ((got = ::read(master, chunk, sizeof chunk)) > 0)
            out.append(chunk, got);
    };
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    QTRY_VERIFY_WITH_TIMEOUT((readInto(before), before.contains("% ")), PatienceMs);
    QVERIFY(resize(50));
    // The redrawn lines, each as long as it is drawn.
    const auto drawn = [](const QByteArray &out) {
        QList<qsizetype> lengths;
        for (const QByteArray &line : out.split('\x1b')) {
            if (line.startsWith("[2K"))
                lengths.append(line.mid(3).split('\n').first().trimmed().size());
        }
        return lengths;
    };
    // Lines drawn before the size changed may still come out at the old width: the check starts
    // with the first line that fits, and every line after it must fit too.
    const auto fittingFromFirstFit = [&] {
        const QList<qsizetype> lengths = drawn(after);
        const auto first =
            std::find_if(lengths.begin(), lengths.end(), [](qsizetype n) { return n <= 49; });
        return QList<qsizetype>(first, lengths.end());
    };
    QTRY_VERIFY_WITH_TIMEOUT((readInto(after), fittingFromFirstFit().size() >= 3), PatienceMs);
    // Ended as a user ends it, so that it lets go of its port and the port's lock file: a lock
    // left behind by root would keep the unprivileged pass from the next port of that number.
    interrupt(flash);
    QCOMPARE(finishedRun(flash).exitCode, 130);
    ::close(master);
    const QList<qsizetype> before50 = drawn(before);
    QVERIFY2(!before50.isEmpty() && *std::max_element(before50.begin(), before50.end()) > 50,
             before.constData());
    const QList<qsizetype> fitting = fittingFromFirstFit();
    QVERIFY2(*std::max_element(fitting.begin(), fitting.end()) <= 49, after.constData());
}

void FlashTest::stationsShareOneLog()
{
    // Two runs on one machine append to one log: every record whole, on a line of its own.
    Simulator first;
    Simulator second;
    QVERIFY(first.start({}));
    QVERIFY(second.start({}));
    const QString log = dir->filePath(QStringLiteral("shared.jsonl"));
    QProcess a;
    QProcess b;
    for (auto [process, port] : {std::pair{&a, first.port}, std::pair{&b, second.port}})
        startFlash(*process, {QStringLiteral("-p"), port, QStringLiteral("--log"), log,
                              image(escapeHeavyBytes(2048, 5))});
    QCOMPARE(finishedRun(a).exitCode, 0);
    QCOMPARE(finishedRun(b).exitCode, 0);
    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QStringList ports;
    for (const QByteArray &line : lines)
        ports.append(
            QJsonDocument::fromJson(line).object().value(QLatin1String("port")).toString());
    ports.sort();
    QStringList expected{first.port, second.port};
    expected.sort();
    QCOMPARE(ports, expected);
}

void FlashTest::helpVersionAndList()
{
    const FlashRun help = runFlash({QStringLiteral("--help")});
    QCOMPARE(help.exitCode, 0);
    const QString text = QString::fromUtf8(help.out);
    for (const char *line :
         {"  0    every device updated", "  1    usage error", "  2    the image",
          "  3    a port could not be opened", "  4    no device answered",
          "  5    the device cancelled", "  6    the device stayed silent",
          "  7    the port was lost", "  130  interrupted"})
        QVERIFY2(text.contains(QLatin1String(line)), line);
    QVERIFY(text.contains(QLatin1String("--repeat")));

    const FlashRun version = runFlash({QStringLiteral("--version")});
    QCOMPARE(version.exitCode, 0);
    QVERIFY(QRegularExpression(QStringLiteral("^vantuflash \\d+\\.\\d+\\.\\d+\\n$"))
                .match(QString::fromUtf8(version.out))
                .hasMatch());

    const FlashRun list = runFlash({QStringLiteral("--list"), QStringLiteral("--json")});
    QCOMPARE(list.exitCode, 0);
    for (const QJsonObject &port : list.events()) {
        QCOMPARE(port.value(QLatin1String("event")).toString(), QStringLiteral("port"));
        QVERIFY(!port.value(QLatin1String("port")).toString().isEmpty());
    }
    QCOMPARE(runFlash({QStringLiteral("--list")}).exitCode, 0);
    QCOMPARE(runFlash({QStringLiteral("--list"), QStringLiteral("-p"), QStringLiteral("ttyS0")})
                 .exitCode,
             1);
}

void FlashTest::linksNeitherGuiNorWidgets()
{
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), {QStringLiteral(VANTUFLASH_PATH)});
    QVERIFY(ldd.waitForFinished(PatienceMs));
    const QByteArray libraries = ldd.readAllStandardOutput();
    QVERIFY2(libraries.contains("libQt6Core"), libraries.constData());
    QVERIFY2(libraries.contains("libQt6SerialPort"), libraries.constData());
    QVERIFY2(!libraries.contains("libQt6Gui") && !libraries.contains("libQt6Widgets"),
             libraries.constData());
}

QTEST_GUILESS_MAIN(FlashTest)
#include "tst_flash.moc"
