// The sections of vantu_bench that measure the console program, vantuflash: round trips against
// the window's on one line, many lines at once on paced lines against one alone, its CPU per
// frame and its memory; and the station, vantustation, on the same engine, 16 slots against one.
// Both run the whole update by themselves: the device side only answers, reads the results (what
// vantuflash prints with --json, the station's record log) and, from /proc, the CPU and memory
// the program uses.
#include "benchcommon.h"
#include "benchrunner.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <deque>

using namespace Qt::StringLiterals;

namespace {

// The lines of a gang: a fixture of boards, all updated by one process.
constexpr int GangLines = 16;
// A gang of lines may take at most this much longer than one line alone: the wire is the limit,
// not the host.
constexpr double GangGoal = 1.05;
// How long vantuflash may take to exit once every device has said RSP_DONE.
constexpr int ExitTimeoutMs = 5000;

const QString Window = u"window"_s;
const QString Flash = u"vantuflash"_s;
const QString Station = u"vantustation"_s;

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
    return u"%1/%2"_s.arg(who.key()).arg(baud);
}

// vantuflash with --json, or the station started at once with its records in log.
QStringList flashArguments(const Bench &bench, const Contender &who,
                           const std::vector<PtyLine *> &lines, const QString &imagePath,
                           const QString &log)
{
    // VANTU_BENCH_FLASH_WRAPPER runs the program under a profiler, e.g.
    // "valgrind --tool=massif --massif-out-file=/tmp/flash.%p".
    QStringList arguments =
        qEnvironmentVariable("VANTU_BENCH_FLASH_WRAPPER").split(u' ', Qt::SkipEmptyParts);
    if (who.host == Station)
        arguments << bench.programOf(who) << u"--start"_s << u"--log"_s << log;
    else
        arguments << bench.programOf(who) << u"--json"_s;
    for (const PtyLine *line : lines)
        arguments << u"-p"_s << line->slavePath();
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
        if (object.value(u"event"_s).toString() != QLatin1String("result"))
            continue;
        if (object.value(u"result"_s).toString() == QLatin1String("updated"))
            ++outcome.updated;
        const QString port = object.value(u"port"_s).toString();
        for (size_t i = 0; i < lines.size(); ++i) {
            const QString path = lines[i]->slavePath();
            if (port != path && port != QFileInfo(path).fileName())
                continue;
            const int asked = figures.lines[i].dataFrames + 1;
            if (object.value(u"requests"_s).toInt() != asked ||
                object.value(u"repeated_requests"_s).toInt() != 0)
                ++outcome.requestMismatches;
        }
    }
    if (outcome.exitCode == 0 && outcome.updated == int(lines.size()))
        return true;
    say(u"  exit code %1, %2 of %3 lines updated; the results:"_s.arg(outcome.exitCode)
            .arg(outcome.updated)
            .arg(lines.size()));
    for (size_t i = 0; i < std::min<size_t>(figures.hostUse.output.size(), 8); ++i)
        say(u"    %1"_s.arg(QString::fromUtf8(figures.hostUse.output[i])));
    return false;
}

bool clean(const Run &run, const QString &who)
{
    for (const UpdateFigures &line : run.figures.lines) {
        if (saidUnclean(line, who))
            return false;
    }
    if (run.outcome && run.outcome->requestMismatches > 0)
        say(u"  note: %1 results with request counts that are not the device's"_s.arg(
            run.outcome->requestMismatches));
    return true;
}

// The station's records so far, one a line.
std::vector<QByteArray> recordLines(const QString &log)
{
    QFile file(log);
    std::vector<QByteArray> lines;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (!line.isEmpty())
                lines.push_back(line);
        }
    }
    return lines;
}

