#include "benchrunner.h"

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

const QString Build = u"build"_s;

QString cell(const Column &column, const QJsonObject &row)
{
    if (column.text)
        return column.text(row);
    const QJsonValue value = row.value(column.key);
    if (value.isString())
        return value.toString();
    return value.isDouble() ? QString::number(value.toDouble(), 'f', column.decimals) : QString();
}

// Enough digits to tell two builds apart whatever the figure's scale.
QString figureText(double value)
{
    const double size = std::abs(value);
    return QString::number(value, 'f', size >= 1000 ? 0 : size >= 10 ? 1 : 3);
}

QJsonObject spreadJson(const Spread &spread)
{
    return {{u"median"_s, spread.median},
            {u"min"_s, spread.min},
            {u"max"_s, spread.max},
            {u"runs"_s, spread.runs}};
}

} // namespace

QString imageText(const QJsonObject &row)
{
    return sizeText(row.value(u"image_bytes"_s).toInteger());
}

std::vector<Column> turnaroundColumns(int hostWidth, bool xServer)
{
    std::vector<Column> columns = {{u"host"_s, hostWidth, u"host"_s},
                                   {u"mean us"_s, 10, u"turnaround_mean_us"_s, 1},
                                   {u"median us"_s, 10, u"turnaround_median_us"_s, 1},
                                   {u"p99 us"_s, 10, u"turnaround_p99_us"_s, 1},
                                   {u"max us"_s, 10, u"turnaround_max_us"_s, 1},
                                   {u"trips/s"_s, 10, u"round_trips_per_s"_s, 0},
                                   CpuColumn,
                                   LoadColumn};
    if (xServer)
        columns.push_back({u"X cpu ms/1000"_s, 14, u"xserver_cpu_ms_per_1000_frames"_s, 2});
    return columns;
}

std::vector<Column> pacedColumns(Column first, const QString &ratioKey, Column more,
                                 std::vector<Column> tail)
{
    std::vector<Column> columns = {std::move(first),
                                   {u"baud"_s, 7, u"baud"_s},
                                   {u"image"_s, 7, {}, 0, imageText},
                                   {u"update s"_s, 9, u"elapsed_s"_s, 3},
                                   {u"line s"_s, 9, u"line_time_s"_s, 3},
                                   {u"ratio"_s, 7, ratioKey, 4},
                                   {u"mean us"_s, 8, u"turnaround_mean_us"_s, 1},
                                   std::move(more),
                                   {u"bench late us"_s, 14, u"bench_late_us_per_trip"_s, 2}};
    columns.insert(columns.end(), tail.begin(), tail.end());
    return columns;
}

Spread spreadOf(const std::vector<QJsonObject> &rows, const QString &field)
{
    std::vector<double> values;
    for (const QJsonObject &row : rows) {
        if (row.contains(field))
            values.push_back(row.value(field).toDouble());
    }
    Spread spread;
    spread.runs = int(values.size());
    if (values.empty())
        return spread;
    spread.median = medianOf(values);
    spread.min = *std::min_element(values.begin(), values.end());
    spread.max = *std::max_element(values.begin(), values.end());
    return spread;
}

QJsonObject mediansOf(const std::vector<QJsonObject> &rows, const QStringList &fields)
{
    QJsonObject medians;
    for (const QString &field : fields)
        medians[field] = spreadOf(rows, field).median;
    medians[u"runs"_s] = int(rows.size());
    return medians;
}

BaselineReport::BaselineReport(Bench &bench, const QString &name) : m_bench(bench), m_name(name)
{
    say(u"-- %1, against the baseline build: median [min, max] of each build's runs"_s.arg(name));
    say(u"%1 %2 %3 %4 %5 %6 %7 %8"_s.arg(u"host"_s, -28)
            .arg(u"figure"_s, -30)
            .arg(u"before"_s, 10)
            .arg(u"[min, max]"_s, -21)
            .arg(u"after"_s, 10)
            .arg(u"[min, max]"_s, -21)
            .arg(u"after/before"_s, 12)
            .arg(u"beyond spread"_s, 13));
}

void BaselineReport::add(const QString &label, const std::vector<QJsonObject> &before,
                         const std::vector<QJsonObject> &after, const QStringList &fields)
{
    for (const QString &field : fields) {
        const Spread was = spreadOf(before, field);
        const Spread is = spreadOf(after, field);
        if (was.runs == 0 || is.runs == 0)
            continue;
        const double ratio = was.median != 0 ? is.median / was.median : 0;
        // The two builds' runs do not overlap: more than the run-to-run spread of either. One run
        // a side has no spread to go by.
        const bool spread = was.runs > 1 && is.runs > 1;
        const bool beyond = spread && (is.min > was.max || is.max < was.min);
        const auto range = [](const Spread &spread) {
            return u"[%1, %2]"_s.arg(figureText(spread.min), figureText(spread.max));
        };
        say(u"%1 %2 %3 %4 %5 %6 %7 %8"_s.arg(label, -28)
                .arg(field, -30)
                .arg(figureText(was.median), 10)
                .arg(range(was), -21)
                .arg(figureText(is.median), 10)
                .arg(range(is), -21)
                .arg(ratio, 12, 'f', 3)
                .arg(!spread  ? u"-"_s
                     : beyond ? u"yes"_s
                              : u"no"_s,
                     13));
        m_entries.append(QJsonObject{{u"host"_s, label},
                                     {u"figure"_s, field},
                                     {u"before"_s, spreadJson(was)},
                                     {u"after"_s, spreadJson(is)},
                                     {u"ratio"_s, ratio},
                                     {u"beyond_spread"_s, beyond}});
    }
}

