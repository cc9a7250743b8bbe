#include "flashrun.h"

#include "records.h"

#include <QMap>

#include <algorithm>
#include <cstdio>

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
      m_report(reportStyle(options))
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
    m_run = new BoardRun(settings, m_targets, m_image.get(), log, this);
    connect(m_run, &BoardRun::recordNotWritten, this,
            [this](const QString &message) { m_report.error(message); });
    connect(m_run, &BoardRun::recorded, this, &FlashRun::told);
    connect(m_run, &BoardRun::ended, this, &FlashRun::runEnded);
}

void FlashRun::start()
{
    m_run->prepare();
    for (int index = 0; index < m_run->portCount(); ++index) {
        Port port;
        port.line = m_report.addPort(m_run->session(index)->portName());
        m_ports.push_back(port);
        connectSession(index);
    }
    m_run->start();
}

void FlashRun::connectSession(int index)
{
    UpdateSession *session = m_run->session(index);
    const int line = m_ports[index].line;
    connect(session, &UpdateSession::stateChanged, this,
            [this, session, line](UpdateSession::State state) {
                m_report.rename(line, session->portName());
                m_report.stateChanged(line, state, session->portGoneBetweenBoards());
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
}

void FlashRun::told(int index, const SessionResult &result)
{
    int &firstFailure = index >= 0 ? m_ports[index].firstFailure : m_firstFailureWithoutPort;
    if (firstFailure == 0)
        firstFailure = exitCodeOf(result.outcome);
    if (index >= 0)
        ++m_ports[index].results[outcomeName(result.outcome)];
    if (!m_options.repeat || index < 0)
        m_told.push_back({index, result});
    if (m_options.json)
        writeJson(resultEvent(result));
    m_report.result(index >= 0 ? m_ports[index].line : m_report.addPort(result.port), result);
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
    m_run->interrupt();
    runEnded();
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
        m_run->recordWithoutSession(result);
    }
    QList<const SessionResult *> records;
    for (const Told &told : m_told)
        records.append(&told.result);
    m_report.summary(records);
}

void FlashRun::runEnded()
{
    if (m_finished || !m_run->allEnded())
        return;
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
    for (int index = 0; index < int(m_ports.size()); ++index) {
        QMap<QString, int> others = m_ports[size_t(index)].results;
        const int updated = others.take(outcomeName(Outcome::Updated));
        QStringList counted;
        for (auto it = others.cbegin(); it != others.cend(); ++it)
            counted.append(QStringLiteral("%1 %2").arg(it.value()).arg(it.key()));
        rows.append({m_run->session(index)->portName(), QString::number(updated),
                     counted.isEmpty() ? QStringLiteral("-") : counted.join(QStringLiteral(", "))});
    }
    return rows;
}

QList<const SessionResult *> FlashRun::recordsInPortOrder() const
{
    // Records made without a session (port -1) first, then port by port, each in the order told.
    QList<const SessionResult *> records;
    for (int port = -1; port < m_run->portCount(); ++port) {
        for (const Told &told : m_told) {
            if (told.port == port)
                records.append(&told.result);
        }
    }
    return records;
}

int FlashRun::exitCode() const
{
    if (m_run->logFailed())
        return ExitCode::RecordNotWritten;
    if (m_interruptCode != 0)
        return m_interruptCode;
    for (const Port &port : m_ports) {
        if (port.firstFailure != 0)
            return port.firstFailure;
    }
    return m_firstFailureWithoutPort;
}