// One vantuflash or station process updating a device on each of who's lines: all played by one
// GangDevice, or, on one line, by the device loop the window's updates run against when
// windowLoop is set. The station, which waits for the next boards, is ended (SIGTERM) once it
// has recorded every line's.
std::optional<Run> runFlash(const Bench &bench, const Contender &who, const QString &imagePath,
                            const QByteArray &image, LineTiming timing, quint32 stride,
                            bool windowLoop)
{
    std::deque<PtyLine> owned(size_t(who.lines));
    std::vector<PtyLine *> lines;
    for (PtyLine &line : owned) {
        if (!openLine(line))
            return std::nullopt;
        lines.push_back(&line);
    }
    const QString log = bench.dir.filePath(u"station-records.jsonl"_s);
    QFile::remove(log);
    HostProcess process;
    if (!startHost(process, flashArguments(bench, who, lines, imagePath, log)))
        return std::nullopt;
    QString error;
    Run run;
    bool ok;
    if (windowLoop) {
        UpdateFigures figures;
        ok = LineDevice(*lines.front(), process, image, timing, stride, HostKind::Autonomous)
                 .run(figures, error);
        run = fromLine(figures);
    } else {
        GangDevice gang(lines, process, image, timing, stride);
        if (who.host == Station)
            gang.endHostWhen([&] { return recordLines(log).size() >= lines.size(); });
        ok = gang.run(run.figures, error);
    }
    if (who.host == Station)
        run.figures.hostUse.output = recordLines(log);
    Outcome outcome;
    outcome.exitCode = process.finish(ExitTimeoutMs, &outcome.usage);
    if (!ok) {
        say(u"  %1, %2 image: %3 (its errors: %4)"_s.arg(who.label(), sizeText(image.size()), error,
                                                         hostLog));
        return std::nullopt;
    }
    if (!checkOutcome(lines, run.figures, outcome))
        return std::nullopt;
    run.outcome = outcome;
    return clean(run, who.label()) ? std::optional<Run>(run) : std::nullopt;
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
    QJsonObject row =
        figuresRow(host, figures.lines.front().imageSize, frames, figures.elapsedNs(), turnarounds);
    row[u"lines"_s] = int(figures.lines.size());
    row[u"baud"_s] = baud;
    if (baud > 0) {
        row[u"elapsed_less_bench_late_s"_s] = double(lastLessLateNs - figures.firstStartNs) / 1e9;
        row[u"line_time_s"_s] = lineSeconds;
        row[u"ratio_to_line_time"_s] = seconds / lineSeconds;
        row[u"bench_late_us_per_trip"_s] = double(lateNs) / 1e3 / std::max(1, frames);
    }
    row[u"cpu_ms_per_1000_frames"_s] =
        cpuNs < 0 || frames == 0 ? -1 : double(cpuNs) / 1e6 / frames * 1000;
    row[u"rss_at_start_kb"_s] = figures.hostUse.rssAtStartKb;
    row[u"peak_rss_kb"_s] = figures.hostUse.peakKb;
    if (figures.benchCpuNs > 0)
        row[u"bench_cpu_share"_s] = double(figures.benchCpuNs) / double(figures.elapsedNs());
    if (run.outcome) {
        const rusage &usage = run.outcome->usage;
        const auto ms = [](const timeval &time) {
            return double(time.tv_sec) * 1e3 + double(time.tv_usec) / 1e3;
        };
        row[u"process_cpu_ms"_s] = ms(usage.ru_utime) + ms(usage.ru_stime);
        row[u"process_cpu_user_ms"_s] = ms(usage.ru_utime);
        row[u"process_cpu_system_ms"_s] = ms(usage.ru_stime);
        row[u"exit_code"_s] = run.outcome->exitCode;
    }
    return row;
}

