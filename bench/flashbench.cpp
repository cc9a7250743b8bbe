// The sections of vantu_bench that measure the console program, vantuflash: round trips against
// the window's on one line, many lines at once on paced lines against one alone, its CPU per
// frame and its memory. vantuflash runs the whole update by itself: the device side only answers,
// reads what the program prints (--json) and, from /proc, the CPU and memory it uses.
#include "benchcommon.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <memory>

namespace {

// The lines of a gang: a fixture of boards, all updated by one process.
constexpr int GangLines = 16;
// A gang of lines may take at most this much longer than one line alone: the wire is the limit,
// not the host.
constexpr double GangGoal = 1.05;
// How long vantuflash may take to exit once every device has said RSP_DONE.
constexpr int ExitTimeoutMs = 5000;

const QString Window = QStringLiteral("window");
const QString Flash = QStringLiteral("vantuflash");

// What a vantuflash process said and used, beside the device side's figures.
struct Outcome
{
    int exitCode = -1;
    rusage usage{};
    int updated = 0;           // result objects saying "updated"
    int requestMismatches = 0; // results whose request counts are not what the device asked
};

// One update of one or several lines, from the device side: a bench host's update becomes a
// gang of one.
struct Run
{
    GangFigures figures;
    std::optional<Outcome> outcome; // vantuflash only

