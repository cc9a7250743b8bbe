// The sections of vantu_bench that measure the window: host turnaround offscreen and on an X
// server, update time on a paced line against the line's own time, writes to the X connection and
// footprint. Each runs the real window (vantu_bench_host) in turns with the minimal host, or alone.
#include "benchcommon.h"
#include "benchrunner.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <iterator>

using namespace Qt::StringLiterals;

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

const QString Window = u"window"_s;
const QString Minimal = u"minimal"_s;

// The hosts of names that --hosts lets run.
std::vector<Contender> hostsOf(const Options &options, const QStringList &names)
{
    std::vector<Contender> hosts;
    for (const QString &name : names) {
        if (options.runs(name))
            hosts.push_back({name});
    }
    return hosts;
}

// The turnaround of the window and the minimal host on one platform, in turns: medians, their
// ratio and the targets.
void turnaroundTargets(Bench &bench, const Runner &runner, const QString &platform,
                       QJsonObject &summary)
{
    const QString trips = u"round_trips_per_s"_s;
    const Contender window{Window}, minimal{Minimal};
    if (const auto ratio =
            runner.tripsRatio(window, minimal, u"window against the minimal host"_s, summary))
        bench.targets.push_back({u"%1: trips/s against minimal"_s.arg(platform), u">= 0.90"_s,
                                 *ratio, u"x"_s, *ratio >= 0.9});
    if (runner.ran(window) && platform == Offscreen) {
        const double median = runner.median(window, u"turnaround_median_us"_s);
        const double perSecond = runner.median(window, trips);
        bench.targets.push_back(
            {u"turnaround median"_s, u"< 100"_s, median, u"us"_s, median < 100});
        bench.targets.push_back(
            {u"round trips unpaced"_s, u">= 10000"_s, perSecond, u"/s"_s, perSecond >= 10000});
    }
}

// Host turnaround on one platform: the window and the minimal host in turns, the stripped hosts
// once, offscreen. The footprint section alone runs only the window's first update.
void turnaroundOn(Bench &bench, const QString &platform, QJsonArray &rows, QJsonObject &summaries)
{
    const Options &options = bench.options;
    const bool full = options.has("turnaround");
    qputenv("QT_QPA_PLATFORM", platform.toLatin1());
    const qint64 size = platform == Offscreen ? bench.sizes.turnaround : bench.sizes.xcbTurnaround;
    const int pairs = full ? options.pairs : 1;
    say(QStringLiteral("== Host turnaround, %1: device answers at once, %2 image, window and "
                       "minimal host in turns, %3 pairs")
            .arg(platform, sizeText(size))
            .arg(pairs));
    const QString path = makeImage(bench.dir.path(), size, bench.image);
    Runner runner(bench, rows, turnaroundColumns(-8, platform == Xcb));
    const auto once = [&](const Contender &who) -> std::optional<QJsonObject> {
        const auto figures = runUpdate(bench, who, path, bench.image, {});
        if (!figures)
            return std::nullopt;
        if (who.host == Window && !who.baseline && platform == Offscreen && !bench.windowTurnaround)
            bench.windowTurnaround = figures;
        return updateJson(who.host, *figures);
    };
    runner.run(hostsOf(options, full ? QStringList{Window, Minimal} : QStringList{Window}), pairs,
               once);
    QJsonObject summary =
        runner.summary({u"turnaround_mean_us"_s, u"turnaround_median_us"_s, u"turnaround_p99_us"_s,
                        u"turnaround_max_us"_s, u"round_trips_per_s"_s, u"cpu_ms_per_1000_frames"_s,
                        u"load_1min"_s, u"xserver_cpu_ms_per_1000_frames"_s},
                       3, pairs > 1);
    if (pairs == 1)
        summary = {};
    turnaroundTargets(bench, runner, platform, summary);
    // The stripped hosts draw nothing: offscreen only.
    if (full && platform == Offscreen)
        runner.run(hostsOf(options, {u"port"_s, u"raw"_s}), bench.onceRounds(), once);
    QStringList compared = {u"turnaround_median_us"_s, u"turnaround_p99_us"_s,
                            u"round_trips_per_s"_s, u"cpu_ms_per_1000_frames"_s};
    if (platform == Xcb)
        compared << u"xserver_cpu_ms_per_1000_frames"_s;
    runner.compare(u"turnaround, %1"_s.arg(platform), compared);
    summaries[platform] = summary;
    QFile::remove(path);
    say(QString());
}

} // namespace

