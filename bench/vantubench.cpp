// End-to-end figures of the update tool against a device played on a pseudo-terminal: host
// turnaround, update time on a paced line against the line's own time, writes to the X
// connection, footprint and start-up of the window; round trips, many lines at once, CPU and
// memory of the console program, vantuflash. Prints a table and writes the same figures as JSON.
//
//   vantu_bench [--json FILE] [--quick] [--full]
//               [--only turnaround,paced,xwrites,footprint,startup,flash,gang,flashcpu,flashmem]
//               [--platforms offscreen,xcb] [--pairs N]
//               [--hosts window,minimal,port,raw] [--bauds 57600,921600] [--vantuflash FILE]
//
// Every update runs the host in a child process: the real window (vantu_bench_host) unless a row
// says otherwise, or vantuflash itself. The device side runs here and takes all times with the
// steady clock. Turnaround and paced figures are taken per Qt platform: offscreen (painting costs
// nothing) and xcb (a real X server, DISPLAY; bench/run.sh starts Xvfb). Hosts that are compared
// run in turns, A B A B, and the medians of the pairs are compared, so that a busy machine weighs
// on both. VANTU_BENCH_HOST_WRAPPER runs each bench host under a profiler, and
// VANTU_BENCH_FLASH_WRAPPER vantuflash; VANTU_BENCH_PIN=1 keeps the device and the host on
// separate processors. The sections of vantuflash are in
// flashbench.cpp.
#include "benchclock.h"
#include "benchcommon.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QSysInfo>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>

#include <poll.h>
#include <unistd.h>

namespace {

struct TraceCounts
{
    qint64 writes = 0; // writev and sendmsg: libxcb's writes to the X server
    qint64 reads = 0;  // recvmsg: libxcb's reads
    bool marked = false;
};

// Counts the calls an strace log (-f -o) holds between the host's two marks, writev(-1, NULL, 0).
// Only libxcb writes with writev and sendmsg in the host: QSerialPort, the event loop's wake-ups
// and the pipe to this driver use write. A call cut in two by another thread's ("<unfinished
// ...>", later "<... resumed>") is counted once, at its start.
TraceCounts countTraced(const QString &path)
{
    TraceCounts counts;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return counts;
    int marks = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        // "<pid> <call>(...": skip the pid.
        qsizetype at = 0;
        while (at < line.size() && (std::isdigit(uchar(line[at])) || line[at] == ' '))
            ++at;
        const QByteArray call = line.mid(at);
        if (call.startsWith("writev(-1, NULL, 0)")) {
            ++marks;
            continue;
        }
        if (marks != 1)
            continue;
        if (call.startsWith("writev(") || call.startsWith("sendmsg("))
            ++counts.writes;
        else if (call.startsWith("recvmsg("))
            ++counts.reads;
    }
    counts.marked = marks >= 2;
    return counts;
}

// How busy the processors are, 0..1, over half a second: other work on the machine shows in every
// figure here. The bench itself is idle while this runs.
double busyFraction()
{
    const auto sample = [](qint64 &idle, qint64 &total) {
        QFile file(QStringLiteral("/proc/stat"));
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QList<QByteArray> fields = file.readLine().simplified().split(' ');
        idle = total = 0;
        for (int i = 1; i < fields.size(); ++i) {
            total += fields[i].toLongLong();
            if (i == 4 || i == 5) // idle, iowait
                idle += fields[i].toLongLong();
        }
        return total > 0;
    };
    qint64 idle0, total0, idle1, total1;
    if (!sample(idle0, total0))
        return -1;
    ::usleep(500000);
    if (!sample(idle1, total1) || total1 == total0)
        return -1;
    return 1.0 - double(idle1 - idle0) / double(total1 - total0);
}

QJsonObject machineJson()
{
    QJsonObject machine;
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly | QIODevice::Text)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                machine[QStringLiteral("cpu")] =
                    QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    machine[QStringLiteral("cpus")] = int(sysconf(_SC_NPROCESSORS_ONLN));
    machine[QStringLiteral("kernel")] = QSysInfo::kernelVersion();
    machine[QStringLiteral("os")] = QSysInfo::prettyProductName();
    machine[QStringLiteral("qt")] = QString::fromLatin1(qVersion());
    machine[QStringLiteral("build")] = QStringLiteral(BENCH_BUILD_TYPE);
    return machine;
}

