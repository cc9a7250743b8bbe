#pragma once

#include "devicemodel.h"
#include "pseudoterminal.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <poll.h>

#include <sys/resource.h>
#include <sys/types.h>

// The bench's own end of a pseudo-terminal: the master descriptor, raw and non-blocking, read and
// written directly so that the device loop can time and pace every frame to the microsecond.
using PtyLine = PtyPair;

// A host process started with pipes on its standard input and output: a bench host, which takes
// the line commands of benchhost.cpp, or a program that runs the update by itself.
class HostProcess
{
public:
    HostProcess() = default;
    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;
    ~HostProcess();

    // Starts arguments[0]; its standard error goes to errorLog when that is not empty.
    bool start(const QStringList &arguments, const QString &errorLog, QString &error);
    pid_t pid() const { return m_pid; }
    int outputFd() const { return m_output; }
    void send(const QByteArray &line);
    // Moves complete output lines into lines; false once the host has closed its output.
    bool readLines(std::vector<QByteArray> &lines);
    // Waits for the host to end; kills it after timeoutMs. Returns its exit status, -1 if killed
    // or ended by a signal; usage, when given, receives what the whole process used.
    int finish(int timeoutMs, rusage *usage = nullptr);

    // CPU time all the host's threads have had so far, from the scheduler's own count (to the
    // nanosecond, where the tick counts of /proc/PID/stat are 10 ms); -1 once it has gone.
    std::int64_t cpuNs() const;
    // A field of the host's /proc/PID/status in kB (VmRSS, VmHWM); -1 once it has gone.
    qint64 statusKb(const char *field) const;

private:
    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    QByteArray m_pending;
};

// How the device side treats time. baud 0: every frame goes out the moment it is due and the
// tool's frames count from when they are read. Otherwise a line of that speed, 10 bits a byte, in
// each direction: a device frame is handed to the pseudo-terminal when its last bit would have
// reached the tool, and a tool frame counts as received its own line time after its bytes reach
// the device side (or after the line is free, if still busy).
struct LineTiming
{
    std::int64_t baud = 0;
    std::int64_t lineNs(std::int64_t bytes) const
    {
        return baud == 0 ? 0 : bytes * 10 * 1000000000LL / baud;
    }
};

// What the device side saw of the host process around a transfer, read from /proc while it ran.
struct HostUse
{
    std::int64_t cpuAtStartNs = -1; // the host's CPU time when the (first) CMD_START was read
    std::int64_t cpuAtDoneNs = -1;  // when the (last) RSP_DONE was due, before it went out
    qint64 rssAtStartKb = -1;       // resident set when the (first) CMD_START was read
    // Peak resident set (VmHWM), last read while the host was alive. Not the kernel's account at
    // its exit: posix_spawn starts the child in the bench's own memory, and that account keeps
    // the bench's peak as the child's.
    qint64 peakKb = -1;
    std::vector<QByteArray> output; // a host that runs the update by itself: its standard output

    std::int64_t transferCpuNs() const
    {
        return cpuAtStartNs < 0 || cpuAtDoneNs < 0 ? -1 : cpuAtDoneNs - cpuAtStartNs;
    }
};

// What one update looked like from the device side.
struct UpdateFigures
{
    qint64 imageSize = 0;
    int dataFrames = 0;                     // CMD_DATA received during the transfer
    std::int64_t hostBytes = 0;             // wire bytes from the tool, CMD_START to CMD_END
    std::int64_t deviceBytes = 0;           // wire bytes to the tool, first request to RSP_DONE
    std::int64_t startNs = 0;               // CMD_START read (paced: its line time starts)
    std::int64_t doneNs = 0;                // RSP_DONE handed to the line
    std::vector<std::int64_t> turnaroundNs; // request written -> complete CMD_DATA read
    std::int64_t lateSumNs = 0; // paced: how far behind the model the device wrote, in all
    std::int64_t lateMaxNs = 0;
    int dataErrors = 0;     // CMD_DATA with bytes that are not the image's, or the wrong offset
    int badChecks = 0;      // tool frames with a wrong check byte
    int unexpected = 0;     // tool frames out of place
    QJsonObject hostReport; // what the host process said about itself (procstats.h)
    HostUse hostUse;

    std::int64_t elapsedNs() const { return doneNs - startNs; }
    bool clean() const { return dataErrors == 0 && badChecks == 0 && unexpected == 0; }
};

// One device's end of one line: the device (DeviceModel, strict: a host out of step is counted,
// not followed) asks for the image in order, four bytes at a time or one piece every stride
// bytes, and checks every piece against it; the paced line's model says when a host frame counts
// as received and when a device frame is in the host's hands. A loop reads the line and hands the
// bytes over, and writes the output once it is due.
class DeviceSide : private DeviceModel
{
public:
    DeviceSide(const QByteArray &image, LineTiming timing, quint32 stride, UpdateFigures &figures);