    int dataFrames() const
    {
        int frames = 0;
        for (const UpdateFigures &line : figures.lines)
            frames += line.dataFrames;
        return frames;
    }
    // The line time of the bytes one line exchanged, the longest of the lines.
    double lineSeconds(LineTiming timing) const
    {
        std::int64_t longest = 0;
        for (const UpdateFigures &line : figures.lines)
            longest = std::max(longest, timing.lineNs(line.hostBytes + line.deviceBytes));
        return double(longest) / 1e9;
    }
    double seconds() const { return double(figures.elapsedNs()) / 1e9; }
    // The update time less the time the device's writes trailed the line model: each late write
    // holds its line back by as much. The bench's share of the figure, taken out.
    double secondsLessLate() const
    {
        std::int64_t lastNs = 0;
        for (const UpdateFigures &line : figures.lines)
            lastNs = std::max(lastNs, line.doneNs - line.lateSumNs);
        return double(lastNs - figures.firstStartNs) / 1e9;
    }
    double cpuMsPer1000() const
    {
        const std::int64_t cpuNs = figures.hostUse.transferCpuNs();
        return cpuNs < 0 || dataFrames() == 0 ? -1 : double(cpuNs) / 1e6 / dataFrames() * 1000;
    }
    std::vector<std::int64_t> turnarounds() const
    {
        std::vector<std::int64_t> all;
        for (const UpdateFigures &line : figures.lines)
            all.insert(all.end(), line.turnaroundNs.begin(), line.turnaroundNs.end());
        return all;
    }
    double lateUsPerTrip() const
    {
        std::int64_t late = 0;
        for (const UpdateFigures &line : figures.lines)
            late += line.lateSumNs;
        return double(late) / 1e3 / std::max(1, dataFrames());
    }
};

Run fromLine(const UpdateFigures &line)
{
    Run run;
    run.figures.lines = {line};
    run.figures.firstStartNs = line.startNs;
    run.figures.lastDoneNs = line.doneNs;
    run.figures.hostUse = line.hostUse;
    return run;
}

QString runKey(const QString &host, int lines, qint64 baud)
{
    return QStringLiteral("%1/%2/%3").arg(host).arg(lines).arg(baud);
}

QStringList flashArguments(const QString &program, const std::vector<PtyLine *> &lines,
                           const QString &imagePath)
{
    // VANTU_BENCH_FLASH_WRAPPER runs the program under a profiler, e.g.
    // "valgrind --tool=massif --massif-out-file=/tmp/flash.%p".
    QStringList arguments =
        qEnvironmentVariable("VANTU_BENCH_FLASH_WRAPPER").split(u' ', Qt::SkipEmptyParts);
    arguments << program << QStringLiteral("--json");
    for (const PtyLine *line : lines)
        arguments << QStringLiteral("-p") << line->slavePath();
    arguments << imagePath;
    return arguments;
}

// Reads vantuflash's result objects: every line must say "updated", and its request counts must
// be the device's (every data request answered, the one answered with END included, none
// repeated). False, said, when the program did not update every line.
bool checkOutcome(const std::vector<PtyLine *> &lines, const GangFigures &figures, Outcome &outcome)
{
    for (const QByteArray &text : figures.hostUse.output) {
        const QJsonObject object = QJsonDocument::fromJson(text).object();
        if (object.value(QStringLiteral("event")).toString() != QLatin1String("result"))
            continue;
        if (object.value(QStringLiteral("result")).toString() == QLatin1String("updated"))
            ++outcome.updated;
        const QString port = object.value(QStringLiteral("port")).toString();
        for (size_t i = 0; i < lines.size(); ++i) {
            const QString path = lines[i]->slavePath();
            if (port != path && port != QFileInfo(path).fileName())
                continue;
            const int asked = figures.lines[i].dataFrames + 1;
            if (object.value(QStringLiteral("requests")).toInt() != asked ||
                object.value(QStringLiteral("repeated_requests")).toInt() != 0)
                ++outcome.requestMismatches;
        }
    }
    if (outcome.exitCode == 0 && outcome.updated == int(lines.size()))
        return true;
    say(QStringLiteral("  vantuflash: exit code %1, %2 of %3 lines updated; it printed:")
            .arg(outcome.exitCode)
            .arg(outcome.updated)
            .arg(lines.size()));
    for (size_t i = 0; i < std::min<size_t>(figures.hostUse.output.size(), 8); ++i)
        say(QStringLiteral("    %1").arg(QString::fromUtf8(figures.hostUse.output[i])));
    return false;
}

bool clean(const Run &run)
{
    for (const UpdateFigures &line : run.figures.lines) {
        if (!line.clean()) {
            say(QStringLiteral("  %1 wrong pieces, %2 bad check bytes, %3 frames out of place")
                    .arg(line.dataErrors)
                    .arg(line.badChecks)
                    .arg(line.unexpected));
            return false;
        }
    }
    if (run.outcome && run.outcome->requestMismatches > 0)
        say(QStringLiteral("  note: %1 results with request counts that are not the device's")
                .arg(run.outcome->requestMismatches));
    return true;
}

// One vantuflash update on one line with the device loop the window's updates run against.
std::optional<Run> runFlashOnLine(const Options &options, const QString &imagePath,
                                  const QByteArray &image)
{
    QString error;
    PtyLine line;
    if (!line.open(error)) {
        say(QStringLiteral("  pseudo-terminal: %1").arg(error));
        return std::nullopt;
    }
    HostProcess process;
    if (!process.start(flashArguments(options.flashProgram, {&line}, imagePath), hostLog, error)) {
        say(QStringLiteral("  %1").arg(error));
        return std::nullopt;
    }
    UpdateFigures figures;
    LineDevice device(line, process, image, {}, 4, HostKind::Autonomous);
    const bool ok = device.run(figures, error);
    Outcome outcome;
    outcome.exitCode = process.finish(ExitTimeoutMs, &outcome.usage);
    if (!ok) {
        say(QStringLiteral("  vantuflash, %1 image: %2 (its errors: %3)")
                .arg(sizeText(image.size()), error, hostLog));
        return std::nullopt;
    }
    Run run = fromLine(figures);
    if (!checkOutcome({&line}, run.figures, outcome))
        return std::nullopt;
    run.outcome = outcome;
    return clean(run) ? std::optional<Run>(run) : std::nullopt;
}

// One vantuflash process updating a device on each of count lines, played by one GangDevice.
std::optional<Run> runGang(const Options &options, int count, const QString &imagePath,
                           const QByteArray &image, LineTiming timing, quint32 stride = 4)
{
    QString error;
    std::vector<std::unique_ptr<PtyLine>> owned;
    std::vector<PtyLine *> lines;
    for (int i = 0; i < count; ++i) {
        owned.push_back(std::make_unique<PtyLine>());
        if (!owned.back()->open(error)) {
            say(QStringLiteral("  pseudo-terminal: %1").arg(error));
            return std::nullopt;
        }
        lines.push_back(owned.back().get());
    }
    HostProcess process;
    if (!process.start(flashArguments(options.flashProgram, lines, imagePath), hostLog, error)) {
        say(QStringLiteral("  %1").arg(error));
        return std::nullopt;
    }
    Run run;
    GangDevice device(lines, process, image, timing, stride);
    const bool ok = device.run(run.figures, error);
    Outcome outcome;
    outcome.exitCode = process.finish(ExitTimeoutMs, &outcome.usage);
    if (!ok) {
        say(QStringLiteral("  vantuflash, %1 lines, %2 image: %3 (its errors: %4)")
                .arg(count)
                .arg(sizeText(image.size()), error, hostLog));
        return std::nullopt;
    }
    if (!checkOutcome(lines, run.figures, outcome))
        return std::nullopt;
    run.outcome = outcome;
    return clean(run) ? std::optional<Run>(run) : std::nullopt;
}

QJsonObject runJson(const QString &host, const Run &run, qint64 baud)
{
    const std::vector<std::int64_t> turnarounds = run.turnarounds();
    const LineTiming timing{baud};
    QJsonObject row;
    row[QStringLiteral("host")] = host;
    row[QStringLiteral("lines")] = int(run.figures.lines.size());
    row[QStringLiteral("baud")] = baud;
    row[QStringLiteral("load_1min")] = loadAverage();
    row[QStringLiteral("image_bytes")] = run.figures.lines.front().imageSize;
    row[QStringLiteral("data_frames")] = run.dataFrames();
    row[QStringLiteral("elapsed_s")] = run.seconds();
    if (baud > 0) {
        row[QStringLiteral("elapsed_less_bench_late_s")] = run.secondsLessLate();
        row[QStringLiteral("line_time_s")] = run.lineSeconds(timing);
        row[QStringLiteral("ratio_to_line_time")] = run.seconds() / run.lineSeconds(timing);
        row[QStringLiteral("bench_late_us_per_trip")] = run.lateUsPerTrip();
    }
    row[QStringLiteral("round_trips_per_s")] = run.dataFrames() / run.seconds();
    row[QStringLiteral("turnaround_mean_us")] = meanUs(turnarounds);
    row[QStringLiteral("turnaround_median_us")] = percentileUs(turnarounds, 0.5);
    row[QStringLiteral("turnaround_p99_us")] = percentileUs(turnarounds, 0.99);
    row[QStringLiteral("turnaround_max_us")] = percentileUs(turnarounds, 1.0);
    row[QStringLiteral("cpu_ms_per_1000_frames")] = run.cpuMsPer1000();
    row[QStringLiteral("rss_at_start_kb")] = run.figures.hostUse.rssAtStartKb;
    row[QStringLiteral("peak_rss_kb")] = run.figures.hostUse.peakKb;
    if (run.figures.benchCpuNs > 0)
        row[QStringLiteral("bench_cpu_share")] =
            double(run.figures.benchCpuNs) / double(run.figures.elapsedNs());
    if (run.outcome) {
        const rusage &usage = run.outcome->usage;
        const auto ms = [](const timeval &time) {
            return double(time.tv_sec) * 1e3 + double(time.tv_usec) / 1e3;
        };
        row[QStringLiteral("process_cpu_ms")] = ms(usage.ru_utime) + ms(usage.ru_stime);
        row[QStringLiteral("process_cpu_user_ms")] = ms(usage.ru_utime);
        row[QStringLiteral("process_cpu_system_ms")] = ms(usage.ru_stime);
        row[QStringLiteral("exit_code")] = run.outcome->exitCode;
    }
    return row;
}

double medianField(const std::vector<QJsonObject> &rows, const char *field)
{
    std::vector<double> values;
    for (const QJsonObject &row : rows)
        values.push_back(row.value(QLatin1String(field)).toDouble());
    return medianOf(values);
}

bool flashBuilt(Bench &bench)
{
    if (!bench.options.flashProgram.isEmpty() &&
        QFileInfo(bench.options.flashProgram).isExecutable())
        return true;
    say(QStringLiteral("vantuflash is not built (--vantuflash FILE names one): skipped"));
    say(QString());
    bench.allRan = false;
    return false;
}

} // namespace

