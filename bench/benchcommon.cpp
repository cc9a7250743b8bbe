#include "benchcommon.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <unistd.h>

using namespace Qt::StringLiterals;

QString hostLog;

QString sizeText(qint64 bytes)
{
    return bytes % MiB == 0 ? u"%1 MiB"_s.arg(bytes / MiB) : u"%1 KiB"_s.arg(bytes / KiB);
}

void say(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

double loadAverage()
{
    QFile file(u"/proc/loadavg"_s);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readLine().split(' ').value(0).toDouble();
}

QString makeImage(const QString &dir, qint64 size, QByteArray &bytes)
{
    bytes.resize(qsizetype(size));
    QRandomGenerator random{quint32(size)};
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    const QString path = u"%1/image-%2.vuf"_s.arg(dir).arg(size);
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
    QFile file(u"/proc/%1/stat"_s.arg(pid));
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

} // namespace

QString Bench::hostProgram(const Contender &who) const
{
    return program(who, QStringLiteral(BENCH_HOST_PATH), u"bench/vantu_bench_host"_s);
}

QString Bench::flashProgram(const Contender &who) const
{
    return program(who, options.flashProgram, u"flash/vantuflash"_s);
}

QString Bench::stationProgram(const Contender &who) const
{
    return program(who, QStringLiteral(BENCH_STATION_PATH), u"station/vantustation"_s);
}

QString Bench::programOf(const Contender &who) const
{
    if (who.host == QLatin1String("vantuflash"))
        return flashProgram(who);
    if (who.host == QLatin1String("vantustation"))
        return stationProgram(who);
    return hostProgram(who);
}

std::vector<Contender> Bench::sides(const Contender &who) const
{
    if (options.baseline.isEmpty())
        return {who};
    Contender before = who;
    before.baseline = true;
    if (!QFileInfo(programOf(before)).isExecutable())
        return {who};
    return {before, who};
}

bool openLine(PtyLine &line)
{
    QString error;
    if (line.open(error))
        return true;
    say(u"  pseudo-terminal: %1"_s.arg(error));
    return false;
}

bool startHost(HostProcess &process, const QStringList &arguments)
{
    QString error;
    if (process.start(arguments, hostLog, error))
        return true;
    say(u"  %1"_s.arg(error));
    return false;
}

bool saidUnclean(const UpdateFigures &figures, const QString &who)
{
    if (figures.clean())
        return false;
    say(u"  %1: %2 wrong pieces, %3 bad check bytes, %4 frames out of place"_s.arg(who)
            .arg(figures.dataErrors)
            .arg(figures.badChecks)
            .arg(figures.unexpected));
    return true;
}

std::optional<UpdateFigures> runUpdate(const Bench &bench, const Contender &who,
                                       const QString &imagePath, const QByteArray &image,
                                       LineTiming timing, quint32 stride,
                                       const QStringList &wrapper)
{
    const QString &host = who.host;
    PtyLine line;
    if (!openLine(line))
        return std::nullopt;
    // VANTU_BENCH_HOST_WRAPPER runs the host under a profiler, e.g.
    // "valgrind --tool=callgrind --callgrind-out-file=/tmp/host.%p".
    QStringList arguments = wrapper.isEmpty() ? qEnvironmentVariable("VANTU_BENCH_HOST_WRAPPER")
                                                    .split(QLatin1Char(' '), Qt::SkipEmptyParts)
                                              : wrapper;
    arguments << bench.hostProgram(who) << u"--host"_s << host << u"--port"_s << line.slavePath()
              << u"--image"_s << imagePath;
    const double xServerBefore = xServerCpuMs();
    HostProcess process;
    if (!startHost(process, arguments))
        return std::nullopt;
    UpdateFigures figures;
    QString error;
    LineDevice device(line, process, image, timing, stride);
    const bool ok = device.run(figures, error);
    process.send("quit");
    const int status = process.finish(5000);
    if (xServerBefore >= 0)
        figures.hostReport[u"xserver_cpu_ms"_s] = xServerCpuMs() - xServerBefore;
    if (!ok) {
        say(u"  %1 host, %2 image: %3 (host output: %4)"_s.arg(host, sizeText(image.size()), error,
                                                               hostLog));
        return std::nullopt;
    }
    if (status != 0)
        say(u"  note: %1 host exited with status %2"_s.arg(host).arg(status));
    if (saidUnclean(figures, host + u" host"_s))
        return std::nullopt;
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
    const double cpuUs = figures.hostReport.value(u"cpu_user_us"_s).toDouble() +
                         figures.hostReport.value(u"cpu_system_us"_s).toDouble();
    return figures.dataFrames ? cpuUs / 1000.0 / figures.dataFrames * 1000.0 : 0;
}

QJsonObject figuresRow(const QString &host, qint64 imageBytes, int frames, std::int64_t elapsedNs,
                       const std::vector<std::int64_t> &turnaroundNs)
{
    QJsonObject row;
    row[u"host"_s] = host;
    row[u"load_1min"_s] = loadAverage();
    row[u"image_bytes"_s] = imageBytes;
    row[u"data_frames"_s] = frames;
    row[u"elapsed_s"_s] = double(elapsedNs) / 1e9;
    row[u"round_trips_per_s"_s] = frames / (double(elapsedNs) / 1e9);
    row[u"turnaround_mean_us"_s] = meanUs(turnaroundNs);
    row[u"turnaround_median_us"_s] = percentileUs(turnaroundNs, 0.5);
    row[u"turnaround_p99_us"_s] = percentileUs(turnaroundNs, 0.99);
    row[u"turnaround_max_us"_s] = percentileUs(turnaroundNs, 1.0);
    return row;
}

QString requestsText(quint32 stride)
{
    return stride == 4 ? u"every piece"_s : u"one per %1 bytes"_s.arg(stride);
}

QJsonObject updateJson(const QString &host, const UpdateFigures &figures)
{
    QJsonObject row = figuresRow(host, figures.imageSize, figures.dataFrames, figures.elapsedNs(),
                                 figures.turnaroundNs);
    row[u"platform"_s] = qEnvironmentVariable("QT_QPA_PLATFORM");
    row[u"tool_wire_bytes"_s] = qint64(figures.hostBytes);
    row[u"device_wire_bytes"_s] = qint64(figures.deviceBytes);
    row[u"cpu_ms_per_1000_frames"_s] = cpuMsPer1000(figures);
    // The whole run, start-up included: a few ms against the transfer's.
    if (figures.hostReport.contains(u"xserver_cpu_ms"_s) && figures.dataFrames)
        row[u"xserver_cpu_ms_per_1000_frames"_s] =
            figures.hostReport.value(u"xserver_cpu_ms"_s).toDouble() / figures.dataFrames * 1000.0;
    row[u"host_report"_s] = figures.hostReport;
    return row;
}