// One start-up: from just before the process is spawned to the stamps it prints.
std::optional<QJsonObject> startOnce(const QString &program)
{
    QString error;
    HostProcess process;
    const std::int64_t spawnNs = steadyNs();
    if (!process.start({program}, hostLog, error)) {
        say(QStringLiteral("  %1").arg(error));
        return std::nullopt;
    }
    std::vector<QByteArray> lines;
    const std::int64_t deadline = spawnNs + 20000000000LL;
    while (lines.empty() && steadyNs() < deadline) {
        pollfd output{process.outputFd(), POLLIN, 0};
        ::poll(&output, 1, 100);
        if (!process.readLines(lines) && lines.empty())
            break;
    }
    process.finish(5000);
    if (lines.empty()) {
        say(QStringLiteral("  %1 printed nothing").arg(program));
        return std::nullopt;
    }
    const QList<QByteArray> words = lines.front().split(' ');
    QJsonObject run;
    for (int i = 0; i + 1 < words.size(); i += 2)
        run[QString::fromLatin1(words[i]) + QStringLiteral("_ms")] =
            double(words[i + 1].toLongLong() - spawnNs) / 1e6;
    return run;
}

// Host turnaround, offscreen and on an X server: the window and the minimal host in turns, the
// stripped hosts once. The footprint section alone runs only the window's first update.
void turnaroundSection(Bench &bench)
{
    const Options &options = bench.options;
    QByteArray &image = bench.image;
    const QTemporaryDir &dir = bench.dir;
    std::vector<Target> &targets = bench.targets;
    bool &allRan = bench.allRan;
    const qint64 turnaroundSize = bench.sizes.turnaround;
    const qint64 xcbTurnaroundSize = bench.sizes.xcbTurnaround;
    std::optional<UpdateFigures> &windowTurnaround = bench.windowTurnaround;
    QJsonObject &results = bench.results;
    // The footprint section alone needs only one offscreen update of the window.
    const bool full = options.has("turnaround");
    QJsonArray rows;
    QJsonObject summaries;
    for (const QString &platform : full ? options.platforms : QStringList{Offscreen}) {
        qputenv("QT_QPA_PLATFORM", platform.toLatin1());
        const qint64 size = platform == Offscreen ? turnaroundSize : xcbTurnaroundSize;
        const int pairs = full ? options.pairs : 1;
        say(QStringLiteral("== Host turnaround, %1: device answers at once, %2 image, window "
                           "and minimal host in turns, %3 pairs")
                .arg(platform, sizeText(size))
                .arg(pairs));
        const QString path = makeImage(dir.path(), size, image);
        say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
                .arg(QStringLiteral("host"), -8)
                .arg(QStringLiteral("mean us"), 10)
                .arg(QStringLiteral("median us"), 10)
                .arg(QStringLiteral("p99 us"), 10)
                .arg(QStringLiteral("max us"), 10)
                .arg(QStringLiteral("trips/s"), 10)
                .arg(QStringLiteral("cpu ms/1000"), 12)
                .arg(QStringLiteral("load"), 6)
                .arg(platform == Xcb ? QStringLiteral("X cpu ms/1000") : QString(), 14));
        const auto printRow = [platform](const QString &host, const QJsonObject &row) {
            const double xCpu = row[QStringLiteral("xserver_cpu_ms_per_1000_frames")].toDouble();
            say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
                    .arg(host, -8)
                    .arg(row[QStringLiteral("turnaround_mean_us")].toDouble(), 10, 'f', 1)
                    .arg(row[QStringLiteral("turnaround_median_us")].toDouble(), 10, 'f', 1)
                    .arg(row[QStringLiteral("turnaround_p99_us")].toDouble(), 10, 'f', 1)
                    .arg(row[QStringLiteral("turnaround_max_us")].toDouble(), 10, 'f', 1)
                    .arg(row[QStringLiteral("round_trips_per_s")].toDouble(), 10, 'f', 0)
                    .arg(row[QStringLiteral("cpu_ms_per_1000_frames")].toDouble(), 12, 'f', 2)
                    .arg(row[QStringLiteral("load_1min")].toDouble(), 6, 'f', 2)
                    .arg(platform == Xcb ? QString::number(xCpu, 'f', 2) : QString(), 14));
        };
        QStringList pairHosts;
        for (const QString &host : {QStringLiteral("window"), QStringLiteral("minimal")}) {
            if (options.runs(host) && (full || host == QLatin1String("window")))
                pairHosts << host;
        }
        std::map<QString, std::map<QString, std::vector<double>>> byHost; // host -> figure
        std::vector<double> pairRatios;
        const QStringList figureNames = {
            QStringLiteral("turnaround_mean_us"), QStringLiteral("turnaround_median_us"),
            QStringLiteral("turnaround_p99_us"),  QStringLiteral("turnaround_max_us"),
            QStringLiteral("round_trips_per_s"),  QStringLiteral("cpu_ms_per_1000_frames"),
            QStringLiteral("load_1min"),          QStringLiteral("xserver_cpu_ms_per_1000_frames")};
        for (int pair = 0; pair < pairs; ++pair) {
            std::map<QString, double> trips;
            for (const QString &host : pairHosts) {
                const auto figures = runUpdate(host, path, image, {});
                if (!figures) {
                    allRan = false;
                    continue;
                }
                QJsonObject row = updateJson(host, *figures);
                row[QStringLiteral("pair")] = pair;
                rows.append(row);
                printRow(host, row);
                for (const QString &name : figureNames)
                    byHost[host][name].push_back(row[name].toDouble());
                trips[host] = row[QStringLiteral("round_trips_per_s")].toDouble();
                if (host == QLatin1String("window") && platform == Offscreen && !windowTurnaround)
                    windowTurnaround = figures;
            }
            if (trips.count(QStringLiteral("window")) && trips.count(QStringLiteral("minimal")))
                pairRatios.push_back(trips[QStringLiteral("window")] /
                                     trips[QStringLiteral("minimal")]);
        }
        QJsonObject summary;
        if (pairs > 1) {
            for (const QString &host : pairHosts) {
                if (byHost[host][QStringLiteral("round_trips_per_s")].empty())
                    continue;
                QJsonObject medians;
                for (const QString &name : figureNames)
                    medians[name] = medianOf(byHost[host][name]);
                medians[QStringLiteral("runs")] =
                    int(byHost[host][QStringLiteral("round_trips_per_s")].size());
                summary[host] = medians;
                printRow(QStringLiteral("%1 med").arg(host.left(3)), medians);
            }
        }
        const auto medianOfHost = [&](const QString &host, const QString &name) {
            return medianOf(byHost[host][name]);
        };
        if (!pairRatios.empty()) {
            const double ratio =
                medianOfHost(QStringLiteral("window"), QStringLiteral("round_trips_per_s")) /
                medianOfHost(QStringLiteral("minimal"), QStringLiteral("round_trips_per_s"));
            summary[QStringLiteral("trips_ratio_of_medians")] = ratio;
            summary[QStringLiteral("trips_ratio_median_of_pairs")] = medianOf(pairRatios);
            say(QStringLiteral("round trips/s, window against the minimal host: %1 (ratio of "
                               "the medians), %2 (median of the %3 pairs' ratios)")
                    .arg(ratio, 0, 'f', 3)
                    .arg(medianOf(pairRatios), 0, 'f', 3)
                    .arg(pairRatios.size()));
            targets.push_back({QStringLiteral("%1: trips/s against minimal").arg(platform),
                               QStringLiteral(">= 0.90"), ratio, QStringLiteral("x"),
                               ratio >= 0.9});
        }
        if (!byHost[QStringLiteral("window")][QStringLiteral("round_trips_per_s")].empty() &&
            platform == Offscreen) {
            const double median =
                medianOfHost(QStringLiteral("window"), QStringLiteral("turnaround_median_us"));
            const double trips =
                medianOfHost(QStringLiteral("window"), QStringLiteral("round_trips_per_s"));
            targets.push_back({QStringLiteral("turnaround median"), QStringLiteral("< 100"), median,
                               QStringLiteral("us"), median < 100});
            targets.push_back({QStringLiteral("round trips unpaced"), QStringLiteral(">= 10000"),
                               trips, QStringLiteral("/s"), trips >= 10000});
        }
        // The stripped hosts draw nothing: one run each, offscreen.
        if (full && platform == Offscreen) {
            for (const QString &host : {QStringLiteral("port"), QStringLiteral("raw")}) {
                if (!options.runs(host))
                    continue;
                const auto figures = runUpdate(host, path, image, {});
                if (!figures) {
                    allRan = false;
                    continue;
                }
                const QJsonObject row = updateJson(host, *figures);
                rows.append(row);
                printRow(host, row);
            }
        }
        summaries[platform] = summary;
        QFile::remove(path);
        say(QString());
    }
    results[QStringLiteral("turnaround")] = rows;
    results[QStringLiteral("turnaround_medians")] = summaries;
}

