#include "linesupport.h"

#include "updateprotocol.h"

#include <QFile>
#include <QStandardPaths>
#include <QTest>

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

} // namespace testing
