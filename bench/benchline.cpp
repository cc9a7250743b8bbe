#include "benchline.h"

#include "benchclock.h"
#include "linesettings.h"
#include "updateprotocol.h"

#include <QFile>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <sched.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
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

quint8 imageByte(const QByteArray &image, qint64 offset)
{
    return offset < image.size() ? quint8(image[qsizetype(offset)]) : 0;
}

} // namespace

PtyLine::~PtyLine()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool PtyLine::open(QString &error)
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) < 0 || ::unlockpt(m_master) < 0) {
        error = systemError("posix_openpt");
        return false;
    }
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0) {
        error = systemError("ptsname");
        return false;
    }
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0) {
        error = systemError("open slave");
        return false;
    }
    if (!setRawLine(m_slave)) {
        error = systemError("tcsetattr");
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    return true;
}

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
        error = QStringLiteral("cannot start %1: %2")
                    .arg(arguments.value(0), QString::fromLocal8Bit(std::strerror(spawned)));
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

int HostProcess::finish(int timeoutMs)
{
    if (m_pid <= 0)
        return -1;
    int status = 0;
    const std::int64_t deadline = steadyNs() + std::int64_t(timeoutMs) * 1000000;
    for (;;) {
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid)
            break;
        if (steadyNs() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            m_pid = -1;
            return -1;
        }
        ::usleep(2000);
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

LineDevice::LineDevice(PtyLine &line, HostProcess &host, const QByteArray &image, LineTiming timing,
                       quint32 stride)
    : m_line(line), m_host(host), m_image(image), m_timing(timing), m_stride(std::max(4u, stride))
{}

bool LineDevice::run(UpdateFigures &figures, QString &error)
{
    m_figures = &figures;
    figures.imageSize = m_image.size();
    figures.hostPid = m_host.pid();
    figures.turnaroundNs.reserve(size_t(m_image.size() / m_stride + 1));

    const int fd = m_line.masterFd();
    std::int64_t lastTrafficNs = steadyNs();
    quint8 buffer[4096];
    while (!m_reported) {
        if (!m_outgoing.empty()) {
            if (!writeDue(error))
                return false;
            lastTrafficNs = steadyNs(); // an answer is due: spin for it
        }

        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            const std::int64_t readNs = steadyNs();
            lastTrafficNs = readNs;
            for (ssize_t i = 0; i < n; ++i) {
                ++m_frameBytes;
                m_parser.feed(buffer + i, 1, [&](const HostFrameParser::Result &frame) {
                    onFrame(frame, m_frameBytes, readNs);
                    m_frameBytes = 0;
                });
            }
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            error = systemError("read from the line");
            return false;
        }

        const std::int64_t now = steadyNs();
        if (now - lastTrafficNs < SpinNs) {
            sched_yield();
            continue;
        }
        if (now - lastTrafficNs > StallNs) {
            error = QStringLiteral("no traffic for %1 s").arg(StallNs / 1000000000);
            return false;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_host.outputFd(), POLLIN, 0}};
        ::poll(fds, 2, 100);
        if (!handleHostLines(error))
            return false;
    }
    return true;
}

bool LineDevice::handleHostLines(QString &error)
{
    std::vector<QByteArray> lines;
    const bool open = m_host.readLines(lines);
    for (const QByteArray &line : lines) {
        if (line.startsWith("report ")) {
            m_figures->hostReport = QJsonDocument::fromJson(line.mid(7)).object();
            m_reported = true;
        } else if (line.startsWith("error ")) {
            error = QStringLiteral("host: %1").arg(QString::fromUtf8(line.mid(6)));
            return false;
        }
    }
    if (!open && !m_reported) {
        error = QStringLiteral("the host process ended before its report");
        return false;
    }
    return true;
}

