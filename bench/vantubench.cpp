// End-to-end figures of the update tool against a device played on a pseudo-terminal (see
// --help and docs/DEVELOPERS.md): a table, and the same figures as JSON. Every update runs the
// host in a child process, the device side runs here and takes all times with the steady clock.
// Hosts that are compared run in turns, A B A B, so that a busy machine weighs on both. The
// window's sections are in windowbench.cpp, vantuflash's in flashbench.cpp.
#include "benchcommon.h"
#include "benchrunner.h"
#include "steadyclock.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>

#include <algorithm>
#include <map>
#include <optional>

#include <poll.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// How busy the processors are, 0..1, over half a second: other work on the machine shows in every
// figure here. The bench itself is idle while this runs.
double busyFraction()
{
    const auto sample = [](qint64 &idle, qint64 &total) {
        QFile file(u"/proc/stat"_s);
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
    QFile cpuinfo(u"/proc/cpuinfo"_s);
    if (cpuinfo.open(QIODevice::ReadOnly | QIODevice::Text)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name")) {
                machine[u"cpu"_s] = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
        }
    }
    machine[u"cpus"_s] = int(sysconf(_SC_NPROCESSORS_ONLN));
    machine[u"kernel"_s] = QSysInfo::kernelVersion();
    machine[u"os"_s] = QSysInfo::prettyProductName();
    machine[u"qt"_s] = QString::fromLatin1(qVersion());
    machine[u"build"_s] = QStringLiteral(BENCH_BUILD_TYPE);
    return machine;
}

// One start-up: from just before the process is spawned to the stamps it prints.
std::optional<QJsonObject> startOnce(const QString &program)
{
    HostProcess process;
    const std::int64_t spawnNs = steadyNs();
    if (!startHost(process, {program}))
        return std::nullopt;
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
        say(u"  %1 printed nothing"_s.arg(program));
        return std::nullopt;
    }
    const QList<QByteArray> words = lines.front().split(' ');
    QJsonObject run;
    for (int i = 0; i + 1 < words.size(); i += 2)
        run[QString::fromLatin1(words[i]) + u"_ms"_s] =
            double(words[i + 1].toLongLong() - spawnNs) / 1e6;
    return run;
}

// Start-up of the update window against an empty dialog and one with a line of text.
void startupSection(Bench &bench)
{
    say(u"== Start-up: from spawn, median of %1 runs"_s.arg(bench.options.startupRuns));
    const std::map<QString, QString> programs = {
        {u"update_window"_s, QStringLiteral(BENCH_STARTUP_TOOL_PATH)},
        {u"empty_dialog"_s, QStringLiteral(BENCH_STARTUP_DIALOG_PATH)},
        {u"text_dialog"_s, QStringLiteral(BENCH_STARTUP_TEXT_PATH)}};
    const std::vector<Contender> order = {
        {u"update_window"_s}, {u"empty_dialog"_s}, {u"text_dialog"_s}};
    const auto once = [&](const Contender &who) {
        const QString &here = programs.at(who.host);
        return startOnce(bench.program(who, here, u"bench/"_s + QFileInfo(here).fileName()));
    };
    QJsonArray runs;
    // One run of each first to warm the caches, then the programs in turn.
    Runner(bench, runs).run(order, 1, once);
    runs = {};
    Runner runner(bench, runs);
    runner.run(order, bench.options.startupRuns, once);
    const QStringList stamps = {u"main"_s, u"app"_s, u"constructed"_s, u"exposed"_s, u"painted"_s};
    std::vector<Column> columns = {{u"window"_s, -14, u"host"_s}};
    for (const QString &stamp : stamps)
        columns.push_back({stamp + u" ms"_s, 14, stamp + u"_median_ms"_s, 2});
    QJsonArray unused;
    Runner table(bench, unused, columns);
    QJsonObject startup;
    for (const Contender &who : runner.contenders()) {
        QJsonObject row;
        table.markBuild(row, who);
        for (const QString &stamp : stamps)
            row[stamp + u"_median_ms"_s] = runner.median(who, stamp + u"_ms"_s);
        row[u"runs"_s] = int(runner.rowsOf(who).size());
        startup[who.key()] = row;
        row[u"host"_s] = who.host;
        table.print(row);
    }
    say(QStringLiteral("(main: process entered main(); app: QApplication made; constructed: window "
                       "object made; exposed: first expose event; painted: first frame drawn)"));
    const auto median = [&](int which, const char *stamp) {
        return runner.median(order[size_t(which)], QLatin1String(stamp));
    };
    if (median(0, "exposed_ms") > 0 && median(1, "exposed_ms") > 0) {
        const double ratio = median(0, "exposed_ms") / median(1, "exposed_ms");
        startup[u"ratio_exposed_vs_empty_dialog"_s] = ratio;
        bench.targets.push_back(
            {u"start-up against empty dialog"_s, u"<= 1.20"_s, ratio, u"x"_s, ratio <= 1.2});
    }
    if (median(0, "painted_ms") > 0 && median(2, "painted_ms") > 0) {
        const double ratio = median(0, "painted_ms") / median(2, "painted_ms");
        startup[u"ratio_painted_vs_text_dialog"_s] = ratio;
        say(u"first frame, update window against the dialog with text: %1x"_s.arg(ratio, 0, 'f',
                                                                                  2));
    }
    runner.compare(u"startup"_s, {u"exposed_ms"_s, u"painted_ms"_s});
    bench.results[u"startup"_s] = startup;
    say(QString());
}

