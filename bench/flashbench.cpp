// The sections of vantu_bench that measure the console program, vantuflash: round trips against
// the window's on one line, many lines at once on paced lines against one alone, its CPU per
// frame and its memory. vantuflash runs the whole update by itself: the device side only answers,
// reads what the program prints (--json) and, from /proc, the CPU and memory it uses.
#include "benchcommon.h"
#include "benchrunner.h"

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

QString runKey(const Contender &who, qint64 baud)
{
    return QStringLiteral("%1/%2").arg(who.key()).arg(baud);
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

// One vantuflash process updating a device on each of who's lines: all played by one GangDevice,
// or, on one line, by the device loop the window's updates run against when windowLoop is set.
std::optional<Run> runFlash(const Bench &bench, const Contender &who, const QString &imagePath,
                            const QByteArray &image, LineTiming timing, quint32 stride,
                            bool windowLoop)
{
    QString error;
    std::vector<std::unique_ptr<PtyLine>> owned;
    std::vector<PtyLine *> lines;
    for (int i = 0; i < who.lines; ++i) {
        owned.push_back(std::make_unique<PtyLine>());
        if (!owned.back()->open(error)) {
            say(QStringLiteral("  pseudo-terminal: %1").arg(error));
            return std::nullopt;
        }
        lines.push_back(owned.back().get());
    }
    HostProcess process;
    if (!process.start(flashArguments(bench.flashProgram(who), lines, imagePath), hostLog, error)) {
        say(QStringLiteral("  %1").arg(error));
        return std::nullopt;
    }
    Run run;
    bool ok;
    if (windowLoop) {
        UpdateFigures figures;
        ok = LineDevice(*lines.front(), process, image, timing, stride, HostKind::Autonomous)
                 .run(figures, error);
        run = fromLine(figures);
    } else {
        ok = GangDevice(lines, process, image, timing, stride).run(run.figures, error);
    }
    Outcome outcome;
    outcome.exitCode = process.finish(ExitTimeoutMs, &outcome.usage);
    if (!ok) {
        say(QStringLiteral("  %1, %2 image: %3 (its errors: %4)")
                .arg(who.label(), sizeText(image.size()), error, hostLog));
        return std::nullopt;
    }
    if (!checkOutcome(lines, run.figures, outcome))
        return std::nullopt;
    run.outcome = outcome;
    return clean(run) ? std::optional<Run>(run) : std::nullopt;
}

QJsonObject runJson(const QString &host, const Run &run, qint64 baud)
{
    const GangFigures &figures = run.figures;
    const LineTiming timing{baud};
    int frames = 0;
    std::int64_t longestLineNs = 0, lastLessLateNs = 0, lateNs = 0;
    std::vector<std::int64_t> turnarounds;
    for (const UpdateFigures &line : figures.lines) {
        frames += line.dataFrames;
        longestLineNs = std::max(longestLineNs, timing.lineNs(line.hostBytes + line.deviceBytes));
        // Each late write of the device holds its line back by as much: the bench's share of the
        // update time, taken out.
        lastLessLateNs = std::max(lastLessLateNs, line.doneNs - line.lateSumNs);
        lateNs += line.lateSumNs;
        turnarounds.insert(turnarounds.end(), line.turnaroundNs.begin(), line.turnaroundNs.end());
    }
    const double seconds = double(figures.elapsedNs()) / 1e9;
    // The line time of the bytes one line exchanged, the longest of the lines.
    const double lineSeconds = double(longestLineNs) / 1e9;
    const std::int64_t cpuNs = figures.hostUse.transferCpuNs();
    QJsonObject row;
    row[QStringLiteral("host")] = host;
    row[QStringLiteral("lines")] = int(figures.lines.size());
    row[QStringLiteral("baud")] = baud;
    row[QStringLiteral("load_1min")] = loadAverage();
    row[QStringLiteral("image_bytes")] = figures.lines.front().imageSize;
    row[QStringLiteral("data_frames")] = frames;
    row[QStringLiteral("elapsed_s")] = seconds;
    if (baud > 0) {
        row[QStringLiteral("elapsed_less_bench_late_s")] =
            double(lastLessLateNs - figures.firstStartNs) / 1e9;
        row[QStringLiteral("line_time_s")] = lineSeconds;
        row[QStringLiteral("ratio_to_line_time")] = seconds / lineSeconds;
        row[QStringLiteral("bench_late_us_per_trip")] = double(lateNs) / 1e3 / std::max(1, frames);
    }
    row[QStringLiteral("round_trips_per_s")] = frames / seconds;
    addTurnarounds(row, turnarounds);
    row[QStringLiteral("cpu_ms_per_1000_frames")] =
        cpuNs < 0 || frames == 0 ? -1 : double(cpuNs) / 1e6 / frames * 1000;
    row[QStringLiteral("rss_at_start_kb")] = figures.hostUse.rssAtStartKb;
    row[QStringLiteral("peak_rss_kb")] = figures.hostUse.peakKb;
    if (figures.benchCpuNs > 0)
        row[QStringLiteral("bench_cpu_share")] =
            double(figures.benchCpuNs) / double(figures.elapsedNs());
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

bool flashBuilt(Bench &bench)
{
    bool built = true;
    for (const Contender &who : bench.sides({Flash}))
        built = built && QFileInfo(bench.flashProgram(who)).isExecutable();
    if (built && !bench.options.flashProgram.isEmpty())
        return true;
    say(QStringLiteral("vantuflash is not built (--vantuflash FILE names one; --baseline DIR needs "
                       "DIR/flash/vantuflash): skipped"));
    say(QString());
    bench.allRan = false;
    return false;
}

// One update of who, the window or vantuflash on an image: vantuflash on one unpaced line runs
// against the device loop of the window's updates, on paced lines or several against the gang's.
// Its row goes to the runs the CPU section reads.
Runner::RunOnce consoleRuns(Bench &bench, const QString &path, qint64 baud)
{
    return [&bench, path, baud](const Contender &who) -> std::optional<QJsonObject> {
        std::optional<Run> run;
        if (who.host == Window) {
            if (const auto figures = runUpdate(bench, who, path, bench.image, {}))
                run = fromLine(*figures);
        } else {
            run = runFlash(bench, who, path, bench.image, {baud}, 4, who.lines == 1 && baud == 0);
        }
        if (!run)
            return std::nullopt;
        const QJsonObject row = runJson(who.host, *run, baud);
        bench.consoleRuns[runKey(who, baud)].push_back(row);
        return row;
    };
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
    QJsonArray rows;
    Runner runner(bench, rows, turnaroundColumns(-10));
    runner.printHeader();
    runner.run({{Window}, {Flash}}, bench.options.pairs, consoleRuns(bench, path, 0));
    QFile::remove(path);
    const QString trips = QStringLiteral("round_trips_per_s");
    QJsonObject summary = runner.summary(
        {QStringLiteral("turnaround_mean_us"), QStringLiteral("turnaround_median_us"),
         QStringLiteral("turnaround_p99_us"), QStringLiteral("turnaround_max_us"), trips,
         QStringLiteral("cpu_ms_per_1000_frames"), QStringLiteral("load_1min")},
        6, bench.options.pairs > 1);
    const std::vector<double> pairRatios = runner.roundRatios({Flash}, {Window}, trips);
    if (!pairRatios.empty()) {
        const double ratio = runner.median({Flash}, trips) / runner.median({Window}, trips);
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
    runner.compare(QStringLiteral("flash"),
                   {trips, QStringLiteral("turnaround_median_us"),
                    QStringLiteral("cpu_ms_per_1000_frames"), QStringLiteral("peak_rss_kb")});
    say(QString());
    bench.results[QStringLiteral("flash")] = rows;
    bench.results[QStringLiteral("flash_medians")] = summary;
}

namespace {

// One line speed of the gang section: one line and GangLines in turns, their medians and ratio.
void gangAt(Bench &bench, qint64 baud, QJsonArray &rows, QJsonObject &summary)
{
    // At 57600 a round trip takes 3.5 ms of line time: a smaller image, the figure being the
    // ratio of two runs on the same image.
    const qint64 size = baud == 57600 ? bench.sizes.pacedBaseline : bench.sizes.paced;
    const QString path = makeImage(bench.dir.path(), size, bench.image);
    Runner runner(
        bench, rows,
        {{QStringLiteral("lines"), 5, QStringLiteral("lines")},
         {QStringLiteral("baud"), 7, QStringLiteral("baud")},
         {QStringLiteral("image"), 7, {}, 0, imageText},
         {QStringLiteral("update s"), 9, QStringLiteral("elapsed_s"), 3},
         {QStringLiteral("line s"), 8, QStringLiteral("line_time_s"), 3},
         {QStringLiteral("ratio"), 7, QStringLiteral("ratio_to_line_time"), 4},
         {QStringLiteral("mean us"), 8, QStringLiteral("turnaround_mean_us"), 1},
         {QStringLiteral("cpu ms/1000"), 12, QStringLiteral("cpu_ms_per_1000_frames"), 2},
         {QStringLiteral("bench late us"), 14, QStringLiteral("bench_late_us_per_trip"), 2},
         {QStringLiteral("bench cpu"),
          10,
          {},
          0,
          [](const QJsonObject &row) {
              return QStringLiteral("%1%").arg(
                  row.value(QStringLiteral("bench_cpu_share")).toDouble() * 100, 0, 'f', 0);
          }},
         {QStringLiteral("load"), 6, QStringLiteral("load_1min"), 2}});
    if (rows.isEmpty())
        runner.printHeader();
    const Contender alone{Flash}, gang{Flash, GangLines};
    runner.run({alone, gang}, bench.options.pairs, consoleRuns(bench, path, baud));
    QFile::remove(path);
    if (!runner.ran(alone) || !runner.ran(gang))
        return;
    const QString seconds = QStringLiteral("elapsed_s");
    const QString lessLate = QStringLiteral("elapsed_less_bench_late_s");
    const double ratio = runner.median(gang, seconds) / runner.median(alone, seconds);
    const double ratioLessLate = runner.median(gang, lessLate) / runner.median(alone, lessLate);
    const std::vector<double> pairRatios = runner.roundRatios(gang, alone, seconds);
    QJsonObject medians;
    medians[QStringLiteral("alone_s")] = runner.median(alone, seconds);
    medians[QStringLiteral("gang_s")] = runner.median(gang, seconds);
    medians[QStringLiteral("ratio_of_medians")] = ratio;
    medians[QStringLiteral("ratio_median_of_pairs")] = medianOf(pairRatios);
    medians[QStringLiteral("ratio_less_bench_late")] = ratioLessLate;
    summary[QString::number(baud)] = medians;
    say(QStringLiteral("at %1, %2 lines against one: %3 (ratio of the medians), %4 (median of the "
                       "%5 pairs' ratios), %6 less the bench's lateness")
            .arg(baud)
            .arg(GangLines)
            .arg(ratio, 0, 'f', 4)
            .arg(medianOf(pairRatios), 0, 'f', 4)
            .arg(pairRatios.size())
            .arg(ratioLessLate, 0, 'f', 4));
    bench.targets.push_back({QStringLiteral("%1 lines against one at %2").arg(GangLines).arg(baud),
                             QStringLiteral("<= %1").arg(GangGoal, 0, 'f', 2), ratio,
                             QStringLiteral("x"), ratio <= GangGoal});
    runner.compare(QStringLiteral("gang, %1 baud").arg(baud),
                   {seconds, QStringLiteral("ratio_to_line_time"),
                    QStringLiteral("cpu_ms_per_1000_frames"), QStringLiteral("peak_rss_kb")});
}

// The image size of a row of the CPU section that no section before ran.
qint64 cpuImageSize(const Sizes &sizes, const Contender &who, qint64 baud)
{
    return baud == 57600   ? sizes.pacedBaseline
           : baud > 0      ? sizes.paced
           : who.lines > 1 ? sizes.gangUnpaced
                           : sizes.turnaround;
}

QString lineText(qint64 baud)
{
    return baud ? QString::number(baud) : QStringLiteral("unpaced");
}

using ConsolePlan = std::vector<std::pair<Contender, qint64>>;

// The rows of the CPU section that the sections before did not run: run here, quietly.
void fillConsoleRuns(Bench &bench, const ConsolePlan &plan)
{
    QJsonArray unprinted;
    for (const auto &[who, baud] : plan) {
        if (!bench.consoleRuns[runKey(who, baud)].empty())
            continue;
        const QString path =
            makeImage(bench.dir.path(), cpuImageSize(bench.sizes, who, baud), bench.image);
        Runner(bench, unprinted).run({who}, bench.onceRounds(), consoleRuns(bench, path, baud));
        QFile::remove(path);
    }
}

// The CPU section's rows of both builds, with --baseline.
void compareConsoleRuns(Bench &bench, const ConsolePlan &plan)
{
    if (bench.options.baseline.isEmpty())
        return;
    BaselineReport report(bench, QStringLiteral("flashcpu"));
    for (const auto &[who, baud] : plan) {
        const auto sides = bench.sides(who);
        report.add(QStringLiteral("%1, %2").arg(who.label(), lineText(baud)),
                   bench.consoleRuns[runKey(sides.front(), baud)],
                   bench.consoleRuns[runKey(who, baud)],
                   {QStringLiteral("cpu_ms_per_1000_frames"), QStringLiteral("process_cpu_ms")});
    }
    report.finish();
}

} // namespace

void gangSection(Bench &bench)
{
    say(QStringLiteral("== vantuflash, %1 lines at once against one alone, paced lines, one device "
                       "loop for all; in turns, %2 pairs")
            .arg(GangLines)
            .arg(bench.options.pairs));
    if (!flashBuilt(bench))
        return;
    QJsonArray rows;
    QJsonObject summary;
    for (const qint64 baud : {qint64(57600), qint64(921600)}) {
        if (bench.options.runsBaud(baud))
            gangAt(bench, baud, rows, summary);
    }
    say(QStringLiteral(
        "(update s: first CMD_START read to the last RSP_DONE written; line s: line time of the "
        "bytes one line exchanged; ratio: update s / line s; mean us: request written to data "
        "frame read, over all lines; bench late: how far the device's writes trailed the line "
        "model, per round trip; bench cpu: the device loop's own CPU over the update time)"));
    say(QString());
    bench.results[QStringLiteral("gang")] = rows;
    bench.results[QStringLiteral("gang_medians")] = summary;
}

void flashCpuSection(Bench &bench)
{
    say(QStringLiteral("== Host CPU per 1000 data frames, CMD_START to RSP_DONE: vantuflash on one "
                       "line and on %1, the window on one")
            .arg(GangLines));
    if (!flashBuilt(bench))
        return;
    qputenv("QT_QPA_PLATFORM", Offscreen.toLatin1());
    ConsolePlan plan = {{{Window}, 0}, {{Flash}, 0}, {{Flash, GangLines}, 0}};
    for (const qint64 baud : {qint64(57600), qint64(921600)}) {
        if (bench.options.runsBaud(baud)) {
            plan.push_back({{Flash}, baud});
            plan.push_back({{Flash, GangLines}, baud});
        }
    }
    fillConsoleRuns(bench, plan);
    QJsonArray rows;
    Runner table(bench, rows,
                 {{QStringLiteral("host"), -10, QStringLiteral("host")},
                  {QStringLiteral("lines"), 5, QStringLiteral("lines")},
                  {QStringLiteral("line"),
                   9,
                   {},
                   0,
                   [](const QJsonObject &row) {
                       return lineText(row[QStringLiteral("baud")].toInteger());
                   }},
                  {QStringLiteral("runs"), 4, QStringLiteral("runs")},
                  {QStringLiteral("frames"), 9, QStringLiteral("data_frames")},
                  {QStringLiteral("cpu ms/1000"), 12, QStringLiteral("cpu_ms_per_1000_frames"), 2},
                  {QStringLiteral("process cpu ms"),
                   15,
                   {},
                   0,
                   [](const QJsonObject &row) {
                       return row[QStringLiteral("host")].toString() == Flash
                                  ? QString::number(
                                        row[QStringLiteral("process_cpu_ms")].toDouble(), 'f', 0)
                                  : QString();
                   }},
                  {QStringLiteral("load"), 6, QStringLiteral("load_1min"), 2}});
    table.printHeader();
    const QStringList fields = {QStringLiteral("data_frames"),
                                QStringLiteral("cpu_ms_per_1000_frames"),
                                QStringLiteral("process_cpu_ms"), QStringLiteral("load_1min")};
    for (const auto &[who, baud] : plan) {
        for (const Contender &side : bench.sides(who)) {
            const std::vector<QJsonObject> &runs = bench.consoleRuns[runKey(side, baud)];
            if (runs.empty())
                continue;
            QJsonObject row;
            table.markBuild(row, side);
            row[QStringLiteral("host")] = side.host;
            row[QStringLiteral("lines")] = side.lines;
            row[QStringLiteral("baud")] = baud;
            row[QStringLiteral("runs")] = int(runs.size());
            for (const QString &field : fields)
                row[field] = spreadOf(runs, field).median;
            rows.append(row);
            table.print(row);
        }
    }
    say(QStringLiteral("(medians of the runs; frames: data frames over all lines; cpu: the host "
                       "process's CPU time, all threads, from the first CMD_START read until the "
                       "last RSP_DONE was due, from /proc; process cpu: vantuflash's whole run, "
                       "start-up and exit included, from the kernel's account at its exit)"));
    compareConsoleRuns(bench, plan);
    say(QString());
    bench.results[QStringLiteral("flash_cpu")] = rows;
}

void flashMemorySection(Bench &bench)
{
    say(QStringLiteral("== Memory of vantuflash: one line and %1, device answers at once")
            .arg(GangLines));
    if (!flashBuilt(bench))
        return;
    // The large image is asked for one piece in every 1 KiB block, as in the window's footprint:
    // the program reads its whole length in a fraction of the time.
    const std::pair<qint64, quint32> plan[] = {{bench.sizes.small, 4}, {bench.sizes.large, 1024}};
    QJsonArray rows;
    for (const auto &[size, stride] : plan) {
        Runner runner(bench, rows,
                      {{QStringLiteral("lines"), 5, QStringLiteral("lines")},
                       {QStringLiteral("image"), -8, {}, 0, imageText},
                       {QStringLiteral("requests"), -18, QStringLiteral("requests")},
                       {QStringLiteral("frames"), 9, QStringLiteral("data_frames")},
                       {QStringLiteral("RSS at START kB"), 16, QStringLiteral("rss_at_start_kb")},
                       {QStringLiteral("peak RSS kB"), 12, QStringLiteral("peak_rss_kb")},
                       {QStringLiteral("load"), 6, QStringLiteral("load_1min"), 2}});
        if (rows.isEmpty())
            runner.printHeader();
        const QString path = makeImage(bench.dir.path(), size, bench.image);
        const Contender alone{Flash}, gang{Flash, GangLines};
        runner.run({alone, gang}, bench.onceRounds(),
                   [&](const Contender &who) -> std::optional<QJsonObject> {
                       const auto run = runFlash(bench, who, path, bench.image, {}, stride, false);
                       if (!run)
                           return std::nullopt;
                       QJsonObject row = runJson(Flash, *run, 0);
                       row[QStringLiteral("requests")] = requestsText(stride);
                       return row;
                   });
        QFile::remove(path);
        const QString peak = QStringLiteral("peak_rss_kb");
        if (runner.ran(alone) && runner.ran(gang)) {
            const double more = runner.median(gang, peak) - runner.median(alone, peak);
            say(QStringLiteral("  %1 image: %2 kB more for %3 lines than for one, %4 kB a line")
                    .arg(sizeText(size))
                    .arg(more, 0, 'f', 0)
                    .arg(GangLines)
                    .arg(more / (GangLines - 1), 0, 'f', 0));
        }
        runner.compare(QStringLiteral("flashmem, %1, %2").arg(sizeText(size), requestsText(stride)),
                       {peak, QStringLiteral("rss_at_start_kb")});
    }
    say(QStringLiteral("(RSS at START: resident set when the first CMD_START was read; peak: "
                       "VmHWM, last read from /proc while the process was alive)"));
    say(QString());
    bench.results[QStringLiteral("flash_memory")] = rows;
}