// Update time on a paced line against the line's own time, per platform and line speed.
void pacedSection(Bench &bench)
{
    const Options &options = bench.options;
    QByteArray &image = bench.image;
    const QTemporaryDir &dir = bench.dir;
    std::vector<Target> &targets = bench.targets;
    bool &allRan = bench.allRan;
    const qint64 pacedSize = bench.sizes.paced;
    const qint64 pacedBaselineSize = bench.sizes.pacedBaseline;
    QJsonObject &results = bench.results;
    QJsonArray rows;
    QJsonObject summaries;
    for (const QString &platform : options.platforms) {
        qputenv("QT_QPA_PLATFORM", platform.toLatin1());
        say(QStringLiteral("== Paced line, %1: update time against the line's own time, window "
                           "and minimal host in turns, %2 pairs")
                .arg(platform)
                .arg(options.pairs));
        say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10")
                .arg(QStringLiteral("host"), -8)
                .arg(QStringLiteral("baud"), 7)
                .arg(QStringLiteral("image"), 7)
                .arg(QStringLiteral("update s"), 9)
                .arg(QStringLiteral("line s"), 9)
                .arg(QStringLiteral("ratio"), 7)
                .arg(QStringLiteral("mean us"), 8)
                .arg(QStringLiteral("median us"), 10)
                .arg(QStringLiteral("bench late us"), 14)
                .arg(QStringLiteral("load"), 6));
        QJsonObject summary;
        for (const std::int64_t baud : {std::int64_t(57600), std::int64_t(921600)}) {
            if (!options.bauds.isEmpty() && !options.bauds.contains(baud))
                continue;
            // At 57600 a round trip takes 3.5 ms of line time: a smaller image, the ratio
            // being a per-round-trip figure.
            const qint64 size = baud == 57600 ? pacedBaselineSize : pacedSize;
            const LineTiming timing{baud};
            const QString path = makeImage(dir.path(), size, image);
            // The window and the minimal host in turns; the stripped hosts draw nothing and
            // run once, offscreen.
            QStringList order;
            for (int pair = 0; pair < options.pairs; ++pair)
                order << QStringLiteral("window") << QStringLiteral("minimal");
            if (platform == Offscreen)
                order << QStringLiteral("port") << QStringLiteral("raw");
            std::map<QString, std::vector<double>> ratios;
            for (const QString &host : std::as_const(order)) {
                if (!options.runs(host))
                    continue;
                const auto figures = runUpdate(host, path, image, timing);
                if (!figures) {
                    allRan = false;
                    continue;
                }
                const double bound =
                    double(timing.lineNs(figures->hostBytes + figures->deviceBytes));
                const double ratio = double(figures->elapsedNs()) / bound;
                const double trips = std::max(1, figures->dataFrames);
                QJsonObject row = updateJson(host, *figures);
                row[QStringLiteral("baud")] = qint64(baud);
                row[QStringLiteral("line_time_s")] = bound / 1e9;
                row[QStringLiteral("ratio")] = ratio;
                row[QStringLiteral("bench_late_us_per_trip")] =
                    double(figures->lateSumNs) / 1e3 / trips;
                row[QStringLiteral("bench_late_max_us")] = double(figures->lateMaxNs) / 1e3;
                rows.append(row);
                ratios[host].push_back(ratio);
                say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10")
                        .arg(host, -8)
                        .arg(baud, 7)
                        .arg(sizeText(size), 7)
                        .arg(double(figures->elapsedNs()) / 1e9, 9, 'f', 3)
                        .arg(bound / 1e9, 9, 'f', 3)
                        .arg(ratio, 7, 'f', 4)
                        .arg(row[QStringLiteral("turnaround_mean_us")].toDouble(), 8, 'f', 1)
                        .arg(row[QStringLiteral("turnaround_median_us")].toDouble(), 10, 'f', 1)
                        .arg(double(figures->lateSumNs) / 1e3 / trips, 14, 'f', 2)
                        .arg(row[QStringLiteral("load_1min")].toDouble(), 6, 'f', 2));
            }
            QFile::remove(path);
            QJsonObject medians;
            for (const auto &[host, values] : ratios)
                medians[host] = medianOf(values);
            summary[QString::number(baud)] = medians;
            const auto window = ratios.find(QStringLiteral("window"));
            if (window == ratios.end())
                continue;
            const double windowRatio = medianOf(window->second);
            QString line = QStringLiteral("at %1, median ratio: window %2")
                               .arg(baud)
                               .arg(windowRatio, 0, 'f', 4);
            for (const QString &other : {QStringLiteral("minimal"), QStringLiteral("raw")}) {
                const auto found = ratios.find(other);
                if (found != ratios.end())
                    line += QStringLiteral(", %1 %2 (window adds %3)")
                                .arg(other)
                                .arg(medianOf(found->second), 0, 'f', 4)
                                .arg(windowRatio - medianOf(found->second), 0, 'f', 4);
            }
            say(line);
            if (baud == 57600 || platform == Offscreen) {
                const double goal = baud == 57600 ? 1.01 : 1.05;
                targets.push_back({QStringLiteral("%1: paced ratio at %2").arg(platform).arg(baud),
                                   QStringLiteral("<= %1").arg(goal, 0, 'f', 2), windowRatio,
                                   QString(), windowRatio <= goal});
            }
        }
        summaries[platform] = summary;
        say(QStringLiteral("(ratio: update time / line time of the bytes exchanged, CMD_START "
                           "to RSP_DONE; mean/median: device request written to the tool's "
                           "data frame read, per round trip; bench late: mean time the "
                           "device's writes trailed the line model)"));
        say(QString());
    }
    results[QStringLiteral("paced")] = rows;
    results[QStringLiteral("paced_median_ratios")] = summaries;
}