void flashSection(Bench &bench)
{
    const qint64 size = bench.sizes.turnaround;
    say(QStringLiteral("== vantuflash against the window, one line, offscreen: device answers at "
                       "once, %1 image, in turns, %2 pairs")
            .arg(sizeText(size))
            .arg(bench.options.pairs));
    if (!flashBuilt(bench))
        return;
    qputenv("QT_QPA_PLATFORM", Offscreen.toLatin1());
    const QString path = makeImage(bench.dir.path(), size, bench.image);
    say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
            .arg(QStringLiteral("host"), -10)
            .arg(QStringLiteral("mean us"), 10)
            .arg(QStringLiteral("median us"), 10)
            .arg(QStringLiteral("p99 us"), 10)
            .arg(QStringLiteral("max us"), 10)
            .arg(QStringLiteral("trips/s"), 10)
            .arg(QStringLiteral("cpu ms/1000"), 12)
            .arg(QStringLiteral("load"), 6));
    const auto printRow = [](const QString &host, const QJsonObject &row) {
        say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
                .arg(host, -10)
                .arg(row[QStringLiteral("turnaround_mean_us")].toDouble(), 10, 'f', 1)
                .arg(row[QStringLiteral("turnaround_median_us")].toDouble(), 10, 'f', 1)
                .arg(row[QStringLiteral("turnaround_p99_us")].toDouble(), 10, 'f', 1)
                .arg(row[QStringLiteral("turnaround_max_us")].toDouble(), 10, 'f', 1)
                .arg(row[QStringLiteral("round_trips_per_s")].toDouble(), 10, 'f', 0)
                .arg(row[QStringLiteral("cpu_ms_per_1000_frames")].toDouble(), 12, 'f', 2)
                .arg(row[QStringLiteral("load_1min")].toDouble(), 6, 'f', 2));
    };
    QJsonArray rows;
    std::map<QString, std::vector<QJsonObject>> byHost;
    std::vector<double> pairRatios;
    for (int pair = 0; pair < bench.options.pairs; ++pair) {
        std::map<QString, double> trips;
        for (const QString &host : {Window, Flash}) {
            std::optional<Run> run;
            if (host == Window) {
                if (const auto figures = runUpdate(Window, path, bench.image, {}))
                    run = fromLine(*figures);
            } else {
                run = runFlashOnLine(bench.options, path, bench.image);
            }
            if (!run) {
                bench.allRan = false;
                continue;
            }
            QJsonObject row = runJson(host, *run, 0);
            row[QStringLiteral("pair")] = pair;
            rows.append(row);
            printRow(host, row);
            byHost[host].push_back(row);
            bench.consoleRuns[runKey(host, 1, 0)].push_back(row);
            trips[host] = row[QStringLiteral("round_trips_per_s")].toDouble();
        }
        if (trips.count(Window) && trips.count(Flash))
            pairRatios.push_back(trips[Flash] / trips[Window]);
    }
    QFile::remove(path);

    QJsonObject summary;
    for (const QString &host : {Window, Flash}) {
        if (byHost[host].empty())
            continue;
        QJsonObject medians;
        for (const char *field :
             {"turnaround_mean_us", "turnaround_median_us", "turnaround_p99_us",
              "turnaround_max_us", "round_trips_per_s", "cpu_ms_per_1000_frames", "load_1min"})
            medians[QLatin1String(field)] = medianField(byHost[host], field);
        medians[QStringLiteral("runs")] = int(byHost[host].size());
        summary[host] = medians;
        if (bench.options.pairs > 1)
            printRow(QStringLiteral("%1 med").arg(host.left(6)), medians);
    }
    if (!pairRatios.empty()) {
        const double ratio = medianField(byHost[Flash], "round_trips_per_s") /
                             medianField(byHost[Window], "round_trips_per_s");
        summary[QStringLiteral("trips_ratio_of_medians")] = ratio;
        summary[QStringLiteral("trips_ratio_median_of_pairs")] = medianOf(pairRatios);
        say(QStringLiteral("round trips/s, vantuflash against the window: %1 (ratio of the "
                           "medians), %2 (median of the %3 pairs' ratios)")
                .arg(ratio, 0, 'f', 3)
                .arg(medianOf(pairRatios), 0, 'f', 3)
                .arg(pairRatios.size()));
    }
    say(QStringLiteral("(mean/median: device request written to the tool's data frame read; "
                       "trips/s: data frames from CMD_START to RSP_DONE; cpu: the host process's "
                       "CPU time over the same span, all its threads, read from /proc)"));
    say(QString());
    bench.results[QStringLiteral("flash")] = rows;
    bench.results[QStringLiteral("flash_medians")] = summary;
}