bool flashBuilt(Bench &bench)
{
    // A baseline without vantuflash runs nothing here: Bench::sides() leaves it out.
    if (!bench.options.flashProgram.isEmpty() &&
        QFileInfo(bench.flashProgram({Flash})).isExecutable())
        return true;
    say(QStringLiteral("vantuflash is not built (--vantuflash FILE names one): skipped"));
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
    runner.run({{Window}, {Flash}}, bench.options.pairs, consoleRuns(bench, path, 0));
    QFile::remove(path);
    const QString trips = u"round_trips_per_s"_s;
    QJsonObject summary =
        runner.summary({u"turnaround_mean_us"_s, u"turnaround_median_us"_s, u"turnaround_p99_us"_s,
                        u"turnaround_max_us"_s, trips, u"cpu_ms_per_1000_frames"_s, u"load_1min"_s},
                       6, bench.options.pairs > 1);
    runner.tripsRatio({Flash}, {Window}, u"vantuflash against the window"_s, summary);
    say(QStringLiteral("(mean/median: device request written to the tool's data frame read; "
                       "trips/s: data frames from CMD_START to RSP_DONE; cpu: the host process's "
                       "CPU time over the same span, all its threads, read from /proc)"));
    runner.compare(u"flash"_s, {trips, u"turnaround_median_us"_s, u"cpu_ms_per_1000_frames"_s,
                                u"peak_rss_kb"_s});
    say(QString());
    bench.results[u"flash"_s] = rows;
    bench.results[u"flash_medians"_s] = summary;
}

