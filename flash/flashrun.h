#pragma once

#include "boardrun.h"
#include "flashoptions.h"
#include "imagesource.h"
#include "interruptwatch.h"
#include "jsonline.h"
#include "recordlog.h"
#include "sessionresult.h"
#include "textreport.h"
#include "updatesession.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>

#include <memory>
#include <vector>

// One run of the program over all its ports, in one thread: the boards' run (a session per port,
// the --log file), its results told as they come (text or JSON Lines on standard output), and the
// exit code once every port has finished or the run is interrupted.
class FlashRun : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 ProgressIntervalMs = 100; // JSON progress: ten a second per port

    // log may be null (no --log); image is null with --info.
    FlashRun(const FlashOptions &options, const QList<PortTarget> &targets,
             std::shared_ptr<ImageSource> image, RecordLog *log, QObject *parent = nullptr);

    void start();
    // Ends every session at once; updates under way are recorded as interrupted. A hang-up
    // (SIGHUP: a closed terminal, a dropped connection) ends the run with its own exit code.
    void interrupt(int signalNumber = 0);

    // For a run that ends before it starts (the image cannot be used): a record for each port,
    // written like any other, and the summary.
    void recordWithoutStarting(Outcome outcome, const QString &message);

    int exitCode() const;

signals:
    void finished(int exitCode);

private:
    struct Port
    {
        int line = 0;         // in the text report
        int firstFailure = 0; // the exit code of its first record that failed
        QElapsedTimer lastProgress;
        bool hundredSent = false;
        QMap<QString, int> results; // counted by name
    };
    // A result for the summary table: of a run without --repeat, which has a result or two a
    // port, or of a run that ended before it started.
    struct Told
    {
        int port; // -1 for a record made without a session
        SessionResult result;
    };

    void connectSession(int index);
    void told(int index, const SessionResult &result);
    void writeJson(const JsonLine &line);
    void runEnded();
    QList<const SessionResult *> recordsInPortOrder() const;
    QList<QStringList> portSummaryRows() const;

    FlashOptions m_options;
    QList<PortTarget> m_targets;
    std::shared_ptr<ImageSource> m_image;
    TextReport m_report;
    BoardRun *m_run = nullptr;
    std::vector<Port> m_ports;
    // A --repeat run keeps counts (Port), not its boards' results, so that a station that runs for
    // weeks does not grow with every board.
    std::vector<Told> m_told;
    int m_firstFailureWithoutPort = 0;
    int m_interruptCode = 0; // the exit code of the interruption, 0 when there was none
    bool m_finished = false;
};