void targetsSection(Bench &bench)
{
    say(u"== Targets"_s);
    QJsonArray targetRows;
    for (const Target &target : bench.targets) {
        const QString goal = target.goal + QLatin1Char(' ') + target.unit;
        say(u"%1 %2 %3 %4"_s.arg(target.name, -36)
                .arg(goal, -12)
                .arg(target.value, 12, 'f', 3)
                .arg(target.met ? u"met"_s : u"MISSED"_s));
        targetRows.append(QJsonObject{{u"name"_s, target.name},
                                      {u"goal"_s, goal},
                                      {u"value"_s, target.value},
                                      {u"met"_s, target.met}});
    }
    bench.results[u"targets"_s] = targetRows;
}

// The command line; the JSON file's path goes to jsonPath.
Options parseOptions(const QCoreApplication &app, QString &jsonPath)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(u"End-to-end figures of the update tool."_s);
    parser.addHelpOption();
    const auto option = [&parser](const char *name, const char *help, const char *value = nullptr,
                                  const QString &byDefault = {}) {
        parser.addOption({QLatin1String(name), QLatin1String(help),
                          value ? QLatin1String(value) : QString(), byDefault});
        return QLatin1String(name);
    };
    const auto json = option("json", "Where to write the figures as JSON.", "file",
                             QStringLiteral(BENCH_DEFAULT_JSON));
    const auto quick = option("quick", "Small images, few runs: a smoke test.");
    const auto full =
        option("full", "Ask for every piece of the largest image too (minutes longer).");
    const auto only =
        option("only", "Sections to run, comma-separated.",
               "turnaround,paced,xwrites,footprint,startup,flash,gang,station,flashcpu,flashmem");
    const auto hosts =
        option("hosts", "Hosts to run in the turnaround and paced sections, comma-separated.",
               "window,minimal,port,raw");
    const auto bauds = option(
        "bauds", "Line speeds of the paced and gang sections, comma-separated.", "57600,921600");
    const auto platforms = option("platforms",
                                  "Qt platforms of the turnaround, paced and X sections (default: "
                                  "offscreen, and xcb when DISPLAY is set).",
                                  "offscreen,xcb");
    const auto pairs =
        option("pairs",
               "Runs of each host of a pair, in turns: the window and the minimal host, vantuflash "
               "and the window, vantuflash on one line and on 16 (default 3).",
               "n");
    const auto flash = option("vantuflash",
                              "The console program the flash, gang, flashcpu and flashmem sections "
                              "run (default: the one built beside the bench).",
                              "file", QStringLiteral(BENCH_FLASH_PATH));
    const auto baseline = option("baseline",
                                 "The build folder of another checkout: every compared figure is "
                                 "taken for its programs too, in turns with this build's.",
                                 "dir");
    parser.process(app);
    const auto list = [&parser](QLatin1String name) {
        return parser.value(name).split(QLatin1Char(','), Qt::SkipEmptyParts);
    };
    Options options;
    options.quick = parser.isSet(quick);
    options.full = parser.isSet(full);
    if (parser.isSet(only))
        options.sections = list(only);
    for (const QString &baud : list(bauds))
        options.bauds.append(baud.toLongLong());
    if (parser.isSet(hosts))
        options.hosts = list(hosts);
    if (options.quick)
        options.startupRuns = 3;
    if (parser.isSet(pairs))
        options.pairs = std::max(1, parser.value(pairs).toInt());
    options.platforms = parser.isSet(platforms) ? list(platforms) : QStringList{Offscreen, Xcb};
    if (options.platforms.contains(Xcb) && qEnvironmentVariableIsEmpty("DISPLAY")) {
        say(QStringLiteral(
            "xcb: DISPLAY is not set, only offscreen figures (bench/run.sh starts an X server)"));
        options.platforms.removeAll(Xcb);
    }
    options.flashProgram = parser.value(flash);
    if (parser.isSet(baseline))
        options.baseline = QDir(parser.value(baseline)).absolutePath();
    jsonPath = parser.value(json);
    return options;
}

