#pragma once

// Helpers for every suite, none of them a widget, on every system: bounded waits, the wire trace,
// images and their digests, the CPU used, the user the test runs as. What needs a pseudo-terminal
// is in linesupport.h.

#include "devicemodel.h"
#include "timing.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>
#include <memory>

namespace testing {

using namespace std::chrono_literals;

// How long a test waits for what must happen. Every such wait ends as soon as its condition
// holds, so this runs out only when the tool has a fault (or the machine has stopped), never
// because a loaded machine is slow.
constexpr int PatienceMs = 20000;

// Runs the event loop until a precise timer of `period`, started now, has fired. A thread's
// timers fire in the order they fall due, however late a loaded machine lets the thread get to
// them, so every timer this thread started before the call and due within period has fired when
// this returns. A coarse timer (QTimer's default) may fall due up to 5 % late: leave room for
// that in period.
void runPast(std::chrono::milliseconds period);

// The tool's response timer with room for a coarse timer's 5 %: a timer of the tool's started
// before runPast(PastTimeout) has fired when it returns, and so has whatever the tool does then.
constexpr std::chrono::milliseconds PastTimeout = ResponseTimeout + 30ms;

// runPast(period), or until happened() is true; true when it never was. For what must not
// happen, such as a status text the tool must not show: a fault fails the test at once, and the
// tool's own timers due within period have all had their turn. What reaches the device's end of
// a pseudo-terminal is seen only once that end has read it, which a loaded machine can hold
// back: a frame the tool must not send is counted where the tool sends it (WireTrace::sent()).
bool neverWithin(std::chrono::milliseconds period, const std::function<bool()> &happened);

// Collects the lines of the tool's wire trace (the vantu.wire category) for as long as it lives.
// The category stays off, as the tool has it, until enable(); the end of the trace switches it off
// and gives the messages back to the handler that was there before. One at a time.
class WireTrace
{
public:
    WireTrace();
    ~WireTrace();
    WireTrace(const WireTrace &) = delete;
    WireTrace &operator=(const WireTrace &) = delete;

    void enable();
    // The frames the tool has sent since enable(): counted as it sends them, before any reader
    // of the line has seen them; and the frames it has read.
    int sent() const { return count(" tx "); }
    int received() const { return count(" rx "); }

    QStringList lines;  // the messages, without the category's name
    QList<qint64> atMs; // when each came, in milliseconds since the trace began
    // Called with each line as the tool traces it, inside the tool's own call.
    std::function<void(const QString &line)> onLine;

private:
    static void capture(QtMsgType type, const QMessageLogContext &context, const QString &message);
    int count(const char *direction) const;

    QtMessageHandler m_previous = nullptr;
    QElapsedTimer m_clock;
};

// Waits until a file written now in the folder of path would get a later modification time than
// path has: the file system's clock moves in ticks, and a rewrite within the same tick would not
// show in the file's times.
bool pastFileClockTick(const QString &path);

// Makes any warning from Qt fail the current test (a by-name connection that found no signal, a
// port used wrongly), except the offscreen platform's note on size hints.
void failOnQtWarnings();

// The set-up every suite shares: a fresh temporary folder for each test function, and Qt warnings
// that fail it. A suite derives from it and calls beginCase() from init(), endCase() from
// cleanup().
class FolderCase
{
protected:
    void beginCase();
    void endCase() { dir.reset(); }

    std::unique_ptr<QTemporaryDir> dir;
};

// The records of a log, one object a line (an empty one for a line that is no JSON object).
QList<QJsonObject> logRecords(const QString &path);

// Makes an image file of the given bytes in dir; returns its path.
QString writeImage(const QString &dir, const QString &name, const QByteArray &bytes);
// The bytes as the host sends them: the last piece padded with zeros to four bytes.
QByteArray padded(QByteArray bytes);
// count bytes of a host frame from its third byte on; the four of a CMD_DATA are its piece.
inline QByteArray pieceOf(const FramePayload &payload, int count = 4)
{
    return QByteArray(reinterpret_cast<const char *>(payload.data() + 2), count);
}
// The SHA-256 of the bytes in lowercase hex, as the tool and the simulator show it.
QByteArray sha256Hex(const QByteArray &bytes);
// The CPU time this process has used so far, user and system, in seconds.
double cpuSeconds();

// count bytes in which 0x7D and 0x7E are frequent, so that escaping is exercised everywhere.
QByteArray escapeHeavyBytes(int count, quint32 seed = 1);

// True when the test runs with root's rights, which open and read anything.
bool runsAsRoot();
// True when the test runs as a Windows program under Wine, which is not Windows in everything.
bool underWine();
// True in the test command's unprivileged pass (VANTU_UNPRIVILEGED_PASS set), which exists to run
// the cases that root has to skip.
bool unprivilegedPass();

// Runs the event loop until predicate() holds, false when timeoutMs pass first. Unlike QTRY_* and
// qWaitFor, which sleep 10 ms between rounds of events, it does not hold back a line that is
// answered frame by frame: an update waited for this way runs at its own pace.
bool runUntil(const std::function<bool()> &predicate, int timeoutMs);

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