// Writes to the X connection during a transfer, counted under strace.
void xwritesSection(Bench &bench)
{
    const Options &options = bench.options;
    QByteArray &image = bench.image;
    const QTemporaryDir &dir = bench.dir;
    std::vector<Target> &targets = bench.targets;
    bool &allRan = bench.allRan;
    const qint64 xcbTurnaroundSize = bench.sizes.xcbTurnaround;
    QJsonObject &results = bench.results;
    qputenv("QT_QPA_PLATFORM", Xcb.toLatin1());
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    say(QStringLiteral("== Writes to the X connection during a transfer, xcb, under strace, "
                       "%1 image")
            .arg(sizeText(xcbTurnaroundSize)));
    if (strace.isEmpty()) {
        say(QStringLiteral("strace is not installed: skipped"));
        allRan = false;
    } else {
        say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                .arg(QStringLiteral("host"), -8)
                .arg(QStringLiteral("trips"), 8)
                .arg(QStringLiteral("X writes"), 9)
                .arg(QStringLiteral("per trip"), 9)
                .arg(QStringLiteral("X reads"), 8)
                .arg(QStringLiteral("per trip"), 9)
                .arg(QStringLiteral("writes/s"), 9));
        const QString path = makeImage(dir.path(), xcbTurnaroundSize, image);
        QJsonArray rows;
        for (const QString &host : {QStringLiteral("window"), QStringLiteral("minimal")}) {
            if (!options.runs(host))
                continue;
            const QString trace = dir.filePath(QStringLiteral("trace-%1.txt").arg(host));
            // Only these calls stop the host (seccomp filter): QSerialPort's writes and the
            // event loop's wake-ups run untraced.
            const QStringList wrapper = {strace,
                                         QStringLiteral("-f"),
                                         QStringLiteral("-qq"),
                                         QStringLiteral("--seccomp-bpf"),
                                         QStringLiteral("-s"),
                                         QStringLiteral("0"),
                                         QStringLiteral("-e"),
                                         QStringLiteral("trace=writev,sendmsg,recvmsg"),
                                         QStringLiteral("-e"),
                                         QStringLiteral("signal=none"),
                                         QStringLiteral("-o"),
                                         trace};
            const auto figures = runUpdate(host, path, image, {}, 4, wrapper);
            const TraceCounts counts = countTraced(trace);
            QFile::remove(trace);
            if (!figures || !counts.marked) {
                if (figures)
                    say(QStringLiteral("  %1: the trace holds no transfer marks").arg(host));
                allRan = false;
                continue;
            }
            const double trips = std::max(1, figures->dataFrames);
            const double seconds = double(figures->elapsedNs()) / 1e9;
            QJsonObject row;
            row[QStringLiteral("host")] = host;
            row[QStringLiteral("round_trips")] = figures->dataFrames;
            row[QStringLiteral("x_writes")] = counts.writes;
            row[QStringLiteral("x_writes_per_trip")] = double(counts.writes) / trips;
            row[QStringLiteral("x_reads")] = counts.reads;
            row[QStringLiteral("x_reads_per_trip")] = double(counts.reads) / trips;
            row[QStringLiteral("x_writes_per_s")] = double(counts.writes) / seconds;
            row[QStringLiteral("load_1min")] = loadAverage();
            rows.append(row);
            say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                    .arg(host, -8)
                    .arg(figures->dataFrames, 8)
                    .arg(counts.writes, 9)
                    .arg(double(counts.writes) / trips, 9, 'f', 4)
                    .arg(counts.reads, 8)
                    .arg(double(counts.reads) / trips, 9, 'f', 4)
                    .arg(double(counts.writes) / seconds, 9, 'f', 0));
            if (host == QLatin1String("window"))
                targets.push_back({QStringLiteral("xcb: X writes per round trip"),
                                   QStringLiteral("< 0.05"), double(counts.writes) / trips,
                                   QString(), double(counts.writes) / trips < 0.05});
        }
        QFile::remove(path);
        results[QStringLiteral("x_writes")] = rows;
        say(QStringLiteral("(X writes: writev and sendmsg, the calls libxcb writes the X "
                           "connection with, between the host's marks at Download and at "
                           "RSP_DONE; X reads: recvmsg, events and replies coming back)"));
    }
    say(QString());
}