// The machine and how busy it is before the run, printed and kept with the figures.
void machineSection(Bench &bench)
{
    QJsonObject machine = machineJson();
    const double busy = busyFraction();
    machine[u"cpu_busy_at_start"_s] = busy;
    bench.results[u"machine"_s] = machine;
    say(u"%1, %2 CPUs, Linux %3, Qt %4, %5 build; CPUs %6% busy before the run"_s
            .arg(machine[u"cpu"_s].toString())
            .arg(machine[u"cpus"_s].toInt())
            .arg(machine[u"kernel"_s].toString(), machine[u"qt"_s].toString(),
                 machine[u"build"_s].toString())
            .arg(busy * 100, 0, 'f', 0));
    if (busy > 0.2)
        say(u"warning: other work is running; the figures will show it"_s);
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
    hostLog = QFileInfo(jsonPath).absolutePath() + u"/bench-hosts.log"_s;
    QFile::remove(hostLog);
    if (!bench.dir.isValid())
        qFatal("no temporary directory");
    const QString baselineHost = bench.hostProgram({{}, 1, true});
    if (!options.baseline.isEmpty() && !QFileInfo(baselineHost).isExecutable()) {
        say(u"--baseline: %1 is not built"_s.arg(baselineHost));
        return 2;
    }
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
    const std::pair<const char *, void (*)(Bench &)> offscreenSections[] = {
        {"footprint", footprintSection}, {"startup", startupSection}, {"flash", flashSection},
        {"gang", gangSection},           {"station", stationSection}, {"flashcpu", flashCpuSection},
        {"flashmem", flashMemorySection}};
    for (const auto &[name, section] : offscreenSections) {
        if (options.has(name))
            section(bench);
    }
    targetsSection(bench);
    bench.results[u"cpu_busy_at_end"_s] = busyFraction();

    QFile json(jsonPath);
    if (!json.open(QIODevice::WriteOnly) || json.write(QJsonDocument(bench.results).toJson()) < 0) {
        say(u"cannot write %1"_s.arg(jsonPath));
        return 1;
    }
    say(u"\nJSON: %1"_s.arg(QFileInfo(jsonPath).absoluteFilePath()));
    return bench.allRan ? 0 : 1;
}
