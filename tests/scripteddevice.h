#pragma once

#include "devicelink.h"
#include "pseudoterminal.h"
#include "timing.h"
#include "vantuupdate.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTest>

#include <chrono>

class QLabel;
class QProcess;

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
    void sendRaw(const QByteArray &bytes);

    // Waits until at least count host frames have arrived in all.
    bool waitForFrames(int count, int timeoutMs = 2000);
    // Commands of the host frames received so far, in order.
    QList<quint8> commands() const;

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

using namespace std::chrono_literals;

// Long enough for the tool's response timer to run out once, with room to spare: whatever the
// tool does at a time-out has been done by then.
constexpr std::chrono::milliseconds PastTimeout = ResponseTimeout + 30ms;

// The one update window the test has open.
vantuUpdate &window();

// The window's widget of that type and object name, or nullptr.
template <typename T> T *widget(const char *name)
{
    return window().findChild<T *>(QLatin1String(name));
}

// The text of the window's status line.
QString status();

// Runs the event loop for period, or until happened() is true; true when it never was. For what
// must not happen, such as a frame the tool must not send: a fault fails the test at once.
template <typename Predicate> bool neverWithin(std::chrono::milliseconds period, Predicate happened)
{
    return !QTest::qWaitFor(happened, int(period.count()));
}

// Collects the lines of the tool's wire trace (the vantu.wire category) for as long as it lives.
// The category stays off, as the tool has it, until enable(); the end of the trace switches it off
// and gives the messages back to the handler that was there before.
class WireTrace
{
public:
    WireTrace();
    ~WireTrace();
    WireTrace(const WireTrace &) = delete;
    WireTrace &operator=(const WireTrace &) = delete;

    void enable();

    QStringList lines; // the messages, without the category's name

private:
    static void capture(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QtMessageHandler m_previous = nullptr;
};

// Makes any warning from Qt fail the current test (a by-name connection that found no signal, a
// port used wrongly), except the offscreen platform's note on size hints.
void failOnQtWarnings();

// Clicks File and answers the open-file dialog that comes up: with path, or cancels it when path
// is empty.
void chooseFile(vantuUpdate &dialog, const QString &path);

// Types portPath into the port box and chooses imagePath with File: the procedure starts.
void startProcedure(vantuUpdate &dialog, const QString &portPath, const QString &imagePath);

// Starts the procedure against the scripted device and answers the probe and the version query
// (hardware V05.07, firmware V01.00) until the window is Ready. Fails the current test otherwise.
void reachReady(vantuUpdate &dialog, ScriptedDevice &device, const QString &imagePath);

// True when the light shows the given colour.
bool lightIs(const QLabel *light, Qt::GlobalColor colour);

// Makes an image file of the given bytes in dir; returns its path.
QString writeImage(const QString &dir, const QString &name, const QByteArray &bytes);

// count bytes in which 0x7D and 0x7E are frequent, so that escaping is exercised everywhere.
QByteArray escapeHeavyBytes(int count, quint32 seed = 1);

// True when the test runs with root's rights, which open and read anything.
bool runsAsRoot();
// True in the test command's unprivileged pass (VANTU_UNPRIVILEGED_PASS set), which exists to run
// the cases that root has to skip.
bool unprivilegedPass();

// Starts the devicesim program with the given options (--port PATH plays the device on that
// port); returns the port it announces, or nothing when it did not start.
QString startSimulator(QProcess &simulator, const QStringList &options);

} // namespace testing

// Skips a case that needs an ordinary user's rights when the test runs as root, except in the
// unprivileged pass: there it fails, since the pass is there to run it.
#define VANTU_SKIP_AS_ROOT(reason)                                                                 \
    do {                                                                                           \
        if (testing::runsAsRoot()) {                                                               \
            if (testing::unprivilegedPass())                                                       \
                QFAIL("the unprivileged pass runs as root: " reason);                              \
            QSKIP(reason);                                                                         \
        }                                                                                          \
    } while (false)
