#include "benchline.h"

#include "linesettings.h"
#include "procstats.h"
#include "steadyclock.h"
#include "updateprotocol.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>

#include <sched.h>
#include <sys/prctl.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

extern char **environ;

namespace {

// Reads are retried without sleeping for this long after the last traffic, then the loop sleeps
// in poll(): waking from poll() would add the device's own wake-up time to every answer. Long
// enough to cover a host's answer, short enough not to burn a core when idle. Every retry yields
// the processor: the pseudo-terminal moves bytes between its two sides in a kernel worker, and a
// device spinning without yielding keeps that worker off its core for milliseconds.
constexpr std::int64_t SpinNs = 2000000;
// A paced write is slept towards until this close to its time, then waited for by spinning.
constexpr std::int64_t SleepMarginNs = 150000;
// No traffic for this long during an update ends it as failed.
constexpr std::int64_t StallNs = 20000000000LL;
// The several-line loop spins for reads only this long after the last traffic, then sleeps in
// ppoll() until a line has bytes or a write is near. Spinning for milliseconds, as the one-line
// loop does, keeps a processor the host needs: with many lines traffic never stops, and on two
// processors the host and the pseudo-terminals' kernel work would share the other one. Long
// enough to catch a running host's answer without a wake-up.
constexpr std::int64_t GangSpinNs = 100000;
// With nothing due and no traffic, the several-line loop looks at its lines this often.
constexpr std::int64_t IdlePollNs = 100000000;

QString systemError(const char *what)
{
    return u"%1: %2"_s.arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

void waitUntil(std::int64_t dueNs)
{
    for (;;) {
        const std::int64_t now = steadyNs();
        if (now >= dueNs)
            return;
        if (dueNs - now > SleepMarginNs) {
            const std::int64_t wake = dueNs - SleepMarginNs;
            timespec until{time_t(wake / 1000000000), long(wake % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        }
    }
}

// The device's bytes onto the line in full, the master being non-blocking.
bool writeOut(int fd, const DeviceModel::Output &out, QString &error)
{
    int done = 0;
    while (done < out.size) {
        const ssize_t n = ::write(fd, out.bytes.data() + done, size_t(out.size - done));
        if (n > 0) {
            done += int(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            error = systemError("write to the line");
            return false;
        }
    }
    return true;
}

// While it lives, the thread's sleeps end when asked, not up to 50 us later (the default timer
// slack): a write due after a sleep in ppoll() must not start late.
class FineTimers
{
public:
    FineTimers() : m_slackNs(::prctl(PR_GET_TIMERSLACK)) { ::prctl(PR_SET_TIMERSLACK, 1UL); }
    ~FineTimers()
    {
        if (m_slackNs > 0)
            ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(m_slackNs));
    }
    FineTimers(const FineTimers &) = delete;
    FineTimers &operator=(const FineTimers &) = delete;

private:
    int m_slackNs;
};

std::int64_t threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The host's CPU time and peak memory once it has nothing left to do but take the last RSP_DONE:
// read before that frame goes out, since a host may exit the moment it has it.
void noteHostAtDone(const HostProcess &host, HostUse &use)
{
    use.cpuAtDoneNs = host.cpuNs();
    use.peakKb = std::max(use.peakKb, host.statusKb("VmHWM"));
}

// The host's CPU time and memory once the device has asked for the first piece.
void noteHostAtStart(const HostProcess &host, HostUse &use)
{
    use.cpuAtStartNs = host.cpuNs();
    use.rssAtStartKb = host.statusKb("VmRSS");
}

} // namespace

HostProcess::~HostProcess()
{
    if (m_pid > 0)
        finish(2000);
    if (m_input >= 0)
        ::close(m_input);
    if (m_output >= 0)
        ::close(m_output);
}

bool HostProcess::start(const QStringList &arguments, const QString &errorLog, QString &error)
{
    int toHost[2];
    int fromHost[2];
    if (::pipe2(toHost, O_CLOEXEC) < 0 || ::pipe2(fromHost, O_CLOEXEC) < 0) {
        error = systemError("pipe");
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toHost[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromHost[1], STDOUT_FILENO);
    const QByteArray logPath = QFile::encodeName(errorLog);
    if (!errorLog.isEmpty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.constData(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);

    std::vector<QByteArray> encoded;
    for (const QString &argument : arguments)
        encoded.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    const int spawned = posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toHost[0]);
    ::close(fromHost[1]);
    m_input = toHost[1];
    m_output = fromHost[0];
    if (spawned != 0) {
        m_pid = -1;
        error = u"cannot start %1: %2"_s.arg(arguments.value(0),
                                             QString::fromLocal8Bit(std::strerror(spawned)));
        return false;
    }
    ::fcntl(m_output, F_SETFL, ::fcntl(m_output, F_GETFL) | O_NONBLOCK);
    return true;
}

void HostProcess::send(const QByteArray &line)
{
    const QByteArray bytes = line + '\n';
    if (m_input >= 0 && ::write(m_input, bytes.constData(), size_t(bytes.size())) < 0)
        ::perror("write to host");
}

bool HostProcess::readLines(std::vector<QByteArray> &lines)
{
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(m_output, chunk, sizeof chunk);
        if (n > 0) {
            m_pending.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        const bool open = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        qsizetype end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            lines.push_back(m_pending.left(end));
            m_pending.remove(0, end + 1);
        }
        return open;
    }
}

int HostProcess::finish(int timeoutMs, rusage *usage)
{
    if (m_pid <= 0)
        return -1;
    int status = 0;
    rusage used{};
    const std::int64_t deadline = steadyNs() + std::int64_t(timeoutMs) * 1000000;
    for (;;) {
        const pid_t done = ::wait4(m_pid, &status, WNOHANG, &used);
        if (done == m_pid)
            break;
        if (steadyNs() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::wait4(m_pid, &status, 0, &used);
            m_pid = -1;
            return -1;
        }
        ::usleep(2000);
    }
    m_pid = -1;
    if (usage)
        *usage = used;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::int64_t HostProcess::cpuNs() const
{
    if (m_pid <= 0)
        return -1;
    // Qt starts helper threads of its own: every thread's time counts.
    const QDir tasks(u"/proc/%1/task"_s.arg(m_pid));
    const QStringList threads = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (threads.isEmpty())
        return -1;
    std::int64_t sum = 0;
    for (const QString &thread : threads) {
        QFile schedstat(tasks.filePath(thread + u"/schedstat"_s));
        if (!schedstat.open(QIODevice::ReadOnly))
            continue; // the thread has just ended
        sum += schedstat.readLine().split(' ').value(0).toLongLong();
    }
    return sum;
}

qint64 HostProcess::statusKb(const char *field) const
{
    return m_pid <= 0 ? -1 : ::statusKb(m_pid, field);
}

DeviceSide::DeviceSide(const QByteArray &image, LineTiming timing, quint32 stride,
                       UpdateFigures &figures)
    : m_timing(timing), m_figures(figures)
{
    DeviceOptions options;
    options.strict = true;
    options.image = image;
    options.imageSize = image.size();
    options.maxImageSize = MaxImageSize;
    options.stride = std::max(4u, stride);
    setOptions(options);
    figures.imageSize = image.size();
    figures.turnaroundNs.reserve(size_t(image.size() / options.stride + 1));
}

void DeviceSide::received(const quint8 *bytes, qint64 count, std::int64_t readNs)
{
    receive(bytes, count, readNs);
    m_figures.badChecks = stats().badCheckFrames;
    m_figures.unexpected = stats().unexpectedFrames;
}

std::int64_t DeviceSide::hostFrame(const HostFrameParser::Result &frame, std::int64_t readNs)
{
    // When the frame's last bit reaches the device on the modelled line.
    m_readNs = readNs;
    m_lineStartNs = readNs;
    m_frameBytes = frame.wireBytes;
    std::int64_t arrivalNs = readNs;
    if (m_timing.baud > 0) {
        m_lineStartNs = std::max(readNs, m_hostLineFreeNs);
        arrivalNs = m_lineStartNs + m_timing.lineNs(frame.wireBytes);
        m_hostLineFreeNs = arrivalNs;
    }
    if (frame.checkOk && state() == State::Transferring)
        m_figures.hostBytes += frame.wireBytes;
    return arrivalNs;
}

void DeviceSide::started()
{
    m_figures.hostBytes += m_frameBytes;
    m_figures.startNs = m_lineStartNs;
}

void DeviceSide::piece(quint32, const quint8 *, bool good)
{
    m_figures.turnaroundNs.push_back(m_readNs - m_requestWrittenNs);
    ++m_figures.dataFrames;
    if (!good)
        ++m_figures.dataErrors;
}

quint8 DeviceSide::sent(std::int64_t writeNs)
{
    const Output &out = front();
    const quint8 code = out.frame[3];
    if (m_timing.baud > 0) {
        const std::int64_t late = writeNs - out.dueNs;
        m_figures.lateSumNs += late;
        m_figures.lateMaxNs = std::max(m_figures.lateMaxNs, late);
    }
    if (code == RSP_DATA_REQUEST || code == RSP_DONE)
        m_figures.deviceBytes += out.size;
    if (code == RSP_DATA_REQUEST)
        m_requestWrittenNs = writeNs;
    if (code == RSP_DONE && !m_doneSent) {
        m_figures.doneNs = writeNs;
        m_doneSent = true;
    }
    pop();
    return code;
}

LineDevice::LineDevice(PtyLine &line, HostProcess &host, const QByteArray &image, LineTiming timing,
                       quint32 stride, HostKind kind)
    : m_line(line), m_host(host), m_image(image), m_timing(timing), m_stride(stride), m_kind(kind)
{}

bool LineDevice::finished(const DeviceSide &side) const
{
    return m_kind == HostKind::Commanded ? m_reported : side.doneSent() && !m_hostOpen;
}

bool LineDevice::run(UpdateFigures &figures, QString &error)
{
    DeviceSide side(m_image, m_timing, m_stride, figures);

    const int fd = m_line.masterFd();
    std::int64_t lastTrafficNs = steadyNs();
    quint8 buffer[4096];
    while (!finished(side)) {
        if (side.hasOutput()) {
            if (!writeDue(side, figures, error))
                return false;
            lastTrafficNs = steadyNs(); // an answer is due: spin for it
        }
        if (side.transferStarted() && figures.hostUse.cpuAtStartNs < 0)
            noteHostAtStart(m_host, figures.hostUse);

        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            const std::int64_t readNs = steadyNs();
            lastTrafficNs = readNs;
            side.received(buffer, n, readNs);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = systemError("read from the line");
            return false;
        }

        const std::int64_t now = steadyNs();
        if (now - lastTrafficNs < SpinNs && !side.doneSent()) {
            sched_yield();
            continue;
        }
        if (now - lastTrafficNs > StallNs) {
            error = u"no traffic for %1 s"_s.arg(StallNs / 1000000000);
            return false;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_host.outputFd(), POLLIN, 0}};
        ::poll(fds, 2, 100);
        if (!handleHostLines(figures, error))
            return false;
    }
    return true;
}

bool LineDevice::handleHostLines(UpdateFigures &figures, QString &error)
{
    std::vector<QByteArray> lines;
    m_hostOpen = m_host.readLines(lines);
    if (m_kind == HostKind::Autonomous) {
        // Its peak so far, while it is still there to be asked.
        figures.hostUse.peakKb = std::max(figures.hostUse.peakKb, m_host.statusKb("VmHWM"));
        figures.hostUse.output.insert(figures.hostUse.output.end(), lines.begin(), lines.end());
        if (!m_hostOpen && figures.doneNs == 0) {
            error = u"the host process ended before RSP_DONE"_s;
            return false;
        }
        return true;
    }
    for (const QByteArray &line : lines) {
        if (line.startsWith("report ")) {
            figures.hostReport = QJsonDocument::fromJson(line.mid(7)).object();
            m_reported = true;
        } else if (line.startsWith("error ")) {
            error = u"host: %1"_s.arg(QString::fromUtf8(line.mid(6)));
            return false;
        }
    }
    if (!m_hostOpen && !m_reported) {
        error = u"the host process ended before its report"_s;
        return false;
    }
    return true;
}

bool LineDevice::writeDue(DeviceSide &side, UpdateFigures &figures, QString &error)
{
    while (side.hasOutput()) {
        const DeviceModel::Output &out = side.front();
        if (out.frame[3] == RSP_DONE && figures.hostUse.cpuAtDoneNs < 0)
            noteHostAtDone(m_host, figures.hostUse);
        if (m_timing.baud > 0)
            waitUntil(out.dueNs);
        const std::int64_t writeNs = steadyNs();
        if (!writeOut(m_line.masterFd(), out, error))
            return false;
        const quint8 code = side.sent(writeNs);
        if (code == RSP_VERSION && !m_downloadAsked && m_kind == HostKind::Commanded) {
            m_downloadAsked = true;
            m_host.send("download");
        }
        if (code == RSP_DONE && !m_reportAsked && m_kind == HostKind::Commanded) {
            m_reportAsked = true;
            m_host.send("report");
        }
    }
    return true;
}

GangDevice::GangDevice(const std::vector<PtyLine *> &lines, HostProcess &host,
                       const QByteArray &image, LineTiming timing, quint32 stride)
    : m_lines(lines), m_host(host), m_image(image), m_timing(timing), m_stride(stride)
{}

bool GangDevice::run(GangFigures &figures, QString &error)
{
    const size_t count = m_lines.size();
    figures.lines.assign(count, UpdateFigures{});
    m_sides.clear();
    m_fds.clear();
    for (size_t i = 0; i < count; ++i) {
        m_sides.push_back(
            std::make_unique<DeviceSide>(m_image, m_timing, m_stride, figures.lines[i]));
        m_fds.push_back({m_lines[i]->masterFd(), POLLIN, 0});
    }
    m_fds.push_back({m_host.outputFd(), POLLIN, 0});
    m_started = m_ending = m_done = 0;
    m_hostOpen = true;

    const std::int64_t benchCpuBefore = threadCpuNs();
    const FineTimers fineTimers;
    std::int64_t lastTrafficNs = steadyNs();
    while (m_done < count || m_hostOpen) {
        bool moved = false;
        std::int64_t nextDueNs = std::numeric_limits<std::int64_t>::max();
        if (!writeDue(figures, moved, nextDueNs, error) || !readAvailable(figures, moved, error))
            return false;
        // The host's figures at the start are read once the first request is out, so that the
        // reading does not hold it back.
        if (m_started > 0 && figures.hostUse.cpuAtStartNs < 0 && !moved)
            noteHostAtStart(m_host, figures.hostUse);
        if (moved)
            lastTrafficNs = steadyNs();
        else if (!idle(nextDueNs, lastTrafficNs, error))
            return false;
        if (m_done == count && m_endHostWhen && !m_hostEnded && m_endHostWhen())
            m_hostEnded = ::kill(m_host.pid(), SIGTERM) == 0;
    }
    figures.benchCpuNs = threadCpuNs() - benchCpuBefore;
    return true;
}

bool GangDevice::writeDue(GangFigures &figures, bool &moved, std::int64_t &nextDueNs,
                          QString &error)
{
    std::int64_t now = steadyNs();
    for (size_t i = 0; i < m_sides.size(); ++i) {
        DeviceSide &side = *m_sides[i];
        while (side.hasOutput()) {
            const DeviceModel::Output &out = side.front();
            if (out.dueNs > now) {
                nextDueNs = std::min(nextDueNs, out.dueNs);
                break;
            }
            const std::int64_t writeNs = steadyNs();
            if (!writeOut(m_lines[i]->masterFd(), out, error))
                return false;
            moved = true;
            if (side.sent(writeNs) == RSP_DONE && ++m_done == m_sides.size())
                figures.lastDoneNs = writeNs;
            now = steadyNs();
        }
    }
    return true;
}

bool GangDevice::readAvailable(GangFigures &figures, bool &moved, QString &error)
{
    if (::poll(m_fds.data(), nfds_t(m_fds.size()), 0) <= 0)
        return true;
    const size_t count = m_sides.size();
    quint8 buffer[4096];
    for (size_t i = 0; i < count; ++i) {
        if (!(m_fds[i].revents & POLLIN))
            continue;
        const ssize_t n = ::read(m_fds[i].fd, buffer, sizeof buffer);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = systemError("read from a line");
            return false;
        }
        if (n <= 0)
            continue;
        DeviceSide &side = *m_sides[i];
        const bool wasStarted = side.transferStarted();
        const bool wasEnding = side.doneQueued();
        side.received(buffer, n, steadyNs());
        moved = true;
        if (!wasStarted && side.transferStarted() && m_started++ == 0)
            figures.firstStartNs = figures.lines[i].startNs;
        if (!wasEnding && side.doneQueued() && ++m_ending == count)
            noteHostAtDone(m_host, figures.hostUse);
    }
    return !m_fds.back().revents || readHost(figures, error);
}

bool GangDevice::readHost(GangFigures &figures, QString &error)
{
    std::vector<QByteArray> lines;
    m_hostOpen = m_host.readLines(lines);
    figures.hostUse.output.insert(figures.hostUse.output.end(), lines.begin(), lines.end());
    if (m_done == m_sides.size())
        figures.hostUse.peakKb = std::max(figures.hostUse.peakKb, m_host.statusKb("VmHWM"));
    if (m_hostOpen)
        return true;
    m_fds.back().fd = -1; // poll() passes over it from now on
    if (m_done == m_sides.size())
        return true;
    error = u"the host process ended before RSP_DONE on every line (%1 of %2)"_s.arg(m_done).arg(
        m_sides.size());
    return false;
}

bool GangDevice::idle(std::int64_t nextDueNs, std::int64_t lastTrafficNs, QString &error)
{
    const std::int64_t now = steadyNs();
    // A frame due within the sleep margin, or traffic a moment ago: spin.
    const bool dueSoon = nextDueNs - now <= SleepMarginNs;
    if (dueSoon || (m_done < m_sides.size() && now - lastTrafficNs < GangSpinNs)) {
        sched_yield();
        return true;
    }
    if (now - lastTrafficNs > StallNs) {
        error = u"no traffic for %1 s (%2 of %3 lines done)"_s.arg(StallNs / 1000000000)
                    .arg(m_done)
                    .arg(m_sides.size());
        return false;
    }
    const std::int64_t sleepNs = std::min<std::int64_t>(
        IdlePollNs, std::max<std::int64_t>(0, nextDueNs - now - SleepMarginNs));
    const timespec timeout{time_t(sleepNs / 1000000000), long(sleepNs % 1000000000)};
    ::ppoll(m_fds.data(), nfds_t(m_fds.size()), &timeout, nullptr);
    return true;
}
