#include "boardrun.h"

#include "records.h"

BoardRun::BoardRun(const SessionSettings &settings, const QList<PortTarget> &targets,
                   const ImageSource *image, RecordLog *log, QObject *parent)
    : QObject(parent), m_settings(settings), m_targets(targets), m_image(image), m_log(log)
{}

void BoardRun::prepare()
{
    if (!m_sessions.isEmpty())
        return;
    SessionSettings each = m_settings;
    for (int port = 0; port < m_targets.size(); ++port) {
        each.target = m_targets[port];
        auto *session = new UpdateSession(each, m_image, this);
        m_sessions.append(session);
        connect(session, &UpdateSession::finished, this,
                [this, port](const SessionResult &result) { record(port, result); });
        connect(session, &UpdateSession::ended, this, &BoardRun::sessionEnded);
    }
}

void BoardRun::start()
{
    prepare();
    for (UpdateSession *session : std::as_const(m_sessions))
        session->start();
}

void BoardRun::interrupt()
{
    for (UpdateSession *session : std::as_const(m_sessions))
        session->interrupt();
}

void BoardRun::stopTakingBoards()
{
    for (UpdateSession *session : std::as_const(m_sessions))
        session->stopTakingBoards();
}

bool BoardRun::allEnded() const
{
    for (const UpdateSession *session : m_sessions) {
        if (session->state() != UpdateSession::State::Ended)
            return false;
    }
    return true;
}

void BoardRun::record(int port, const SessionResult &result)
{
    // On the disk before the result is told, and before the port takes the next board.
    const bool written = !m_log || m_log->append(resultEvent(result).text());
    if (!written) {
        emit recordNotWritten(
            QStringLiteral("cannot write the record of the board on %1 (%2) to %3: %4; no new "
                           "board will be started")
                .arg(result.port, outcomeName(result.outcome), m_log->path(),
                     m_log->errorString()));
    }
    // Told before the boards stop, so that whatever the run tells at its end (a summary) counts
    // this board too.
    emit recorded(port, result);
    if (!written && !m_logFailed) {
        // A board updated without its record is what a production line must not have: no new
        // board is started on any port; boards under way finish, and their results are still
        // told.
        m_logFailed = true;
        stopTakingBoards();
    }
}

void BoardRun::sessionEnded()
{
    if (m_ended || !allEnded())
        return;
    m_ended = true;
    emit ended();
}
