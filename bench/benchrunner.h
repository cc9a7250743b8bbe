#pragma once

#include "benchcommon.h"

#include <QJsonArray>

#include <functional>

// One column of a printed table: a field of the row, or text made from the whole row. A field the
// row lacks prints blank.
struct Column
{
    QString title;
    int width; // negative: left-aligned
    QString key;
    int decimals = 0;
    std::function<QString(const QJsonObject &)> text = {};
};

// Columns that many tables print alike.
inline const Column LoadColumn{QStringLiteral("load"), 6, QStringLiteral("load_1min"), 2};
inline const Column CpuColumn{QStringLiteral("cpu ms/1000"), 12,
                              QStringLiteral("cpu_ms_per_1000_frames"), 2};

QString imageText(const QJsonObject &row);
// The columns of a turnaround row: host, turnaround, round trips, CPU, load, and the X server's
// CPU when xServer is set.
std::vector<Column> turnaroundColumns(int hostWidth, bool xServer = false);
// The columns of a paced update's row: first, line speed, image, update and line time, their
// ratio (the field ratioKey), the mean turnaround, more, the device's lateness, then tail.
std::vector<Column> pacedColumns(Column first, const QString &ratioKey, Column more,
                                 std::vector<Column> tail);

// One figure over the runs that have it.
struct Spread
{
    double median = 0;
    double min = 0;
    double max = 0;
    int runs = 0;
};
Spread spreadOf(const std::vector<QJsonObject> &rows, const QString &field);
// The fields' medians over rows, with their number as "runs".
QJsonObject mediansOf(const std::vector<QJsonObject> &rows, const QStringList &fields);

// One comparison against the baseline build: for each contender and figure, both medians, the
// ratio after/before and each side's min and max, printed and kept in the results under
// "baseline".
class BaselineReport
{
public:
    BaselineReport(Bench &bench, const QString &name);
    void add(const QString &label, const std::vector<QJsonObject> &before,
             const std::vector<QJsonObject> &after, const QStringList &fields);
    void finish();

private:
    Bench &m_bench;
    QString m_name;
    QJsonArray m_entries;
};

// Runs a section's contenders in turns and keeps their rows: A B A B, so that a busy machine
// weighs on both; with --baseline each contender's run follows its baseline twin's.
class Runner
{
public:
    using RunOnce = std::function<std::optional<QJsonObject>(const Contender &)>;

    // rows receives every row in the order run; columns make the printed table (a build column
    // first with --baseline), none to print nothing. The table's header is printed here when rows
    // is still empty: one header for the runners that share rows.
    Runner(Bench &bench, QJsonArray &rows, std::vector<Column> columns = {});

    void print(const QJsonObject &row) const;
    // With --baseline, says in row which build who ran: "baseline" or "this".
    void markBuild(QJsonObject &row, const Contender &who) const;
    // Each contender once a round, rounds times. A run's row is numbered by its round ("pair")
    // and printed; a failed run has been said by once and marks the bench as incomplete.
    void run(const std::vector<Contender> &contenders, int rounds, const RunOnce &once);

    // Both builds', in the order first run.
    const std::vector<Contender> &contenders() const { return m_contenders; }
    const std::vector<QJsonObject> &rowsOf(const Contender &who) const;
    bool ran(const Contender &who) const { return !rowsOf(who).empty(); }
    double median(const Contender &who, const QString &field) const;
    // The fields' medians over who's runs, with "runs"; with a baseline, the build too.
    QJsonObject medians(const Contender &who, const QStringList &fields) const;
    // Each contender's medians() by Contender::key(); printed as rows whose host reads "<first
    // hostChars letters of the host> med" when print is set.
    QJsonObject summary(const QStringList &fields, int hostChars, bool print) const;
    // a's field over b's: the ratio of the medians, and the median of the ratios of the rounds in
    // which both ran; nullopt when there is no such round.
    struct Ratio
    {
        double ofMedians = 0;
        double medianOfPairs = 0;
        size_t pairs = 0;
        QString text(int decimals) const;
    };
    std::optional<Ratio> ratio(const Contender &a, const Contender &b, const QString &field) const;
    // The round trips per second of a against b: the ratio of the medians and the median of the
    // rounds' ratios, said as "round trips/s, <what>" and kept in summary; nullopt when no round
    // ran both.
    std::optional<double> tripsRatio(const Contender &a, const Contender &b, const QString &what,
                                     QJsonObject &summary) const;
    // With --baseline: every contender that ran, its fields before and after (BaselineReport).
    void compare(const QString &name, const QStringList &fields) const;

private:
    Bench &m_bench;
    QJsonArray &m_rows;
    std::vector<Column> m_columns;
    std::vector<Contender> m_contenders;
    std::map<QString, std::vector<QJsonObject>> m_byKey;
};