void BaselineReport::finish()
{
    QJsonObject baseline = m_bench.results.value(u"baseline"_s).toObject();
    baseline[u"dir"_s] = m_bench.options.baseline;
    QJsonObject comparisons = baseline.value(u"comparisons"_s).toObject();
    comparisons[m_name] = m_entries;
    baseline[u"comparisons"_s] = comparisons;
    m_bench.results[u"baseline"_s] = baseline;
}

Runner::Runner(Bench &bench, QJsonArray &rows, std::vector<Column> columns)
    : m_bench(bench), m_rows(rows), m_columns(std::move(columns))
{
    if (!m_columns.empty() && !bench.options.baseline.isEmpty())
        m_columns.insert(m_columns.begin(), Column{Build, -8, Build});
    if (!rows.isEmpty())
        return;
    QStringList cells;
    for (const Column &column : m_columns)
        cells << u"%1"_s.arg(column.title, column.width);
    if (!cells.isEmpty())
        say(cells.join(QLatin1Char(' ')));
}

void Runner::print(const QJsonObject &row) const
{
    QStringList cells;
    for (const Column &column : m_columns)
        cells << u"%1"_s.arg(cell(column, row), column.width);
    if (!cells.isEmpty())
        say(cells.join(QLatin1Char(' ')));
}

void Runner::markBuild(QJsonObject &row, const Contender &who) const
{
    if (!m_bench.options.baseline.isEmpty())
        row[Build] = who.baseline ? u"baseline"_s : u"this"_s;
}

void Runner::run(const std::vector<Contender> &contenders, int rounds, const RunOnce &once)
{
    std::vector<Contender> order;
    for (const Contender &who : contenders) {
        for (const Contender &side : m_bench.sides(who)) {
            order.push_back(side);
            if (std::none_of(m_contenders.begin(), m_contenders.end(),
                             [&](const Contender &known) { return known.key() == side.key(); }))
                m_contenders.push_back(side);
        }
    }
    for (int round = 0; round < rounds; ++round) {
        for (const Contender &who : order) {
            std::optional<QJsonObject> row = once(who);
            if (!row) {
                m_bench.allRan = false;
                continue;
            }
            (*row)[u"pair"_s] = round;
            markBuild(*row, who);
            m_rows.append(*row);
            m_byKey[who.key()].push_back(*row);
            print(*row);
        }
    }
}

const std::vector<QJsonObject> &Runner::rowsOf(const Contender &who) const
{
    static const std::vector<QJsonObject> none;
    const auto found = m_byKey.find(who.key());
    return found == m_byKey.end() ? none : found->second;
}

double Runner::median(const Contender &who, const QString &field) const
{
    return spreadOf(rowsOf(who), field).median;
}

QJsonObject Runner::medians(const Contender &who, const QStringList &fields) const
{
    if (!ran(who))
        return {};
    QJsonObject medians = mediansOf(rowsOf(who), fields);
    markBuild(medians, who);
    return medians;
}

QJsonObject Runner::summary(const QStringList &fields, int hostChars, bool print) const
{
    QJsonObject summary;
    for (const Contender &who : m_contenders) {
        QJsonObject medians = this->medians(who, fields);
        if (medians.isEmpty())
            continue;
        summary[who.key()] = medians;
        medians[u"host"_s] = u"%1 med"_s.arg(who.host.left(hostChars));
        if (print)
            this->print(medians);
    }
    return summary;
}

std::optional<Runner::Ratio> Runner::ratio(const Contender &a, const Contender &b,
                                           const QString &field) const
{
    std::vector<double> pairRatios;
    for (const QJsonObject &ofA : rowsOf(a)) {
        for (const QJsonObject &ofB : rowsOf(b)) {
            if (ofA.value(u"pair"_s) == ofB.value(u"pair"_s))
                pairRatios.push_back(ofA.value(field).toDouble() / ofB.value(field).toDouble());
        }
    }
    if (pairRatios.empty())
        return std::nullopt;
    return Ratio{median(a, field) / median(b, field), medianOf(pairRatios), pairRatios.size()};
}

QString Runner::Ratio::text(int decimals) const
{
    return u"%1 (ratio of the medians), %2 (median of the %3 pairs' ratios)"_s
        .arg(ofMedians, 0, 'f', decimals)
        .arg(medianOfPairs, 0, 'f', decimals)
        .arg(pairs);
}

std::optional<double> Runner::tripsRatio(const Contender &a, const Contender &b,
                                         const QString &what, QJsonObject &summary) const
{
    const auto trips = ratio(a, b, u"round_trips_per_s"_s);
    if (!trips)
        return std::nullopt;
    summary[u"trips_ratio_of_medians"_s] = trips->ofMedians;
    summary[u"trips_ratio_median_of_pairs"_s] = trips->medianOfPairs;
    say(u"round trips/s, %1: %2"_s.arg(what, trips->text(3)));
    return trips->ofMedians;
}

void Runner::compare(const QString &name, const QStringList &fields) const
{
    if (m_bench.options.baseline.isEmpty())
        return;
    BaselineReport report(m_bench, name);
    for (const Contender &who : m_contenders) {
        if (who.baseline)
            continue;
        Contender before = who;
        before.baseline = true;
        report.add(who.label(), rowsOf(before), rowsOf(who), fields);
    }
    report.finish();
}