namespace {

QString benchCpuText(const QJsonObject &row)
{
    return u"%1%"_s.arg(row.value(u"bench_cpu_share"_s).toDouble() * 100, 0, 'f', 0);
}

// One line speed of the gang section: one line and GangLines in turns, their medians and ratio.
void gangAt(Bench &bench, qint64 baud, QJsonArray &rows, QJsonObject &summary)
{
    const qint64 size = bench.sizes.pacedAt(baud);
    const QString path = makeImage(bench.dir.path(), size, bench.image);
    Runner runner(bench, rows,
                  pacedColumns({u"lines"_s, 5, u"lines"_s}, u"ratio_to_line_time"_s, CpuColumn,
                               {{u"bench cpu"_s, 10, {}, 0, benchCpuText}, LoadColumn}));
    const Contender alone{Flash}, gang{Flash, GangLines};
    runner.run({alone, gang}, bench.options.pairs, consoleRuns(bench, path, baud));
    QFile::remove(path);
    const QString seconds = u"elapsed_s"_s;
    const QString lessLate = u"elapsed_less_bench_late_s"_s;
    const auto ratio = runner.ratio(gang, alone, seconds);
    if (!ratio)
        return;
    const double ratioLessLate = runner.median(gang, lessLate) / runner.median(alone, lessLate);
    summary[QString::number(baud)] = QJsonObject{{u"alone_s"_s, runner.median(alone, seconds)},
                                                 {u"gang_s"_s, runner.median(gang, seconds)},
                                                 {u"ratio_of_medians"_s, ratio->ofMedians},
                                                 {u"ratio_median_of_pairs"_s, ratio->medianOfPairs},
                                                 {u"ratio_less_bench_late"_s, ratioLessLate}};
    say(u"at %1, %2 lines against one: %3, %4 less the bench's lateness"_s.arg(baud)
            .arg(GangLines)
            .arg(ratio->text(4))
            .arg(ratioLessLate, 0, 'f', 4));
    bench.targets.push_back({u"%1 lines against one at %2"_s.arg(GangLines).arg(baud),
                             u"<= %1"_s.arg(GangGoal, 0, 'f', 2), ratio->ofMedians, u"x"_s,
                             ratio->ofMedians <= GangGoal});
    runner.compare(u"gang, %1 baud"_s.arg(baud), {seconds, u"ratio_to_line_time"_s,
                                                  u"cpu_ms_per_1000_frames"_s, u"peak_rss_kb"_s});
}

// The image size of a row of the CPU section that no section before ran.
qint64 cpuImageSize(const Sizes &sizes, const Contender &who, qint64 baud)
{
    return baud > 0 ? sizes.pacedAt(baud) : who.lines > 1 ? sizes.gangUnpaced : sizes.turnaround;
}

QString lineText(qint64 baud)
{
    return baud ? QString::number(baud) : u"unpaced"_s;
}

QString lineColumnText(const QJsonObject &row)
{
    return lineText(row[u"baud"_s].toInteger());
}

QString processCpuText(const QJsonObject &row)
{
    return row[u"host"_s].toString() == Flash
               ? QString::number(row[u"process_cpu_ms"_s].toDouble(), 'f', 0)
               : QString();
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
    BaselineReport report(bench, u"flashcpu"_s);
    for (const auto &[who, baud] : plan) {
        const auto sides = bench.sides(who);
        report.add(u"%1, %2"_s.arg(who.label(), lineText(baud)),
                   bench.consoleRuns[runKey(sides.front(), baud)],
                   bench.consoleRuns[runKey(who, baud)],
                   {u"cpu_ms_per_1000_frames"_s, u"process_cpu_ms"_s});
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
    for (const qint64 baud : bench.options.lineSpeeds())
        gangAt(bench, baud, rows, summary);
    say(QStringLiteral(
        "(update s: first CMD_START read to the last RSP_DONE written; line s: line time of the "
        "bytes one line exchanged; ratio: update s / line s; mean us: request written to data "
        "frame read, over all lines; bench late: how far the device's writes trailed the line "
        "model, per round trip; bench cpu: the device loop's own CPU over the update time)"));
    say(QString());
    bench.results[u"gang"_s] = rows;
    bench.results[u"gang_medians"_s] = summary;
}

void stationSection(Bench &bench)
{
    constexpr qint64 baud = 57600;
    say(QStringLiteral("== vantustation, %1 slots against one, and vantuflash on %1 lines, paced "
                       "at %2 baud, offscreen; in turns, %3 rounds")
            .arg(GangLines)
            .arg(baud)
            .arg(bench.options.pairs));
    if (!flashBuilt(bench))
        return;
    if (!QFileInfo(bench.stationProgram({Station})).isExecutable()) {
        say(u"vantustation is not built: skipped\n"_s);
        bench.allRan = false;
        return;
    }
    qputenv("QT_QPA_PLATFORM", Offscreen.toLatin1());
    const QString path = makeImage(bench.dir.path(), bench.sizes.pacedAt(baud), bench.image);
    QJsonArray rows;
    Runner runner(bench, rows,
                  pacedColumns({u"program"_s, -12, u"host"_s}, u"ratio_to_line_time"_s,
                               {u"lines"_s, 5, u"lines"_s}, {CpuColumn, LoadColumn}));
    const Contender one{Station}, all{Station, GangLines}, console{Flash, GangLines};
    runner.run({one, all, console}, bench.options.pairs, consoleRuns(bench, path, baud));
    QFile::remove(path);
    const QString seconds = u"elapsed_s"_s, cpu = u"cpu_ms_per_1000_frames"_s;
    bench.results[u"station"_s] = rows;
    runner.compare(u"station, %1 baud"_s.arg(baud), {seconds, u"ratio_to_line_time"_s, cpu});
    const auto ratio = runner.ratio(all, one, seconds);
    if (!ratio || !runner.ran(console))
        return;
    const double cpuRatio = runner.median(all, cpu) / runner.median(console, cpu);
    bench.results[u"station_medians"_s] =
        QJsonObject{{u"one_slot_s"_s, runner.median(one, seconds)},
                    {u"slots_s"_s, runner.median(all, seconds)},
                    {u"ratio_of_medians"_s, ratio->ofMedians},
                    {u"ratio_median_of_pairs"_s, ratio->medianOfPairs},
                    {u"cpu_ms_per_1000_frames"_s, runner.median(all, cpu)},
                    {u"vantuflash_cpu_ms_per_1000_frames"_s, runner.median(console, cpu)}};
    say(u"%1 slots against one: %2; CPU per 1000 frames on %1 lines, the station against "
        "vantuflash: %3x"_s.arg(GangLines)
            .arg(ratio->text(4))
            .arg(cpuRatio, 0, 'f', 2));
    say(QStringLiteral("(as in the gang section; the station's CPU includes its window, painted "
                       "offscreen)\n"));
    bench.targets.push_back({u"station, %1 slots against one at %2"_s.arg(GangLines).arg(baud),
                             u"<= %1"_s.arg(GangGoal, 0, 'f', 2), ratio->ofMedians, u"x"_s,
                             ratio->ofMedians <= GangGoal});
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
    for (const qint64 baud : bench.options.lineSpeeds()) {
        plan.push_back({{Flash}, baud});
        plan.push_back({{Flash, GangLines}, baud});
    }
    fillConsoleRuns(bench, plan);
    QJsonArray rows;
    Runner table(bench, rows,
                 {{u"host"_s, -10, u"host"_s},
                  {u"lines"_s, 5, u"lines"_s},
                  {u"line"_s, 9, {}, 0, lineColumnText},
                  {u"runs"_s, 4, u"runs"_s},
                  {u"frames"_s, 9, u"data_frames"_s},
                  CpuColumn,
                  {u"process cpu ms"_s, 15, {}, 0, processCpuText},
                  LoadColumn});
    const QStringList fields = {u"data_frames"_s, u"cpu_ms_per_1000_frames"_s, u"process_cpu_ms"_s,
                                u"load_1min"_s};
    for (const auto &[who, baud] : plan) {
        for (const Contender &side : bench.sides(who)) {
            const std::vector<QJsonObject> &runs = bench.consoleRuns[runKey(side, baud)];
            if (runs.empty())
                continue;
            QJsonObject row = mediansOf(runs, fields);
            table.markBuild(row, side);
            row[u"host"_s] = side.host;
            row[u"lines"_s] = side.lines;
            row[u"baud"_s] = baud;
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
    bench.results[u"flash_cpu"_s] = rows;
}

void flashMemorySection(Bench &bench)
{
    say(u"== Memory of vantuflash: one line and %1, device answers at once"_s.arg(GangLines));
    if (!flashBuilt(bench))
        return;
    // The large image is asked for one piece in every 1 KiB block, as in the window's footprint:
    // the program reads its whole length in a fraction of the time.
    const std::pair<qint64, quint32> plan[] = {{bench.sizes.small, 4}, {bench.sizes.large, 1024}};
    QJsonArray rows;
    for (const auto &[size, stride] : plan) {
        Runner runner(bench, rows,
                      {{u"lines"_s, 5, u"lines"_s},
                       {u"image"_s, -8, {}, 0, imageText},
                       {u"requests"_s, -18, u"requests"_s},
                       {u"frames"_s, 9, u"data_frames"_s},
                       {u"RSS at START kB"_s, 16, u"rss_at_start_kb"_s},
                       {u"peak RSS kB"_s, 12, u"peak_rss_kb"_s},
                       LoadColumn});
        const QString path = makeImage(bench.dir.path(), size, bench.image);
        const Contender alone{Flash}, gang{Flash, GangLines};
        runner.run({alone, gang}, bench.onceRounds(),
                   [&](const Contender &who) -> std::optional<QJsonObject> {
                       const auto run = runFlash(bench, who, path, bench.image, {}, stride, false);
                       if (!run)
                           return std::nullopt;
                       QJsonObject row = runJson(Flash, *run, 0);
                       row[u"requests"_s] = requestsText(stride);
                       return row;
                   });
        QFile::remove(path);
        const QString peak = u"peak_rss_kb"_s;
        if (runner.ran(alone) && runner.ran(gang)) {
            const double more = runner.median(gang, peak) - runner.median(alone, peak);
            say(u"  %1 image: %2 kB more for %3 lines than for one, %4 kB a line"_s
                    .arg(sizeText(size))
                    .arg(more, 0, 'f', 0)
                    .arg(GangLines)
                    .arg(more / (GangLines - 1), 0, 'f', 0));
        }
        runner.compare(u"flashmem, %1, %2"_s.arg(sizeText(size), requestsText(stride)),
                       {peak, u"rss_at_start_kb"_s});
    }
    say(QStringLiteral("(RSS at START: resident set when the first CMD_START was read; peak: "
                       "VmHWM, last read from /proc while the process was alive)"));
    say(QString());
    bench.results[u"flash_memory"_s] = rows;
}