void turnaroundSection(Bench &bench)
{
    QJsonArray rows;
    QJsonObject summaries;
    const bool full = bench.options.has("turnaround");
    for (const QString &platform : full ? bench.options.platforms : QStringList{Offscreen}) {
        QJsonArray platformRows; // a table of its own
        turnaroundOn(bench, platform, platformRows, summaries);
        for (const QJsonValue &row : std::as_const(platformRows))
            rows.append(row);
    }
    bench.results[u"turnaround"_s] = rows;
    bench.results[u"turnaround_medians"_s] = summaries;
}

namespace {

// The paced runs at one line speed: the window and the minimal host in turns, the stripped hosts
// once offscreen; the median ratios and the target.
void pacedAt(Bench &bench, const QString &platform, qint64 baud, QJsonArray &rows,
             QJsonObject &summary)
{
    const qint64 size = bench.sizes.pacedAt(baud);
    const LineTiming timing{baud};
    const QString path = makeImage(bench.dir.path(), size, bench.image);
    Runner runner(bench, rows,
                  pacedColumns({u"host"_s, -8, u"host"_s}, u"ratio"_s,
                               {u"median us"_s, 10, u"turnaround_median_us"_s, 1}, {LoadColumn}));
    const auto once = [&](const Contender &who) -> std::optional<QJsonObject> {
        const auto figures = runUpdate(bench, who, path, bench.image, timing);
        if (!figures)
            return std::nullopt;
        const double bound = double(timing.lineNs(figures->hostBytes + figures->deviceBytes));
        QJsonObject row = updateJson(who.host, *figures);
        row[u"baud"_s] = baud;
        row[u"line_time_s"_s] = bound / 1e9;
        row[u"ratio"_s] = double(figures->elapsedNs()) / bound;
        row[u"bench_late_us_per_trip"_s] =
            double(figures->lateSumNs) / 1e3 / std::max(1, figures->dataFrames);
        row[u"bench_late_max_us"_s] = double(figures->lateMaxNs) / 1e3;
        return row;
    };
    runner.run(hostsOf(bench.options, {Window, Minimal}), bench.options.pairs, once);
    // The stripped hosts draw nothing: offscreen only.
    if (platform == Offscreen)
        runner.run(hostsOf(bench.options, {u"port"_s, u"raw"_s}), bench.onceRounds(), once);
    QFile::remove(path);
    const QString ratio = u"ratio"_s;
    QJsonObject medians;
    for (const Contender &who : runner.contenders())
        medians[who.key()] = runner.median(who, ratio);
    summary[QString::number(baud)] = medians;
    if (!runner.ran({Window}))
        return;
    const double windowRatio = runner.median({Window}, ratio);
    QString line = u"at %1, median ratio: window %2"_s.arg(baud).arg(windowRatio, 0, 'f', 4);
    for (const QString &other : {Minimal, u"raw"_s}) {
        if (runner.ran({other}))
            line += u", %1 %2 (window adds %3)"_s.arg(other)
                        .arg(runner.median({other}, ratio), 0, 'f', 4)
                        .arg(windowRatio - runner.median({other}, ratio), 0, 'f', 4);
    }
    say(line);
    if (baud == 57600 || platform == Offscreen) {
        const double goal = baud == 57600 ? 1.01 : 1.05;
        bench.targets.push_back({u"%1: paced ratio at %2"_s.arg(platform).arg(baud),
                                 u"<= %1"_s.arg(goal, 0, 'f', 2), windowRatio, QString(),
                                 windowRatio <= goal});
    }
    runner.compare(u"paced, %1, %2 baud"_s.arg(platform).arg(baud),
                   {ratio, u"elapsed_s"_s, u"turnaround_median_us"_s});
}

} // namespace