void gangSection(Bench &bench)
{
    say(QStringLiteral("== vantuflash, %1 lines at once against one alone, paced lines, one "
                       "device loop for all; in turns, %2 pairs")
            .arg(GangLines)
            .arg(bench.options.pairs));
    if (!flashBuilt(bench))
        return;
    say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11")
            .arg(QStringLiteral("lines"), 5)
            .arg(QStringLiteral("baud"), 7)
            .arg(QStringLiteral("image"), 7)
            .arg(QStringLiteral("update s"), 9)
            .arg(QStringLiteral("line s"), 8)
            .arg(QStringLiteral("ratio"), 7)
            .arg(QStringLiteral("mean us"), 8)
            .arg(QStringLiteral("cpu ms/1000"), 12)
            .arg(QStringLiteral("bench late us"), 14)
            .arg(QStringLiteral("bench cpu"), 10)
            .arg(QStringLiteral("load"), 6));
    QJsonArray rows;
    QJsonObject summary;
    for (const qint64 baud : {qint64(57600), qint64(921600)}) {
        if (!bench.options.runsBaud(baud))
            continue;
        // At 57600 a round trip takes 3.5 ms of line time: a smaller image, the figure being the
        // ratio of two runs on the same image.
        const qint64 size = baud == 57600 ? bench.sizes.pacedBaseline : bench.sizes.paced;
        const LineTiming timing{baud};
        const QString path = makeImage(bench.dir.path(), size, bench.image);
        std::map<int, std::vector<double>> seconds; // lines -> update times
        std::map<int, std::vector<double>> lessLate;
        std::vector<double> pairRatios;
        for (int pair = 0; pair < bench.options.pairs; ++pair) {
            std::map<int, double> pairSeconds;
            for (const int count : {1, GangLines}) {
                const auto run = runGang(bench.options, count, path, bench.image, timing);
                if (!run) {
                    bench.allRan = false;
                    continue;
                }
                QJsonObject row = runJson(Flash, *run, baud);
                row[QStringLiteral("pair")] = pair;
                rows.append(row);
                bench.consoleRuns[runKey(Flash, count, baud)].push_back(row);
                seconds[count].push_back(run->seconds());
                lessLate[count].push_back(run->secondsLessLate());
                pairSeconds[count] = run->seconds();
                say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9 %10 %11")
                        .arg(count, 5)
                        .arg(baud, 7)
                        .arg(sizeText(size), 7)
                        .arg(run->seconds(), 9, 'f', 3)
                        .arg(run->lineSeconds(timing), 8, 'f', 3)
                        .arg(run->seconds() / run->lineSeconds(timing), 7, 'f', 4)
                        .arg(row[QStringLiteral("turnaround_mean_us")].toDouble(), 8, 'f', 1)
                        .arg(run->cpuMsPer1000(), 12, 'f', 2)
                        .arg(run->lateUsPerTrip(), 14, 'f', 2)
                        .arg(
                            QStringLiteral("%1%").arg(
                                row[QStringLiteral("bench_cpu_share")].toDouble() * 100, 0, 'f', 0),
                            10)
                        .arg(row[QStringLiteral("load_1min")].toDouble(), 6, 'f', 2));
            }
            if (pairSeconds.count(1) && pairSeconds.count(GangLines))
                pairRatios.push_back(pairSeconds[GangLines] / pairSeconds[1]);
        }
        QFile::remove(path);
        if (seconds[1].empty() || seconds[GangLines].empty())
            continue;
        const double ratio = medianOf(seconds[GangLines]) / medianOf(seconds[1]);
        const double ratioLessLate = medianOf(lessLate[GangLines]) / medianOf(lessLate[1]);
        QJsonObject medians;
        medians[QStringLiteral("alone_s")] = medianOf(seconds[1]);
        medians[QStringLiteral("gang_s")] = medianOf(seconds[GangLines]);
        medians[QStringLiteral("ratio_of_medians")] = ratio;
        medians[QStringLiteral("ratio_median_of_pairs")] = medianOf(pairRatios);
        medians[QStringLiteral("ratio_less_bench_late")] = ratioLessLate;
        summary[QString::number(baud)] = medians;
        say(QStringLiteral("at %1, %2 lines against one: %3 (ratio of the medians), %4 (median "
                           "of the %5 pairs' ratios), %6 less the bench's lateness")
                .arg(baud)
                .arg(GangLines)
                .arg(ratio, 0, 'f', 4)
                .arg(medianOf(pairRatios), 0, 'f', 4)
                .arg(pairRatios.size())
                .arg(ratioLessLate, 0, 'f', 4));
        bench.targets.push_back(
            {QStringLiteral("%1 lines against one at %2").arg(GangLines).arg(baud),
             QStringLiteral("<= %1").arg(GangGoal, 0, 'f', 2), ratio, QStringLiteral("x"),
             ratio <= GangGoal});
    }
    say(QStringLiteral("(update s: first CMD_START read to the last RSP_DONE written; line s: "
                       "line time of the bytes one line exchanged; ratio: update s / line s; "
                       "mean us: request written to data frame read, over all lines; bench late: "
                       "how far the device's writes trailed the line model, per round trip; bench "
                       "cpu: the device loop's own CPU over the update time)"));
    say(QString());
    bench.results[QStringLiteral("gang")] = rows;
    bench.results[QStringLiteral("gang_medians")] = summary;
}

