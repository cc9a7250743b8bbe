#include "benchcommon.h"

#include "benchclock.h"

#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <sched.h>
#include <unistd.h>

QString hostLog;

QString sizeText(qint64 bytes)
{
    return bytes % MiB == 0 ? QStringLiteral("%1 MiB").arg(bytes / MiB)
                            : QStringLiteral("%1 KiB").arg(bytes / KiB);
}

void say(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readLine().split(' ').value(0).toDouble();
}

QString makeImage(const QString &dir, qint64 size, QByteArray &bytes)
{
    bytes.resize(qsizetype(size));
    QRandomGenerator random{quint32(size)};
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    const QString path = QStringLiteral("%1/image-%2.vuf").arg(dir).arg(size);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

namespace {

// CPU time the X server has used so far, in ms: on a real display every repaint costs the server
// work too. bench/run.sh starts the server and passes its pid; -1 when unknown or not on xcb.
double xServerCpuMs()
{
    const qint64 pid = qEnvironmentVariableIntValue("VANTU_BENCH_XSERVER_PID");
    if (pid <= 0 || qEnvironmentVariable("QT_QPA_PLATFORM") != Xcb)
        return -1;
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // The fields after the command name in parentheses, from the state (3rd): utime is the 14th
    // field, stime the 15th.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) * 1000.0 /
           double(sysconf(_SC_CLK_TCK));
}

// With VANTU_BENCH_PIN set, keeps the device loop and the host off each other's processor while an
// update runs: the device gets the last CPU, the host (started in between) the others. Off by
// default: on two processors the pseudo-terminal's kernel worker then shares a core with one of
// them, and the figures came out worse, not better.
class SeparateCpus
{
public:
    SeparateCpus()
    {
        if (!qEnvironmentVariableIsSet("VANTU_BENCH_PIN"))
            return;
        if (sched_getaffinity(0, sizeof all, &all) != 0 || CPU_COUNT(&all) < 2)
            return;
        for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
            if (CPU_ISSET(cpu, &all)) {
                deviceCpu = cpu;
                break;
            }
        }
        cpu_set_t host = all;
        CPU_CLR(deviceCpu, &host);
        sched_setaffinity(0, sizeof host, &host); // inherited by the host started next
    }
    // Once the host is started: the device loop moves to its own CPU.
    void hostStarted()
    {
        if (deviceCpu < 0)
            return;
        cpu_set_t device;
        CPU_ZERO(&device);
        CPU_SET(deviceCpu, &device);
        sched_setaffinity(0, sizeof device, &device);
    }
    ~SeparateCpus()
    {
        if (deviceCpu >= 0)
            sched_setaffinity(0, sizeof all, &all);
    }

private:
    cpu_set_t all{};
    int deviceCpu = -1;
};

} // namespace

QString Bench::hostProgram(const Contender &who) const
{
    return program(who, QStringLiteral(BENCH_HOST_PATH), QStringLiteral("bench/vantu_bench_host"));
}

QString Bench::flashProgram(const Contender &who) const
{
    return program(who, options.flashProgram, QStringLiteral("flash/vantuflash"));
}

