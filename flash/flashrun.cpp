#include "flashrun.h"

#include "records.h"

#include <QMap>

#include <algorithm>
#include <cstdio>
#include <numeric>

namespace {

TextReport::Style reportStyle(const FlashOptions &options)
{
    if (options.quiet || options.json)
        return TextReport::Style::Quiet;
    // The wire trace goes to the same terminal, and would tear lines redrawn in place.
    if (options.verbose)
        return TextReport::Style::Plain;
    return TextReport::outputIsTerminal() ? TextReport::Style::Terminal : TextReport::Style::Plain;
}

// The explanations' "try again", for someone at a console. Under --repeat the run itself goes
// on: what is lost is one board, and the port waits for the next.
RetryAdvice consoleRetry(bool repeat)
{
    const QString again = QStringLiteral("run vantuflash again");
    const QString goesOn =
        QStringLiteral("the run goes on waiting for the next board on this port");
    return {repeat ? QStringLiteral("put it back: ") + goesOn : again,
            again,
            repeat ? goesOn : again,
            QStringLiteral("Check the port name"),
            QStringLiteral("give the right port (vantuflash --list shows the ports present now)"),
            repeat ? goesOn : QStringLiteral("then run vantuflash again"),
            QStringLiteral("check its version with vantuflash --info")};
}

} // namespace

FlashRun::FlashRun(const FlashOptions &options, const QList<PortTarget> &targets,
                   std::shared_ptr<ImageSource> image, RecordLog *log, QObject *parent)
    : QObject(parent), m_options(options), m_targets(targets), m_image(std::move(image)),
      m_log(log), m_report(reportStyle(options))
{}

void FlashRun::start()
{
    SessionSettings settings;
    settings.infoOnly = m_options.mode == FlashOptions::Mode::Info;
    settings.wait = m_options.wait;
    settings.silenceLimit = m_options.timeout;
    settings.repeat = m_options.repeat;
    settings.labelTrace = m_targets.size() > 1;
    settings.retry = consoleRetry(m_options.repeat);
    settings.hardware = m_options.hardware;
    settings.skipFirmware = m_options.skipFirmware;
    for (const PortTarget &target : std::as_const(m_targets)) {
        settings.target = target;
        Port port;
        port.session = new UpdateSession(settings, m_image.get(), this);
        port.line = m_report.addPort(port.session->portName());
        m_ports.append(port);
    }
    for (int index = 0; index < m_ports.size(); ++index)
        connectSession(index);
    // Every session is wired before any starts: the first frames go out from start().
    for (const Port &port : std::as_const(m_ports))
        port.session->start();
}

void FlashRun::connectSession(int index)
{
    UpdateSession *session = m_ports[index].session;
    const int line = m_ports[index].line;
    connect(session, &UpdateSession::stateChanged, this,
            [this, session, line](UpdateSession::State state) {
                m_report.rename(line, session->portName());
                m_report.stateChanged(line, state, session->portOpen());
            });
    connect(session, &UpdateSession::deviceFound, this,
            [this, index, session, line](const DeviceVersions &versions) {
                m_ports[index].hundredSent = false;
                m_ports[index].lastProgress.invalidate();
                m_report.found(line, versions);
                if (m_options.json)
                    writeJson(foundEvent(session->portName(), versions));
            });
    connect(session, &UpdateSession::progress, this,
            [this, index, session, line](quint32 offset, qint64 size) {
                m_report.progress(line, offset, size);
                if (!m_options.json || m_options.quiet)
                    return;
                Port &port = m_ports[index];
                const bool complete = offset >= size;
                if (complete ? port.hundredSent
                             : port.lastProgress.isValid() &&
                                   port.lastProgress.elapsed() < ProgressIntervalMs)
                    return;
                port.hundredSent = complete;
                port.lastProgress.start();
                writeJson(progressEvent(session->portName(), offset, size));
            });
    connect(session, &UpdateSession::notice, this,
            [this](const QString &text) { m_report.error(text); });
    connect(session, &UpdateSession::finished, this,
            [this, index](const SessionResult &result) { record(index, result); });
    connect(session, &UpdateSession::ended, this, &FlashRun::sessionEnded);
}

