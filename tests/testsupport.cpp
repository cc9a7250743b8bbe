#include "testsupport.h"

#include "updateprotocol.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <algorithm>

#include <sys/resource.h>
#include <unistd.h>

ScriptedDevice::ScriptedDevice(QObject *parent) : QObject(parent)
{
    connect(&line, &QIODevice::readyRead, this, &ScriptedDevice::readLine);
}

void ScriptedDevice::send(quint8 code, quint32 data, quint8 extra0, quint8 extra1)
{
    sendFrame(makeDeviceFrame(code, data, extra0, extra1));
}

void ScriptedDevice::sendFrame(const DeviceFrame &frame)
{
    const DeviceWireFrame wire = encodeDeviceFrame(frame);
    line.write(reinterpret_cast<const char *>(wire.bytes.data()), wire.size);
}

void ScriptedDevice::sendRaw(const QByteArray &bytes)
{
    line.write(bytes);
}

bool ScriptedDevice::waitForFrames(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return frames.size() >= count; }, timeoutMs);
}

bool ScriptedDevice::waitForCommand(quint8 command, int from)
{
    return QTest::qWaitFor([&] { return commands().indexOf(command, from) >= 0; },
                           testing::PatienceMs);
}

bool ScriptedDevice::answerHandshake()
{
    if (!waitForCommand(CMD_PING))
        return false;
    send(RSP_PRESENT);
    if (!waitForCommand(CMD_GET_VERSION))
        return false;
    send(RSP_VERSION, DeviceVersion);
    return true;
}

FramePayload ScriptedDevice::request(quint32 offset)
{
    const int before = int(frames.size());
    send(RSP_DATA_REQUEST, offset);
    if (!waitForFrames(before + 1))
        return FramePayload{};
    return frames.last();
}

QList<quint8> ScriptedDevice::commands() const
{
    QList<quint8> result;
    for (const FramePayload &payload : frames)
        result.append(payload[1]);
    return result;
}

QList<quint8> ScriptedDevice::steps() const
{
    QList<quint8> result;
    for (const FramePayload &payload : frames) {
        if (payload[1] != CMD_PING || result.isEmpty() || result.constLast() != CMD_PING)
            result.append(payload[1]);
    }
    return result;
}

void ScriptedDevice::readLine()
{
    const QByteArray bytes = line.readAll();
    raw += bytes;
    parser.feed(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size(),
                [this](const HostFrameParser::Result &result) {
                    if (!result.checkOk) {
                        ++badChecks;
                        return;
                    }
                    frames.append(result.payload);
                    emit frameReceived(result.payload);
                });
}

namespace testing {

namespace {
WireTrace *activeTrace = nullptr;
} // namespace

WireTrace::WireTrace()
{
    activeTrace = this;
    m_clock.start();
    m_previous = qInstallMessageHandler(capture);
}

WireTrace::~WireTrace()
{
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(m_previous);
    activeTrace = nullptr;
}

void WireTrace::enable()
{
    QLoggingCategory::setFilterRules(QStringLiteral("vantu.wire.debug=true"));
}

int WireTrace::count(const char *direction) const
{
    return int(std::count_if(lines.begin(), lines.end(), [direction](const QString &line) {
        return line.contains(QLatin1String(direction));
    }));
}

void WireTrace::capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "vantu.wire") == 0) {
        activeTrace->lines.append(message);
        activeTrace->atMs.append(activeTrace->m_clock.elapsed());
        if (activeTrace->onLine)
            activeTrace->onLine(message);
        return;
    }
    if (activeTrace->m_previous)
        activeTrace->m_previous(type, context, message);
}

void failOnQtWarnings()
{
    QTest::failOnWarning(
        QRegularExpression(QStringLiteral("^(?!This plugin does not support propagateSizeHints)")));
}

void FolderCase::beginCase()
{
    failOnQtWarnings();
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

QString writeImage(const QString &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write test image %s", qPrintable(path));
    return path;
}

QByteArray padded(QByteArray bytes)
{
    while (bytes.size() % 4)
        bytes.append('\0');
    return bytes;
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QByteArray escapeHeavyBytes(int count, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(count, Qt::Uninitialized);
    for (char &b : bytes) {
        const quint32 r = random.bounded(4u);
        b = char(r == 0 ? 0x7E : r == 1 ? 0x7D : random.bounded(256u));
    }
    return bytes;
}

bool runsAsRoot()
{
    return ::geteuid() == 0;
}

bool unprivilegedPass()
{
    return qEnvironmentVariableIsSet("VANTU_UNPRIVILEGED_PASS");
}

NamedProcess::NamedProcess(const QString &dir, const QString &name)
{
    const QString program = dir + QLatin1Char('/') + name;
    const QString sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    if (sleep.isEmpty() || !QFile::copy(sleep, program))
        return;
    process.start(program, {QStringLiteral("60")});
    process.waitForStarted(PatienceMs);
}

NamedProcess::~NamedProcess()
{
    process.kill();
    process.waitForFinished(PatienceMs);
}

QString startSimulator(QProcess &simulator, const QStringList &options)
{
    simulator.setProgram(QStringLiteral(DEVICESIM_PATH));
    simulator.setArguments(options);
    simulator.start();
    if (!simulator.waitForStarted(PatienceMs))
        return {};
    const bool printed = QTest::qWaitFor(
        [&] { return simulator.canReadLine() || simulator.state() == QProcess::NotRunning; },
        PatienceMs);
    if (!printed || !simulator.canReadLine())
        return {};
    const QString line = QString::fromUtf8(simulator.readLine()).trimmed();
    return line.startsWith(QLatin1String("port: ")) ? line.mid(6) : QString();
}

void runPast(std::chrono::milliseconds period)
{
    neverWithin(period, [] { return false; });
}

bool neverWithin(std::chrono::milliseconds period, const std::function<bool()> &happened)
{
    if (happened())
        return false;
    QEventLoop loop;
    QTimer reference;
    reference.setSingleShot(true);
    reference.setTimerType(Qt::PreciseTimer);
    QObject::connect(&reference, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (happened())
            loop.quit();
    });
    reference.start(period);
    check.start();
    loop.exec();
    return !happened();
}

bool pastFileClockTick(const QString &path)
{
    const QDateTime stamp = QFileInfo(path).lastModified();
    const QString probe = QFileInfo(path).absolutePath() + QStringLiteral("/.clock-tick");
    const bool moved = QTest::qWaitFor(
        [&] {
            QFile file(probe);
            return file.open(QIODevice::WriteOnly) && file.write("tick", 4) == 4 &&
                   (file.close(), QFileInfo(probe).lastModified() > stamp);
        },
        PatienceMs);
    QFile::remove(probe);
    return moved;
}

bool runUntil(const std::function<bool()> &predicate, int timeoutMs)
{
    if (predicate())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (predicate())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    return predicate();
}

} // namespace testing