void LineDevice::onFrame(const HostFrameParser::Result &frame, std::int64_t wireBytes,
                         std::int64_t readNs)
{
    UpdateFigures &figures = *m_figures;
    // When the frame's last bit reaches the device on the modelled line.
    std::int64_t lineStartNs = readNs;
    std::int64_t arrivalNs = readNs;
    if (m_timing.baud > 0) {
        lineStartNs = std::max(readNs, m_hostLineFreeNs);
        arrivalNs = lineStartNs + m_timing.lineNs(wireBytes);
        m_hostLineFreeNs = arrivalNs;
    }
    if (!frame.checkOk) {
        ++figures.badChecks;
        return;
    }
    const quint8 command = frame.payload[1];
    if (m_phase == Phase::Transfer)
        figures.hostBytes += wireBytes;

    switch (command) {
    case CMD_PING:
        if (m_phase == Phase::Handshake)
            queue(RSP_PRESENT, 0, arrivalNs);
        else
            ++figures.unexpected;
        break;
    case CMD_GET_VERSION:
        if (m_phase == Phase::Handshake)
            queue(RSP_VERSION, 0x01000507, arrivalNs);
        else
            ++figures.unexpected;
        break;
    case CMD_START:
        if (m_phase != Phase::Handshake) {
            ++figures.unexpected;
            break;
        }
        m_phase = Phase::Transfer;
        figures.hostBytes += wireBytes;
        figures.startNs = lineStartNs;
        m_requested = 0;
        queue(RSP_DATA_REQUEST, 0, arrivalNs);
        break;
    case CMD_DATA: {
        if (m_phase != Phase::Transfer) {
            ++figures.unexpected;
            break;
        }
        figures.turnaroundNs.push_back(readNs - m_requestWrittenNs);
        ++figures.dataFrames;
        const quint32 offset = m_requested;
        bool good = frame.payload[6] == quint8(offset);
        for (int i = 0; i < 4; ++i)
            good = good && frame.payload[2 + i] == imageByte(m_image, qint64(offset) + i);
        if (!good)
            ++figures.dataErrors;
        quint32 next = offset + m_stride;
        if (next >= quint32(m_image.size()))
            next = quint32((m_image.size() + 3) / 4 * 4); // the end: the tool must send CMD_END
        m_requested = next;
        queue(RSP_DATA_REQUEST, next, arrivalNs);
        break;
    }
    case CMD_END:
        if (m_phase != Phase::Transfer || m_requested < quint32(m_image.size())) {
            ++figures.unexpected;
            break;
        }
        queue(RSP_DONE, 0, arrivalNs);
        m_phase = Phase::Reporting;
        break;
    default:
        ++figures.unexpected;
        break;
    }
}

void LineDevice::queue(quint8 code, quint32 data, std::int64_t readyNs)
{
    Outgoing frame;
    frame.wire = encodeDeviceFrame(makeDeviceFrame(code, data));
    frame.code = code;
    if (m_timing.baud > 0) {
        // Onto the line once it is free; in the tool's hands when the last bit is through.
        frame.dueNs = std::max(readyNs, m_deviceLineFreeNs) + m_timing.lineNs(frame.wire.size);
        m_deviceLineFreeNs = frame.dueNs;
    }
    if (code == RSP_DATA_REQUEST || code == RSP_DONE)
        m_figures->deviceBytes += frame.wire.size;
    m_outgoing.push_back(frame);
}

bool LineDevice::writeDue(QString &error)
{
    while (!m_outgoing.empty()) {
        const Outgoing &frame = m_outgoing.front();
        if (m_timing.baud > 0)
            waitUntil(frame.dueNs);
        const std::int64_t writeNs = steadyNs();
        int done = 0;
        while (done < frame.wire.size) {
            const ssize_t n = ::write(m_line.masterFd(), frame.wire.bytes.data() + done,
                                      size_t(frame.wire.size - done));
            if (n > 0) {
                done += int(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                error = systemError("write to the line");
                return false;
            }
        }
        if (m_timing.baud > 0) {
            const std::int64_t late = writeNs - frame.dueNs;
            m_figures->lateSumNs += late;
            m_figures->lateMaxNs = std::max(m_figures->lateMaxNs, late);
        }
        if (frame.code == RSP_DATA_REQUEST)
            m_requestWrittenNs = writeNs;
        if (frame.code == RSP_VERSION && !m_downloadAsked) {
            m_downloadAsked = true;
            m_host.send("download");
        }
        if (frame.code == RSP_DONE && !m_reportAsked) {
            m_figures->doneNs = writeNs;
            m_reportAsked = true;
            m_host.send("report");
        }
        m_outgoing.pop_front();
    }
    return true;
}
