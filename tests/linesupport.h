#pragma once

// The device's end of a pseudo-terminal for the suites that play it, and the programs they run
// beside themselves: the simulator, a process of a given name. Pseudo-terminals are a POSIX
// thing: these suites are built where the system has them.

#include "pseudoterminal.h"
#include "testsupport.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>

// The device's end of a pseudo-terminal, played step by step by a test: it records every host
// frame the tool sends and sends whatever device frames the test asks for.
class ScriptedDevice : public QObject
{
    Q_OBJECT

public:
    explicit ScriptedDevice(QObject *parent = nullptr);

    bool open() { return line.open(); }
    QString path() const { return line.slavePath(); }
    PseudoTerminal &terminal() { return line; }

    void send(quint8 code, quint32 data = 0, quint8 extra0 = 0, quint8 extra1 = 0);
    void sendFrame(const DeviceFrame &frame);

    // Waits until at least count host frames have arrived in all.
    bool waitForFrames(int count, int timeoutMs = testing::PatienceMs);
    // Waits until a host frame with that command has arrived, as frame number from or later.
    bool waitForCommand(quint8 command, int from = 0);
    // Commands of the host frames received so far, in order.
    QList<quint8> commands() const;
    // The same with each run of probes as one: a tool probes again whenever an answer has not
    // reached it within its response time-out, which a loaded machine can make happen anywhere.
    QList<quint8> steps() const;

    // Answers the host's probe and then its version query (DeviceVersion); false when either
    // does not come.
    bool answerHandshake();
    // Sends a data request and waits for the host's answer; returns that frame (zeros when none
    // came).
    FramePayload request(quint32 offset);

    QList<FramePayload> frames; // every host frame, in order
    QByteArray raw;             // every byte the tool wrote
    int badChecks = 0;          // frames whose check byte was wrong

signals:
    void frameReceived(const FramePayload &payload);

private:
    void readLine();

    PseudoTerminal line;
    HostFrameParser parser;
};

namespace testing {

// A process that shows up under the given name in /proc, as the named service would: a copy of
// sleep, which is ended with the test.
class NamedProcess
{
public:
    NamedProcess(const QString &dir, const QString &name);
    ~NamedProcess();
    NamedProcess(const NamedProcess &) = delete;
    NamedProcess &operator=(const NamedProcess &) = delete;
    bool running() const { return process.state() == QProcess::Running; }
    qint64 pid() const { return process.processId(); }

private:
    QProcess process;
};

// Starts the devicesim program with the given options (--port PATH plays the device on that
// port); returns the port it announces, or nothing when it did not start (or ended first).
QString startSimulator(QProcess &simulator, const QStringList &options);

} // namespace testing