// Peak resident set of the window process for small and large images.
void footprintSection(Bench &bench)
{
    const Options &options = bench.options;
    QByteArray &image = bench.image;
    const QTemporaryDir &dir = bench.dir;
    std::vector<Target> &targets = bench.targets;
    bool &allRan = bench.allRan;
    const qint64 turnaroundSize = bench.sizes.turnaround;
    const qint64 smallSize = bench.sizes.small;
    const qint64 largeSize = bench.sizes.large;
    const std::optional<UpdateFigures> &windowTurnaround = bench.windowTurnaround;
    QJsonObject &results = bench.results;
    say(QStringLiteral("== Footprint of the window process, device answers at once"));
    say(QStringLiteral("%1 %2 %3 %4 %5 %6")
            .arg(QStringLiteral("image"), -8)
            .arg(QStringLiteral("requests"), -22)
            .arg(QStringLiteral("peak RSS kB"), 12)
            .arg(QStringLiteral("RSS at Download kB"), 19)
            .arg(QStringLiteral("data frames"), 12)
            .arg(QStringLiteral("cpu ms/1000"), 12));
    struct Row
    {
        qint64 size;
        quint32 stride;
    };
    // Without --full the largest image is asked for one piece in every 1 KiB block: the tool
    // reads its whole length in as many frames as the smallest image takes, so any growth
    // with the image's size shows at a fraction of the time.
    const std::vector<Row> plan = {
        {smallSize, 4}, {turnaroundSize, 4}, {largeSize, options.full ? 4u : 1024u}};
    QJsonArray rows;
    std::vector<double> peaks;
    for (const Row &planned : plan) {
        std::optional<UpdateFigures> figures;
        if (planned.size == turnaroundSize && planned.stride == 4 && windowTurnaround) {
            figures = windowTurnaround;
        } else {
            const QString path = makeImage(dir.path(), planned.size, image);
            figures = runUpdate(QStringLiteral("window"), path, image, {}, planned.stride);
            QFile::remove(path);
        }
        if (!figures) {
            allRan = false;
            continue;
        }
        const double hwm = figures->hostReport.value(QStringLiteral("hwm_kb")).toDouble();
        const double atDownload =
            figures->hostReport.value(QStringLiteral("rss_at_download_kb")).toDouble();
        peaks.push_back(hwm);
        const QString requests = planned.stride == 4
                                     ? QStringLiteral("every piece")
                                     : QStringLiteral("one per %1 bytes").arg(planned.stride);
        QJsonObject row = updateJson(QStringLiteral("window"), *figures);
        row[QStringLiteral("requests")] = requests;
        row[QStringLiteral("peak_rss_kb")] = hwm;
        row[QStringLiteral("rss_at_download_kb")] = atDownload;
        rows.append(row);
        say(QStringLiteral("%1 %2 %3 %4 %5 %6")
                .arg(sizeText(planned.size), -8)
                .arg(requests, -22)
                .arg(hwm, 12, 'f', 0)
                .arg(atDownload, 19, 'f', 0)
                .arg(figures->dataFrames, 12)
                .arg(cpuMsPer1000(*figures), 12, 'f', 2));
    }
    results[QStringLiteral("footprint")] = rows;
    if (peaks.size() == plan.size()) {
        const double growthKb = *std::max_element(peaks.begin(), peaks.end()) - peaks.front();
        targets.push_back(
            {QStringLiteral("peak RSS above the %1 update").arg(sizeText(plan.front().size)),
             QStringLiteral("<= 1024"), growthKb, QStringLiteral("kB"), growthKb <= 1024});
    }
    say(QString());
}