std::optional<UpdateFigures> runUpdate(const Bench &bench, const Contender &who,
                                       const QString &imagePath, const QByteArray &image,
                                       LineTiming timing, quint32 stride,
                                       const QStringList &wrapper)
{
    const QString &host = who.host;
    QString error;
    PtyLine line;
    if (!line.open(error)) {
        say(QStringLiteral("  pseudo-terminal: %1").arg(error));
        return std::nullopt;
    }
    // VANTU_BENCH_HOST_WRAPPER runs the host under a profiler, e.g.
    // "valgrind --tool=callgrind --callgrind-out-file=/tmp/host.%p".
    QStringList arguments = wrapper.isEmpty() ? qEnvironmentVariable("VANTU_BENCH_HOST_WRAPPER")
                                                    .split(QLatin1Char(' '), Qt::SkipEmptyParts)
                                              : wrapper;
    arguments << bench.hostProgram(who) << QStringLiteral("--host") << host
              << QStringLiteral("--port") << line.slavePath() << QStringLiteral("--image")
              << imagePath;
    SeparateCpus cpus;
    const double xServerBefore = xServerCpuMs();
    HostProcess process;
    if (!process.start(arguments, hostLog, error)) {
        say(QStringLiteral("  %1").arg(error));
        return std::nullopt;
    }
    cpus.hostStarted();
    UpdateFigures figures;
    LineDevice device(line, process, image, timing, stride);
    const bool ok = device.run(figures, error);
    process.send("quit");
    const int status = process.finish(5000);
    if (xServerBefore >= 0)
        figures.hostReport[QStringLiteral("xserver_cpu_ms")] = xServerCpuMs() - xServerBefore;
    if (!ok) {
        say(QStringLiteral("  %1 host, %2 image: %3 (host output: %4)")
                .arg(host, sizeText(image.size()), error, hostLog));
        return std::nullopt;
    }
    if (status != 0)
        say(QStringLiteral("  note: %1 host exited with status %2").arg(host).arg(status));
    if (figures.dataErrors || figures.badChecks || figures.unexpected) {
        say(QStringLiteral("  %1 host: %2 wrong pieces, %3 bad check bytes, %4 frames out of place")
                .arg(host)
                .arg(figures.dataErrors)
                .arg(figures.badChecks)
                .arg(figures.unexpected));
        return std::nullopt;
    }
    return figures;
}

double percentileUs(std::vector<std::int64_t> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = size_t(std::ceil(fraction * double(values.size())));
    return double(values[std::clamp<size_t>(rank, 1, values.size()) - 1]) / 1000.0;
}

double meanUs(const std::vector<std::int64_t> &values)
{
    double sum = 0;
    for (const std::int64_t value : values)
        sum += double(value);
    return values.empty() ? 0 : sum / double(values.size()) / 1000.0;
}

double medianOf(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double cpuMsPer1000(const UpdateFigures &figures)
{
    const double cpuUs = figures.hostReport.value(QStringLiteral("cpu_user_us")).toDouble() +
                         figures.hostReport.value(QStringLiteral("cpu_system_us")).toDouble();
    return figures.dataFrames ? cpuUs / 1000.0 / figures.dataFrames * 1000.0 : 0;
}

void addTurnarounds(QJsonObject &row, const std::vector<std::int64_t> &turnaroundNs)
{
    row[QStringLiteral("turnaround_mean_us")] = meanUs(turnaroundNs);
    row[QStringLiteral("turnaround_median_us")] = percentileUs(turnaroundNs, 0.5);
    row[QStringLiteral("turnaround_p99_us")] = percentileUs(turnaroundNs, 0.99);
    row[QStringLiteral("turnaround_max_us")] = percentileUs(turnaroundNs, 1.0);
}

QString requestsText(quint32 stride)
{
    return stride == 4 ? QStringLiteral("every piece")
                       : QStringLiteral("one per %1 bytes").arg(stride);
}

QJsonObject updateJson(const QString &host, const UpdateFigures &figures)
{
    QJsonObject row;
    row[QStringLiteral("host")] = host;
    row[QStringLiteral("platform")] = qEnvironmentVariable("QT_QPA_PLATFORM");
    row[QStringLiteral("load_1min")] = loadAverage();
    row[QStringLiteral("image_bytes")] = figures.imageSize;
    row[QStringLiteral("data_frames")] = figures.dataFrames;
    row[QStringLiteral("tool_wire_bytes")] = qint64(figures.hostBytes);
    row[QStringLiteral("device_wire_bytes")] = qint64(figures.deviceBytes);
    row[QStringLiteral("elapsed_s")] = double(figures.elapsedNs()) / 1e9;
    addTurnarounds(row, figures.turnaroundNs);
    row[QStringLiteral("round_trips_per_s")] =
        figures.dataFrames / (double(figures.elapsedNs()) / 1e9);
    row[QStringLiteral("cpu_ms_per_1000_frames")] = cpuMsPer1000(figures);
    // The whole run, start-up included: a few ms against the transfer's.
    if (figures.hostReport.contains(QStringLiteral("xserver_cpu_ms")) && figures.dataFrames)
        row[QStringLiteral("xserver_cpu_ms_per_1000_frames")] =
            figures.hostReport.value(QStringLiteral("xserver_cpu_ms")).toDouble() /
            figures.dataFrames * 1000.0;
    row[QStringLiteral("host_report")] = figures.hostReport;
    return row;
}