    void received(const quint8 *bytes, qint64 count, std::int64_t readNs);
    using DeviceModel::front;
    using DeviceModel::hasOutput;
    // front() has been written to the line at writeNs: drops it and returns its code.
    quint8 sent(std::int64_t writeNs);
    bool transferStarted() const { return stats().updatesStarted > 0; }
    bool doneQueued() const { return stats().updatesCompleted > 0; }
    bool doneSent() const { return m_doneSent; }

private:
    std::int64_t hostFrame(const HostFrameParser::Result &frame, std::int64_t readNs) override;
    std::int64_t lineNs(int bytes) override { return m_timing.lineNs(bytes); }
    void piece(quint32 offset, const quint8 *bytes, bool good) override;
    void started() override;

    LineTiming m_timing;
    UpdateFigures &m_figures;
    std::int64_t m_readNs = 0;         // when the frame being handled was read
    std::int64_t m_lineStartNs = 0;    // paced: when it started on the line
    int m_frameBytes = 0;              // its wire bytes
    std::int64_t m_hostLineFreeNs = 0; // paced: when the line from the host is free again
    std::int64_t m_requestWrittenNs = 0;
    bool m_doneSent = false;
};

// How the host process is driven. Commanded: a bench host (benchhost.cpp), told "download" once
// the device has given its version and "report" once RSP_DONE is out, which answers with its
// report. Autonomous: a program that runs the whole update by itself and exits; its standard
// output is kept.
enum class HostKind
{
    Commanded,
    Autonomous,
};

// Plays the device on one line. Busy-waits on the line between frames so that its own wake-up
// time does not count against the host.
class LineDevice
{
public:
    LineDevice(PtyLine &line, HostProcess &host, const QByteArray &image, LineTiming timing,
               quint32 stride = 4, HostKind kind = HostKind::Commanded);

    // Runs one update from the host's first probe to its report (commanded) or its exit
    // (autonomous); false with error on a failure.
    bool run(UpdateFigures &figures, QString &error);

private:
    bool writeDue(DeviceSide &side, UpdateFigures &figures, QString &error);
    bool handleHostLines(UpdateFigures &figures, QString &error);
    bool finished(const DeviceSide &side) const;

    PtyLine &m_line;
    HostProcess &m_host;
    QByteArray m_image;
    LineTiming m_timing;
    quint32 m_stride;
    HostKind m_kind;

    bool m_hostOpen = true;
    bool m_downloadAsked = false;
    bool m_reportAsked = false;
    bool m_reported = false;
};

// What an update of several lines at once looked like from the device side.
struct GangFigures
{
    std::vector<UpdateFigures> lines;
    std::int64_t firstStartNs = 0; // the first line's CMD_START read
    std::int64_t lastDoneNs = 0;   // the last line's RSP_DONE handed to the line
    HostUse hostUse;
    std::int64_t benchCpuNs = 0; // the device loop's own CPU time during the run

    std::int64_t elapsedNs() const { return lastDoneNs - firstStartNs; }
};

// Plays one device on each of several lines at once, all served by one autonomous host process.
// One thread and one loop over every master, each line with its own state and pacing: on a
// machine with few processors, one busy-waiting thread per line would take the processors from
// the host being measured, and their scheduling would show in the figures. For the same reason
// the loop spins only briefly after traffic and otherwise sleeps in poll until a line has bytes
// or a write is near.
class GangDevice
{
public:
    GangDevice(const std::vector<PtyLine *> &lines, HostProcess &host, const QByteArray &image,
               LineTiming timing, quint32 stride = 4);

    // Runs the updates from the host's first probe to its exit; false with error on a failure.
    bool run(GangFigures &figures, QString &error);
    // For a host that goes on waiting for the next boards (the station): once every line is done
    // and ready() says the host has recorded them, the host gets SIGTERM.
    void endHostWhen(std::function<bool()> ready) { m_endHostWhen = std::move(ready); }

private:
    // Writes what is due on every line; nextDueNs gets the first frame still to come.
    bool writeDue(GangFigures &figures, bool &moved, std::int64_t &nextDueNs, QString &error);
    // Reads what the lines and the host have, without waiting.
    bool readAvailable(GangFigures &figures, bool &moved, QString &error);
    bool readHost(GangFigures &figures, QString &error);
    // Nothing moved: spins, or sleeps until a line has bytes or a write is near.
    bool idle(std::int64_t nextDueNs, std::int64_t lastTrafficNs, QString &error);

    std::vector<PtyLine *> m_lines;
    HostProcess &m_host;
    QByteArray m_image;
    LineTiming m_timing;
    quint32 m_stride;

    // The run under way.
    std::vector<std::unique_ptr<DeviceSide>> m_sides;
    std::vector<pollfd> m_fds; // the lines', then the host's output
    size_t m_started = 0;
    size_t m_ending = 0; // lines whose RSP_DONE is queued
    size_t m_done = 0;   // lines whose RSP_DONE is out
    bool m_hostOpen = true;
    std::function<bool()> m_endHostWhen;
    bool m_hostEnded = false; // SIGTERM sent
};