// Update time on a paced line against the line's own time, per platform and line speed.
void pacedSection(Bench &bench)
{
    QJsonArray rows;
    QJsonObject summaries;
    for (const QString &platform : bench.options.platforms) {
        qputenv("QT_QPA_PLATFORM", platform.toLatin1());
        say(QStringLiteral("== Paced line, %1: update time against the line's own time, window and "
                           "minimal host in turns, %2 pairs")
                .arg(platform)
                .arg(bench.options.pairs));
        QJsonArray platformRows;
        QJsonObject summary;
        for (const qint64 baud : bench.options.lineSpeeds())
            pacedAt(bench, platform, baud, platformRows, summary);
        for (const QJsonValue &row : std::as_const(platformRows))
            rows.append(row);
        summaries[platform] = summary;
        say(QStringLiteral(
            "(ratio: update time / line time of the bytes exchanged, CMD_START to RSP_DONE; "
            "mean/median: device request written to the tool's data frame read, per round trip; "
            "bench late: mean time the device's writes trailed the line model)"));
        say(QString());
    }
    bench.results[u"paced"_s] = rows;
    bench.results[u"paced_median_ratios"_s] = summaries;
}

namespace {

// One host's update under strace, for xwritesSection: its row, or nullopt, said.
std::optional<QJsonObject> tracedUpdate(Bench &bench, const Contender &who, const QString &strace,
                                        const QString &path)
{
    const QString trace = bench.dir.filePath(u"trace-%1.txt"_s.arg(who.host));
    // Only these calls stop the host (seccomp filter): QSerialPort's writes and the event loop's
    // wake-ups run untraced.
    const QStringList wrapper =
        QStringList{strace} +
        QStringLiteral(
            "-f -qq --seccomp-bpf -s 0 -e trace=writev,sendmsg,recvmsg -e signal=none -o")
            .split(QLatin1Char(' ')) +
        QStringList{trace};
    const auto figures = runUpdate(bench, who, path, bench.image, {}, 4, wrapper);
    const TraceCounts counts = countTraced(trace);
    QFile::remove(trace);
    if (!figures || !counts.marked) {
        if (figures)
            say(u"  %1: the trace holds no transfer marks"_s.arg(who.host));
        return std::nullopt;
    }
    const double trips = std::max(1, figures->dataFrames);
    QJsonObject row;
    row[u"host"_s] = who.host;
    row[u"round_trips"_s] = figures->dataFrames;
    row[u"x_writes"_s] = counts.writes;
    row[u"x_writes_per_trip"_s] = double(counts.writes) / trips;
    row[u"x_reads"_s] = counts.reads;
    row[u"x_reads_per_trip"_s] = double(counts.reads) / trips;
    row[u"x_writes_per_s"_s] = double(counts.writes) / (double(figures->elapsedNs()) / 1e9);
    row[u"load_1min"_s] = loadAverage();
    return row;
}

} // namespace