void flashCpuSection(Bench &bench)
{
    say(QStringLiteral("== Host CPU per 1000 data frames, CMD_START to RSP_DONE: vantuflash on "
                       "one line and on %1, the window on one")
            .arg(GangLines));
    if (!flashBuilt(bench))
        return;
    qputenv("QT_QPA_PLATFORM", Offscreen.toLatin1());
    struct Row
    {
        QString host;
        int lines;
        qint64 baud;
    };
    std::vector<Row> plan = {{Window, 1, 0}, {Flash, 1, 0}, {Flash, GangLines, 0}};
    for (const qint64 baud : {qint64(57600), qint64(921600)}) {
        if (bench.options.runsBaud(baud)) {
            plan.push_back({Flash, 1, baud});
            plan.push_back({Flash, GangLines, baud});
        }
    }
    say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
            .arg(QStringLiteral("host"), -10)
            .arg(QStringLiteral("lines"), 5)
            .arg(QStringLiteral("line"), 9)
            .arg(QStringLiteral("runs"), 4)
            .arg(QStringLiteral("frames"), 9)
            .arg(QStringLiteral("cpu ms/1000"), 12)
            .arg(QStringLiteral("process cpu ms"), 15)
            .arg(QStringLiteral("load"), 6));
    QJsonArray rows;
    for (const Row &planned : plan) {
        std::vector<QJsonObject> &runs =
            bench.consoleRuns[runKey(planned.host, planned.lines, planned.baud)];
        // Taken from the sections before when they ran; otherwise one run here.
        if (runs.empty()) {
            const qint64 size = planned.baud == 57600 ? bench.sizes.pacedBaseline
                                : planned.baud > 0    ? bench.sizes.paced
                                : planned.lines > 1   ? bench.sizes.gangUnpaced
                                                      : bench.sizes.turnaround;
            const QString path = makeImage(bench.dir.path(), size, bench.image);
            std::optional<Run> run;
            if (planned.host == Window) {
                if (const auto figures = runUpdate(Window, path, bench.image, {}))
                    run = fromLine(*figures);
            } else if (planned.lines == 1 && planned.baud == 0) {
                run = runFlashOnLine(bench.options, path, bench.image);
            } else {
                run = runGang(bench.options, planned.lines, path, bench.image,
                              LineTiming{planned.baud});
            }
            QFile::remove(path);
            if (!run) {
                bench.allRan = false;
                continue;
            }
            runs.push_back(runJson(planned.host, *run, planned.baud));
        }
        QJsonObject row;
        row[QStringLiteral("host")] = planned.host;
        row[QStringLiteral("lines")] = planned.lines;
        row[QStringLiteral("baud")] = planned.baud;
        row[QStringLiteral("runs")] = int(runs.size());
        for (const char *field :
             {"data_frames", "cpu_ms_per_1000_frames", "process_cpu_ms", "load_1min"})
            row[QLatin1String(field)] = medianField(runs, field);
        rows.append(row);
        say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
                .arg(planned.host, -10)
                .arg(planned.lines, 5)
                .arg(planned.baud ? QString::number(planned.baud) : QStringLiteral("unpaced"), 9)
                .arg(runs.size(), 4)
                .arg(row[QStringLiteral("data_frames")].toDouble(), 9, 'f', 0)
                .arg(row[QStringLiteral("cpu_ms_per_1000_frames")].toDouble(), 12, 'f', 2)
                .arg(planned.host == Flash
                         ? QString::number(row[QStringLiteral("process_cpu_ms")].toDouble(), 'f', 0)
                         : QString(),
                     15)
                .arg(row[QStringLiteral("load_1min")].toDouble(), 6, 'f', 2));
    }
    say(QStringLiteral("(medians of the runs; frames: data frames over all lines; cpu: the host "
                       "process's CPU time, all threads, from the first CMD_START read until "
                       "the last RSP_DONE was due, from /proc; process cpu: vantuflash's whole "
                       "run, start-up and exit included, from the kernel's account at its exit)"));
    say(QString());
    bench.results[QStringLiteral("flash_cpu")] = rows;
}