void FlashRun::record(int index, const SessionResult &result)
{
    m_records.append(result);
    m_recordPorts.append(index);
    const int code = exitCodeOf(result.outcome);
    if (index >= 0 && m_ports[index].firstFailure == 0)
        m_ports[index].firstFailure = code;
    const JsonLine line = resultEvent(result);
    // On the disk before the result is told, and before the port takes the next board.
    logRecord(line);
    if (m_options.json)
        writeJson(line);
    m_report.result(index >= 0 ? m_ports[index].line : m_report.addPort(result.port), result);
}

void FlashRun::logRecord(const JsonLine &line)
{
    if (!m_log || m_log->append(line.text()))
        return;
    // A board updated without its record is what a production line must not have: no new board
    // is started on any port; boards under way finish, and their results are still told.
    m_report.error(QStringLiteral("cannot write the record to %1: %2; no new board will be started")
                       .arg(m_log->path(), m_log->errorString()));
    if (m_logFailed)
        return;
    m_logFailed = true;
    for (const Port &port : std::as_const(m_ports))
        port.session->stopTakingBoards();
}

void FlashRun::writeJson(const JsonLine &line)
{
    const QByteArray bytes = line.text() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void FlashRun::interrupt(int signalNumber)
{
    if (m_finished)
        return;
    m_interruptCode =
        signalNumber == InterruptWatch::HangUp ? ExitCode::HangUp : ExitCode::Interrupted;
    for (const Port &port : std::as_const(m_ports))
        port.session->interrupt();
    sessionEnded();
}

void FlashRun::recordWithoutStarting(Outcome outcome, const QString &message)
{
    for (const PortTarget &target : std::as_const(m_targets)) {
        SessionResult result;
        result.port = target.label();
        result.outcome = outcome;
        result.message = message;
        result.started = QDateTime::currentDateTimeUtc();
        if (m_image && !m_image->facts().sha256.isEmpty())
            result.image = m_image->facts();
        record(-1, result);
    }
    m_report.summary(m_records);
}

void FlashRun::sessionEnded()
{
    if (m_finished)
        return;
    for (const Port &port : std::as_const(m_ports)) {
        if (port.session->state() != UpdateSession::State::Ended)
            return;
    }
    m_finished = true;
    if (m_options.repeat)
        m_report.portSummary(portSummaryRows());
    else
        m_report.summary(recordsInPortOrder());
    emit finished(exitCode());
}

QList<QStringList> FlashRun::portSummaryRows() const
{
    QList<QStringList> rows;
    for (int port = 0; port < m_ports.size(); ++port) {
        int updated = 0;
        QMap<QString, int> others;
        for (int i = 0; i < m_records.size(); ++i) {
            if (m_recordPorts[i] != port)
                continue;
            if (m_records[i].outcome == Outcome::Updated)
                ++updated;
            else
                ++others[outcomeName(m_records[i].outcome)];
        }
        QStringList counted;
        for (auto it = others.cbegin(); it != others.cend(); ++it)
            counted.append(QStringLiteral("%1 %2").arg(it.value()).arg(it.key()));
        rows.append({m_ports[port].session->portName(), QString::number(updated),
                     counted.isEmpty() ? QStringLiteral("-") : counted.join(QStringLiteral(", "))});
    }
    return rows;
}

QList<SessionResult> FlashRun::recordsInPortOrder() const
{
    QList<int> order(m_records.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [this](int a, int b) { return m_recordPorts[a] < m_recordPorts[b]; });
    QList<SessionResult> records;
    for (const int i : std::as_const(order))
        records.append(m_records[i]);
    return records;
}

int FlashRun::exitCode() const
{
    if (m_logFailed)
        return ExitCode::RecordNotWritten;
    if (m_interruptCode != 0)
        return m_interruptCode;
    for (const Port &port : m_ports) {
        if (port.firstFailure != 0)
            return port.firstFailure;
    }
    for (const SessionResult &result : m_records) {
        if (exitCodeOf(result.outcome) != ExitCode::Success)
            return exitCodeOf(result.outcome);
    }
    return ExitCode::Success;
}