// Writes to the X connection during a transfer, counted under strace.
void xwritesSection(Bench &bench)
{
    qputenv("QT_QPA_PLATFORM", Xcb.toLatin1());
    const QString strace = QStandardPaths::findExecutable(u"strace"_s);
    say(QStringLiteral(
            "== Writes to the X connection during a transfer, xcb, under strace, %1 image")
            .arg(sizeText(bench.sizes.xcbTurnaround)));
    if (strace.isEmpty()) {
        say(u"strace is not installed: skipped"_s);
        bench.allRan = false;
        say(QString());
        return;
    }
    const QString path = makeImage(bench.dir.path(), bench.sizes.xcbTurnaround, bench.image);
    QJsonArray rows;
    Runner runner(bench, rows,
                  {{u"host"_s, -8, u"host"_s},
                   {u"trips"_s, 8, u"round_trips"_s},
                   {u"X writes"_s, 9, u"x_writes"_s},
                   {u"per trip"_s, 9, u"x_writes_per_trip"_s, 4},
                   {u"X reads"_s, 8, u"x_reads"_s},
                   {u"per trip"_s, 9, u"x_reads_per_trip"_s, 4},
                   {u"writes/s"_s, 9, u"x_writes_per_s"_s, 0}});
    runner.run(hostsOf(bench.options, {Window, Minimal}), bench.onceRounds(),
               [&](const Contender &who) { return tracedUpdate(bench, who, strace, path); });
    QFile::remove(path);
    if (runner.ran({Window})) {
        const double perTrip = runner.median({Window}, u"x_writes_per_trip"_s);
        bench.targets.push_back(
            {u"xcb: X writes per round trip"_s, u"< 0.05"_s, perTrip, QString(), perTrip < 0.05});
    }
    bench.results[u"x_writes"_s] = rows;
    say(QStringLiteral("(X writes: writev and sendmsg, the calls libxcb writes the X connection "
                       "with, between the host's marks at Download and at RSP_DONE; X reads: "
                       "recvmsg, events and replies coming back)"));
    runner.compare(u"xwrites"_s, {u"x_writes_per_trip"_s, u"x_reads_per_trip"_s});
    say(QString());
}

// Peak resident set of the window process for small and large images.
void footprintSection(Bench &bench)
{
    say(u"== Footprint of the window process, device answers at once"_s);
    // Without --full the largest image is asked for one piece in every 1 KiB block: the tool
    // reads its whole length in as many frames as the smallest image takes, so any growth with
    // the image's size shows at a fraction of the time.
    const std::pair<qint64, quint32> plan[] = {
        {bench.sizes.small, 4},
        {bench.sizes.turnaround, 4},
        {bench.sizes.large, bench.options.full ? 4u : 1024u}};
    QJsonArray rows;
    std::vector<double> peaks;
    for (const auto &[size, stride] : plan) {
        Runner runner(bench, rows,
                      {{u"image"_s, -8, {}, 0, imageText},
                       {u"requests"_s, -22, u"requests"_s},
                       {u"peak RSS kB"_s, 12, u"peak_rss_kb"_s},
                       {u"RSS at Download kB"_s, 19, u"rss_at_download_kb"_s},
                       {u"data frames"_s, 12, u"data_frames"_s},
                       CpuColumn});
        const QString path = makeImage(bench.dir.path(), size, bench.image);
        runner.run(
            {{Window}}, bench.onceRounds(),
            [&](const Contender &who) -> std::optional<QJsonObject> {
                // The turnaround section's first update is this one, unless two builds are
                // compared.
                const bool reuse = size == bench.sizes.turnaround && stride == 4 &&
                                   bench.windowTurnaround && bench.options.baseline.isEmpty();
                const auto figures = reuse ? bench.windowTurnaround
                                           : runUpdate(bench, who, path, bench.image, {}, stride);
                if (!figures)
                    return std::nullopt;
                QJsonObject row = updateJson(who.host, *figures);
                row[u"requests"_s] = requestsText(stride);
                row[u"peak_rss_kb"_s] = figures->hostReport.value(u"hwm_kb"_s);
                row[u"rss_at_download_kb"_s] = figures->hostReport.value(u"rss_at_download_kb"_s);
                return row;
            });
        QFile::remove(path);
        if (runner.ran({Window}))
            peaks.push_back(runner.median({Window}, u"peak_rss_kb"_s));
        runner.compare(u"footprint, %1, %2"_s.arg(sizeText(size), requestsText(stride)),
                       {u"peak_rss_kb"_s, u"rss_at_download_kb"_s});
    }
    bench.results[u"footprint"_s] = rows;
    if (peaks.size() == std::size(plan)) {
        const double growthKb = *std::max_element(peaks.begin(), peaks.end()) - peaks.front();
        bench.targets.push_back({u"peak RSS above the %1 update"_s.arg(sizeText(plan[0].first)),
                                 u"<= 1024"_s, growthKb, u"kB"_s, growthKb <= 1024});
    }
    say(QString());
}