// Start-up of the update window against an empty dialog and one with a line of text.
void startupSection(Bench &bench)
{
    const Options &options = bench.options;
    std::vector<Target> &targets = bench.targets;
    bool &allRan = bench.allRan;
    QJsonObject &results = bench.results;
    say(QStringLiteral("== Start-up: from spawn, median of %1 runs").arg(options.startupRuns));
    struct Program
    {
        const char *name;
        QString path;
        std::map<QString, std::vector<double>> stamps; // stamp name -> ms after spawn
    };
    Program programs[] = {{"update_window", QStringLiteral(BENCH_STARTUP_TOOL_PATH), {}},
                          {"empty_dialog", QStringLiteral(BENCH_STARTUP_DIALOG_PATH), {}},
                          {"text_dialog", QStringLiteral(BENCH_STARTUP_TEXT_PATH), {}}};
    const QStringList stampNames = {QStringLiteral("main"), QStringLiteral("app"),
                                    QStringLiteral("constructed"), QStringLiteral("exposed"),
                                    QStringLiteral("painted")};
    // One run of each first to warm the caches, then the programs in turn.
    for (int run = -1; run < options.startupRuns; ++run) {
        for (Program &program : programs) {
            const auto stamps = startOnce(program.path);
            if (!stamps) {
                allRan = false;
                continue;
            }
            if (run < 0)
                continue;
            for (const QString &stamp : stampNames)
                program.stamps[stamp].push_back(
                    stamps->value(stamp + QStringLiteral("_ms")).toDouble());
        }
    }
    QString header = QStringLiteral("%1").arg(QStringLiteral("window"), -14);
    for (const QString &stamp : stampNames)
        header += QStringLiteral(" %1").arg(stamp + QStringLiteral(" ms"), 14);
    say(header);
    QJsonObject startup;
    for (Program &program : programs) {
        QJsonObject row;
        QString line = QStringLiteral("%1").arg(QLatin1String(program.name), -14);
        for (const QString &stamp : stampNames) {
            const double median = medianOf(program.stamps[stamp]);
            row[stamp + QStringLiteral("_median_ms")] = median;
            line += QStringLiteral(" %1").arg(median, 14, 'f', 2);
        }
        row[QStringLiteral("runs")] = int(program.stamps[QStringLiteral("exposed")].size());
        startup[QLatin1String(program.name)] = row;
        say(line);
    }
    say(QStringLiteral("(main: process entered main(); app: QApplication made; constructed: "
                       "window object made; exposed: first expose event; painted: first "
                       "frame drawn)"));
    const auto median = [&](int which, const char *stamp) {
        return medianOf(programs[which].stamps[QLatin1String(stamp)]);
    };
    if (median(0, "exposed") > 0 && median(1, "exposed") > 0) {
        const double ratio = median(0, "exposed") / median(1, "exposed");
        startup[QStringLiteral("ratio_exposed_vs_empty_dialog")] = ratio;
        targets.push_back({QStringLiteral("start-up against empty dialog"),
                           QStringLiteral("<= 1.20"), ratio, QStringLiteral("x"), ratio <= 1.2});
    }
    if (median(0, "painted") > 0 && median(2, "painted") > 0) {
        const double ratio = median(0, "painted") / median(2, "painted");
        startup[QStringLiteral("ratio_painted_vs_text_dialog")] = ratio;
        say(QStringLiteral("first frame, update window against the dialog with text: %1x")
                .arg(ratio, 0, 'f', 2));
    }
    results[QStringLiteral("startup")] = startup;
    say(QString());
}