void flashMemorySection(Bench &bench)
{
    say(QStringLiteral("== Memory of vantuflash: one line and %1, device answers at once")
            .arg(GangLines));
    if (!flashBuilt(bench))
        return;
    say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
            .arg(QStringLiteral("lines"), 5)
            .arg(QStringLiteral("image"), -8)
            .arg(QStringLiteral("requests"), -18)
            .arg(QStringLiteral("frames"), 9)
            .arg(QStringLiteral("RSS at START kB"), 16)
            .arg(QStringLiteral("peak RSS kB"), 12)
            .arg(QStringLiteral("load"), 6));
    struct Row
    {
        qint64 size;
        quint32 stride;
    };
    // The large image is asked for one piece in every 1 KiB block, as in the window's footprint:
    // the program reads its whole length in a fraction of the time.
    const Row plan[] = {{bench.sizes.small, 4}, {bench.sizes.large, 1024}};
    QJsonArray rows;
    for (const Row &planned : plan) {
        const QString path = makeImage(bench.dir.path(), planned.size, bench.image);
        std::map<int, double> peaks;
        for (const int count : {1, GangLines}) {
            const auto run =
                runGang(bench.options, count, path, bench.image, LineTiming{}, planned.stride);
            if (!run) {
                bench.allRan = false;
                continue;
            }
            const QString requests = planned.stride == 4
                                         ? QStringLiteral("every piece")
                                         : QStringLiteral("one per %1 bytes").arg(planned.stride);
            QJsonObject row = runJson(Flash, *run, 0);
            row[QStringLiteral("requests")] = requests;
            rows.append(row);
            peaks[count] = double(run->figures.hostUse.peakKb);
            say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7")
                    .arg(count, 5)
                    .arg(sizeText(planned.size), -8)
                    .arg(requests, -18)
                    .arg(run->dataFrames(), 9)
                    .arg(run->figures.hostUse.rssAtStartKb, 16)
                    .arg(run->figures.hostUse.peakKb, 12)
                    .arg(row[QStringLiteral("load_1min")].toDouble(), 6, 'f', 2));
        }
        QFile::remove(path);
        if (peaks.count(1) && peaks.count(GangLines))
            say(QStringLiteral("  %1 image: %2 kB more for %3 lines than for one, %4 kB a line")
                    .arg(sizeText(planned.size))
                    .arg(peaks[GangLines] - peaks[1], 0, 'f', 0)
                    .arg(GangLines)
                    .arg((peaks[GangLines] - peaks[1]) / (GangLines - 1), 0, 'f', 0));
    }
    say(QStringLiteral("(RSS at START: resident set when the first CMD_START was read; peak: "
                       "VmHWM, last read from /proc while the process was alive)"));
    say(QString());
    bench.results[QStringLiteral("flash_memory")] = rows;
}
