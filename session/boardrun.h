#pragma once

#include "imagesource.h"
#include "recordlog.h"
#include "sessionresult.h"
#include "updatesession.h"

#include <QList>
#include <QObject>

// The boards of one run: an UpdateSession per port, all from one SessionSettings, and the record
// of every result written to the log before anyone is told of it. A record that cannot be written
// stops new boards on every port; boards under way finish. The console program and the station
// window are front ends on top of it. The results are not kept here: a run that goes on for weeks
// must not grow with every board, and each front end keeps what it shows.
class BoardRun : public QObject
{
    Q_OBJECT

public:
    // settings.target is set for each target in turn. image is the run's image (nullptr with
    // infoOnly); log may be null.
    BoardRun(const SessionSettings &settings, const QList<PortTarget> &targets,
             const ImageSource *image, RecordLog *log, QObject *parent = nullptr);

    // Makes a session per target, with the image as hashed by now; front ends wire them before
    // start(), since the first frames go out from there.
    void prepare();
    void start();

    int portCount() const { return int(m_sessions.size()); }
    UpdateSession *session(int port) const { return m_sessions[port]; }

    // Every session ends at once; updates under way are recorded as interrupted.
    void interrupt();
    // No new board on any port; boards under way go on to their result.
    void stopTakingBoards();
    // Records a result that no session reached (a run that ends before it starts), port -1.
    void recordWithoutSession(const SessionResult &result) { record(-1, result); }

    bool allEnded() const;
    bool logFailed() const { return m_logFailed; }

signals:
    // A result, in the log already (unless the log failed: then recordNotWritten came first).
    void recorded(int port, const SessionResult &result);
    // A record that is not in the log, told just before its recorded(): the message names the
    // board's port and result, the file, the cause and what follows.
    void recordNotWritten(const QString &message);
    // The last session has ended.
    void ended();

private:
    void record(int port, const SessionResult &result);
    void sessionEnded();

    SessionSettings m_settings;
    QList<PortTarget> m_targets;
    const ImageSource *m_image;
    RecordLog *m_log;
    QList<UpdateSession *> m_sessions;
    bool m_logFailed = false;
    bool m_ended = false;
};