void targetsSection(Bench &bench)
{
    say(QStringLiteral("== Targets"));
    QJsonArray targetRows;
    for (const Target &target : bench.targets) {
        say(QStringLiteral("%1 %2 %3 %4")
                .arg(target.name, -36)
                .arg(target.goal + QLatin1Char(' ') + target.unit, -12)
                .arg(target.value, 12, 'f', 3)
                .arg(target.met ? QStringLiteral("met") : QStringLiteral("MISSED")));
        QJsonObject row;
        row[QStringLiteral("name")] = target.name;
        row[QStringLiteral("goal")] = target.goal + QLatin1Char(' ') + target.unit;
        row[QStringLiteral("value")] = target.value;
        row[QStringLiteral("met")] = target.met;
        targetRows.append(row);
    }
    bench.results[QStringLiteral("targets")] = targetRows;
}

// The command line; the JSON file's path goes to jsonPath.
Options parseOptions(const QCoreApplication &app, QString &jsonPath)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("End-to-end figures of the update tool."));
    parser.addHelpOption();
    const QCommandLineOption jsonOption(QStringLiteral("json"),
                                        QStringLiteral("Where to write the figures as JSON."),
                                        QStringLiteral("file"), QStringLiteral(BENCH_DEFAULT_JSON));
    const QCommandLineOption quickOption(QStringLiteral("quick"),
                                         QStringLiteral("Small images, few runs: a smoke test."));
    const QCommandLineOption fullOption(
        QStringLiteral("full"),
        QStringLiteral("Ask for every piece of the largest image too (minutes longer)."));
    const QCommandLineOption onlyOption(
        QStringLiteral("only"), QStringLiteral("Sections to run, comma-separated."),
        QStringLiteral("turnaround,paced,xwrites,footprint,startup,flash,gang,flashcpu,flashmem"));
    const QCommandLineOption platformsOption(
        QStringLiteral("platforms"),
        QStringLiteral("Qt platforms of the turnaround, paced and X sections (default: offscreen, "
                       "and xcb when DISPLAY is set)."),
        QStringLiteral("offscreen,xcb"));
    const QCommandLineOption pairsOption(
        QStringLiteral("pairs"),
        QStringLiteral("Runs of each host of a pair, in turns: the window and the minimal host, "
                       "vantuflash and the window, vantuflash on one line and on 16 (default 3)."),
        QStringLiteral("n"));
    const QCommandLineOption baudsOption(
        QStringLiteral("bauds"),
        QStringLiteral("Line speeds of the paced and gang sections, comma-separated."),
        QStringLiteral("57600,921600"));
    const QCommandLineOption hostsOption(
        QStringLiteral("hosts"),
        QStringLiteral("Hosts to run in the turnaround and paced sections, comma-separated."),
        QStringLiteral("window,minimal,port,raw"));
    const QCommandLineOption flashOption(
        QStringLiteral("vantuflash"),
        QStringLiteral("The console program the flash, gang, flashcpu and flashmem sections run "
                       "(default: the one built beside the bench)."),
        QStringLiteral("file"), QStringLiteral(BENCH_FLASH_PATH));
    parser.addOptions({jsonOption, quickOption, fullOption, onlyOption, hostsOption, baudsOption,
                       platformsOption, pairsOption, flashOption});
    parser.process(app);

    Options options;
    options.quick = parser.isSet(quickOption);
    options.full = parser.isSet(fullOption);
    if (parser.isSet(onlyOption))
        options.sections = parser.value(onlyOption).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &baud :
         parser.value(baudsOption).split(QLatin1Char(','), Qt::SkipEmptyParts))
        options.bauds.append(baud.toLongLong());
    if (parser.isSet(hostsOption))
        options.hosts = parser.value(hostsOption).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (options.quick)
        options.startupRuns = 3;
    if (parser.isSet(pairsOption))
        options.pairs = std::max(1, parser.value(pairsOption).toInt());
    options.platforms =
        parser.isSet(platformsOption)
            ? parser.value(platformsOption).split(QLatin1Char(','), Qt::SkipEmptyParts)
            : QStringList{Offscreen, Xcb};
    if (options.platforms.contains(Xcb) && qEnvironmentVariableIsEmpty("DISPLAY")) {
        say(QStringLiteral("xcb: DISPLAY is not set, only offscreen figures (bench/run.sh starts "
                           "an X server)"));
        options.platforms.removeAll(Xcb);
    }
    options.flashProgram = parser.value(flashOption);
    jsonPath = parser.value(jsonOption);
    return options;
}

