#pragma once

#include "benchline.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <optional>
#include <vector>

// What the sections of vantu_bench share: its options, the updates it runs, the figures' helpers.

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;

inline const QString Offscreen = QStringLiteral("offscreen");
inline const QString Xcb = QStringLiteral("xcb");

struct Options
{
    bool quick = false;
    bool full = false;
    QStringList sections;
    QStringList hosts; // empty: all
    QStringList platforms;
    int pairs = 3;
    QList<qint64> bauds; // empty: all
    int startupRuns = 15;
    QString flashProgram; // vantuflash; empty when it is not built
    QString baseline;     // --baseline: the build folder of the older checkout to compare with
    bool runs(const QString &host) const { return hosts.isEmpty() || hosts.contains(host); }
    bool has(const char *section) const
    {
        return sections.isEmpty() || sections.contains(QLatin1String(section));
    }
    bool runsBaud(qint64 baud) const { return bauds.isEmpty() || bauds.contains(baud); }
    // The paced sections' line speeds that --bauds asks for, slowest first.
    QList<qint64> lineSpeeds() const
    {
        QList<qint64> speeds;
        for (const qint64 baud : {qint64(57600), qint64(921600)}) {
            if (runsBaud(baud))
                speeds.append(baud);
        }
        return speeds;
    }
};

struct Target
{
    QString name;
    QString goal;
    double value;
    QString unit;
    bool met;
};

// --quick makes every image small.
struct Sizes
{
    explicit Sizes(bool quick) : quick(quick) {}
    bool quick;
    qint64 turnaround = quick ? 64 * KiB : MiB;
    qint64 paced = quick ? 4 * KiB : 64 * KiB;         // paced at 921600 baud
    qint64 pacedBaseline = quick ? 4 * KiB : 16 * KiB; // paced at 57600 baud
    qint64 small = quick ? 16 * KiB : 64 * KiB;
    qint64 large = quick ? MiB : 16 * MiB;
    // Under xcb a run takes several times longer than offscreen: a smaller image, the same
    // figures per round trip.
    qint64 xcbTurnaround = quick ? 64 * KiB : 256 * KiB;
    // Each of many lines at once, unpaced: the frames add up over the lines.
    qint64 gangUnpaced = quick ? 16 * KiB : 128 * KiB;

    // At 57600 a round trip takes 3.5 ms of line time: a smaller image, the figures being ratios
    // per round trip or of two runs on the same image.
    qint64 pacedAt(qint64 baud) const { return baud == 57600 ? pacedBaseline : paced; }
};

// Who runs one update: a host (a bench host, or vantuflash) on so many lines, of this build or of
// the baseline's.
struct Contender
{
    QString host;
    int lines = 1;
    bool baseline = false;

    QString label() const
    {
        return lines == 1 ? host : QStringLiteral("%1 %2 lines").arg(host).arg(lines);
    }
    QString key() const { return baseline ? QStringLiteral("baseline ") + label() : label(); }
};

// What every section reads and adds to.
struct Bench
{
    explicit Bench(const Options &options) : options(options), sizes(options.quick) {}

    // here for this build, inBuild in the baseline's build folder.
    QString program(const Contender &who, const QString &here, const QString &inBuild) const
    {
        return who.baseline ? options.baseline + QLatin1Char('/') + inBuild : here;
    }
    QString hostProgram(const Contender &who) const;
    QString flashProgram(const Contender &who) const;
    QString stationProgram(const Contender &who) const;
    // The program who runs: a bench host, vantuflash or the station.
    QString programOf(const Contender &who) const;
    // Rounds of a section that runs once without a baseline: with one, as many as --pairs, so
    // that both builds have a spread.
    int onceRounds() const { return options.baseline.isEmpty() ? 1 : options.pairs; }
    // who as each build runs it: its baseline twin first with --baseline, then who. A program
    // the baseline's build does not have (it may predate the program) runs in this build only.
    std::vector<Contender> sides(const Contender &who) const;

    Options options;
    Sizes sizes;
    QTemporaryDir dir;
    QByteArray image; // the image last made with makeImage
    QJsonObject results;
    std::vector<Target> targets;
    bool allRan = true;
    // The window's first offscreen turnaround update, which the footprint section reuses.
    std::optional<UpdateFigures> windowTurnaround;
    // The rows of the vantuflash sections by what ran (Contender::key() and baud, 0 unpaced), for
    // the CPU section to reuse.
    std::map<QString, std::vector<QJsonObject>> consoleRuns;
};

// The hosts' standard error: Qt's chatter stays out of the table.
extern QString hostLog;

QString sizeText(qint64 bytes);
void say(const QString &text);
// The 1-minute load average: the machine is shared, and every figure is printed with it.
double loadAverage();
// Random image bytes written to a file in dir: 0x7D and 0x7E turn up as often as any byte, so
// some frames are escaped.
QString makeImage(const QString &dir, qint64 size, QByteArray &bytes);

// The line opened, the host started, or false, said.
bool openLine(PtyLine &line);
bool startHost(HostProcess &process, const QStringList &arguments);
// Says what was wrong with the pieces and frames a device side saw, if anything: true when it did.
bool saidUnclean(const UpdateFigures &figures, const QString &who);

// One update of a bench host (benchhost.cpp) on a fresh pseudo-terminal, the device played by
// LineDevice; nullopt, said, on any failure or wrong piece.
std::optional<UpdateFigures> runUpdate(const Bench &bench, const Contender &who,
                                       const QString &imagePath, const QByteArray &image,
                                       LineTiming timing, quint32 stride = 4,
                                       const QStringList &wrapper = {});

double percentileUs(std::vector<std::int64_t> values, double fraction);
double meanUs(const std::vector<std::int64_t> &values);
double medianOf(std::vector<double> values);
// From the host's own report, Download to RSP_DONE.
double cpuMsPer1000(const UpdateFigures &figures);
// The figures every update row has: host, load, image, data frames, elapsed time, round trips
// per second and the turnarounds' mean, median, p99 and max in µs.
QJsonObject figuresRow(const QString &host, qint64 imageBytes, int frames, std::int64_t elapsedNs,
                       const std::vector<std::int64_t> &turnaroundNs);
QJsonObject updateJson(const QString &host, const UpdateFigures &figures);
QString requestsText(quint32 stride);

// windowbench.cpp
void turnaroundSection(Bench &bench);
void pacedSection(Bench &bench);
void xwritesSection(Bench &bench);
void footprintSection(Bench &bench);

// flashbench.cpp
void flashSection(Bench &bench);
void gangSection(Bench &bench);
void stationSection(Bench &bench);
void flashCpuSection(Bench &bench);
void flashMemorySection(Bench &bench);