// The machine and how busy it is before the run, printed and kept with the figures.
void machineSection(Bench &bench)
{
    QJsonObject machine = machineJson();
    const double busy = busyFraction();
    machine[QStringLiteral("cpu_busy_at_start")] = busy;
    bench.results[QStringLiteral("machine")] = machine;
    say(QStringLiteral("%1, %2 CPUs, Linux %3, Qt %4, %5 build; CPUs %6% busy before the run")
            .arg(machine[QStringLiteral("cpu")].toString())
            .arg(machine[QStringLiteral("cpus")].toInt())
            .arg(machine[QStringLiteral("kernel")].toString(),
                 machine[QStringLiteral("qt")].toString(),
                 machine[QStringLiteral("build")].toString())
            .arg(busy * 100, 0, 'f', 0));
    if (busy > 0.2)
        say(QStringLiteral("warning: other work is running; the figures will show it"));
    say(QString());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QString jsonPath;
    Bench bench(parseOptions(app, jsonPath));
    const Options &options = bench.options;
    QDir().mkpath(QFileInfo(jsonPath).absolutePath());
    hostLog = QFileInfo(jsonPath).absolutePath() + QStringLiteral("/bench-hosts.log");
    QFile::remove(hostLog);
    if (!bench.dir.isValid())
        qFatal("no temporary directory");
    // The hosts take their platform from the environment, set here before each section.
    qputenv("QT_QPA_PLATFORM", Offscreen.toLatin1());

    machineSection(bench);
    if (options.has("turnaround") || options.has("footprint"))
        turnaroundSection(bench);
    if (options.has("paced"))
        pacedSection(bench);
    if (options.has("xwrites") && options.platforms.contains(Xcb))
        xwritesSection(bench);
    qputenv("QT_QPA_PLATFORM", Offscreen.toLatin1());
    if (options.has("footprint"))
        footprintSection(bench);
    if (options.has("startup"))
        startupSection(bench);
    if (options.has("flash"))
        flashSection(bench);
    if (options.has("gang"))
        gangSection(bench);
    if (options.has("flashcpu"))
        flashCpuSection(bench);
    if (options.has("flashmem"))
        flashMemorySection(bench);
    targetsSection(bench);
    bench.results[QStringLiteral("cpu_busy_at_end")] = busyFraction();

    QFile json(jsonPath);
    if (!json.open(QIODevice::WriteOnly) || json.write(QJsonDocument(bench.results).toJson()) < 0) {
        say(QStringLiteral("cannot write %1").arg(jsonPath));
        return 1;
    }
    say(QStringLiteral("\nJSON: %1").arg(QFileInfo(jsonPath).absoluteFilePath()));
    return bench.allRan ? 0 : 1;
}
