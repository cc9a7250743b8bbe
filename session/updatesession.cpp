#include "updatesession.h"

#include "records.h"
#include "timing.h"
#include "updateprotocol.h"
#include "wiretrace.h"

#include <QFileInfo>
#include <QSerialPortInfo>

namespace {

constexpr quint32 PieceSize = 4;

QString secondsText(std::chrono::milliseconds duration)
{
    return QString::number(double(duration.count()) / 1000.0);
}

} // namespace

UpdateSession::UpdateSession(const SessionSettings &settings, const ImageSource *image,
                             QObject *parent)
    : QObject(parent), m_settings(settings), m_hasImage(image != nullptr)
{
    if (image) {
        m_image.setPath(image->path());
        m_image.adoptHash(*image);
    }
    if (m_settings.target.kind == PortTarget::Kind::Name)
        m_portName = m_settings.target.value;
    m_tickTimer.setInterval(ResponseTimeout);
    m_silenceTimer.setSingleShot(true);
    m_silenceTimer.setInterval(m_settings.silenceLimit);
    m_waitTimer.setSingleShot(true);
    m_reopenTimer.setInterval(ReopenInterval);

    connect(&m_tickTimer, &QTimer::timeout, this, &UpdateSession::tick);
    connect(&m_silenceTimer, &QTimer::timeout, this, &UpdateSession::silenceExpired);
    connect(&m_waitTimer, &QTimer::timeout, this, &UpdateSession::waitExpired);
    connect(&m_reopenTimer, &QTimer::timeout, this, &UpdateSession::tryOpen);
    connect(&m_line.serialPort(), &QSerialPort::readyRead, this, &UpdateSession::onReadyRead);
    connect(&m_line, &SerialLine::lost, this, &UpdateSession::onLineLost);
    m_clock.start();
}

UpdateSession::~UpdateSession() = default;

QString UpdateSession::portName() const
{
    return m_portName.isEmpty() ? m_settings.target.label() : m_portName;
}

void UpdateSession::start()
{
    if (m_state != State::WaitingForPort || m_record.open)
        return;
    openRecord();
    armWait();
    emit stateChanged(m_state);
    tryOpen();
}

void UpdateSession::interrupt()
{
    if (m_state == State::Ended)
        return;
    if (!m_record.open) {
        end();
        return;
    }
    finish(Outcome::Interrupted,
           changingBoard()
               ? QStringLiteral("Interrupted during the update: the device did not get the "
                                "whole image. Restart it, then %1.")
                     .arg(m_settings.retry.press)
               : QStringLiteral("Interrupted before the update started: nothing was "
                                "changed on the device."));
}

void UpdateSession::stopTakingBoards()
{
    m_takesBoards = false;
    if (m_state == State::Ended || changingBoard())
        return;
    end();
}

bool UpdateSession::canRetry() const
{
    return m_state == State::AwaitingRemoval && m_lastMendable && m_line.isOpen();
}

bool UpdateSession::retryFailedBoard()
{
    if (!canRetry())
        return false;
    m_lastMendable = false;
    openRecord();
    armWait();
    setState(State::Probing);
    m_tickTimer.start();
    probe();
    return true;
}

void UpdateSession::tryOpen()
{
    if (m_state == State::Ended || m_line.isOpen())
        return;
    QList<QSerialPortInfo> present;
    QString name = m_settings.target.value;
    if (m_settings.target.kind != PortTarget::Kind::Name) {
        present = presentPorts();
        const QStringList names = matchingPorts(m_settings.target, present);
        if (names.isEmpty()) {
            m_lastFailure = {OpenFailure::Kind::NotPresent, {}, false};
            m_reopenTimer.start();
            return;
        }
        if (names.size() > 1 && !m_ambiguityNoticed) {
            m_ambiguityNoticed = true;
            emit notice(QStringLiteral("%1 matches the ports %2: using %3")
                            .arg(m_settings.target.label(), names.join(QStringLiteral(", ")),
                                 names.first()));
        }
        name = names.first();
    }

    if (!m_line.open(name)) {
        m_lastFailure = {OpenFailure::Kind::OpenError, name, false};
        if (!m_reopenTimer.isActive())
            m_reopenTimer.start();
        return;
    }
    m_reopenTimer.stop();
    m_portName = name;
    if (m_settings.target.kind == PortTarget::Kind::Name)
        present = presentPorts();
    m_adapter = adapterOf(name, present);
    // A frame cut short when the port went belongs to no device that is there now.
    m_parser = FrameParser();
    m_turnover.portOpened(m_adapter ? m_adapter->serialNumber : QString(), nowMs());

    if (m_state == State::AwaitingRemoval && m_turnover.previousLeft(nowMs()))
        setState(State::AwaitingNext);
    else if (m_state == State::WaitingForPort)
        setState(State::Probing);
    else
        emit stateChanged(m_state); // the same state, with its port back
    m_tickTimer.start();
    probe();
}

void UpdateSession::onLineLost(bool nodeGone)
{
    m_tickTimer.stop();
    m_turnover.portLost();
    m_lastFailure = {OpenFailure::Kind::Lost, m_portName, nodeGone};
    switch (m_state) {
    case State::Starting:
    case State::Transferring:
    case State::Finishing:
        if (m_endServed) {
            // A board that restarts the moment it has the whole image can take its port away
            // before its RSP_DONE is read: no failure halfway, and no success either.
            finish(Outcome::LostAfterEnd,
                   QStringLiteral("The device on %1 had the whole image and END, and went away "
                                  "before confirming the update. It may have restarted into its "
                                  "new firmware, or failed to write it: %2.")
                       .arg(m_portName, m_settings.retry.checkVersion));
            return;
        }
        finish(Outcome::PortLost,
               QStringLiteral("Port lost: %1. %2")
                   .arg(m_portName,
                        lostPortDetails(m_portName, nodeGone, SystemFiles{}, m_settings.retry)));
        return;
    case State::Probing:
    case State::VersionQuery:
        // Not started yet: the port may come back within the wait (a USB device enumerating
        // again, an adapter plugged into another socket).
        setState(State::WaitingForPort);
        break;
    case State::AwaitingRemoval:
    case State::AwaitingNext:
        emit stateChanged(m_state); // the same state, with its port gone
        break;
    default:
        break;
    }
    if (m_state != State::Ended)
        m_reopenTimer.start();
}

void UpdateSession::onReadyRead()
{
    m_line.drain(m_parser, [this](const DeviceFrame &frame) { handleFrame(frame); });
}

void UpdateSession::handleFrame(const DeviceFrame &frame)
{
    // The rest of a read after the port was closed belongs to nobody.
    if (!m_line.isOpen() || m_state == State::Ended)
        return;
    traceReceived(frame, traceLabel());
    if (!isDeviceFrame(frame))
        return;
    if (m_record.open)
        m_record.heard = true;
    const quint8 code = frame[3];

    switch (m_state) {
    case State::Probing:
        if (code == RSP_PRESENT)
            startVersionQuery();
        break;
    case State::VersionQuery:
        if (code == RSP_VERSION) {
            m_tickTimer.stop();
            const DeviceVersions versions{firmwareVersion(frame), hardwareVersion(frame)};
            m_record.versions = versions;
            emit deviceFound(versions);
            if (m_state != State::VersionQuery)
                break;
            if (m_settings.infoOnly)
                finish(Outcome::Info, QStringLiteral("Firmware %1, hardware %2")
                                          .arg(versions.firmware, versions.hardware));
            else if (passesGuards(versions))
                beginUpdate();
        }
        break;
    case State::Starting:
    case State::Transferring:
    case State::Finishing:
        if (code == RSP_DATA_REQUEST) {
            m_silenceTimer.start();
            serve(requestedOffsetOf(frame));
        } else if (code == RSP_DONE && m_state == State::Finishing) {
            finish(Outcome::Updated, QStringLiteral("The device reported the firmware updated."));
        } else if (code == RSP_CANCELLED) {
            finish(Outcome::Cancelled,
                   QStringLiteral("The device cancelled the update %1 (last request: offset %2 of "
                                  "%3). Check that the image is meant for this device, restart it, "
                                  "then %4.")
                       .arg(m_state == State::Finishing
                                ? QStringLiteral("after the end of the image")
                                : QStringLiteral("before the end of the image"))
                       .arg(m_record.lastOffset)
                       .arg(m_imageSize)
                       .arg(retryText()));
        }
        break;
    case State::AwaitingRemoval:
    case State::AwaitingNext:
        handleAnswerBetweenDevices(code);
        break;
    case State::WaitingForPort:
    case State::Ended:
        break;
    }
}

void UpdateSession::handleAnswerBetweenDevices(quint8 code)
{
    const qint64 now = nowMs();
    if (m_state == State::AwaitingRemoval && m_turnover.previousLeft(now))
        setState(State::AwaitingNext);
    m_turnover.heard(now);
    if (m_state != State::AwaitingNext || code != RSP_PRESENT)
        return;
    openRecord();
    m_record.heard = true;
    armWait();
    startVersionQuery();
}

void UpdateSession::startVersionQuery()
{
    setState(State::VersionQuery);
    m_tickTimer.start();
    sendCommand(CMD_GET_VERSION);
}

void UpdateSession::tick()
{
    switch (m_state) {
    case State::Probing:
        probe();
        break;
    case State::VersionQuery:
        sendCommand(CMD_GET_VERSION);
        break;
    case State::AwaitingRemoval:
        if (m_turnover.previousLeft(nowMs()))
            setState(State::AwaitingNext);
        probe();
        break;
    case State::AwaitingNext:
        probe();
        break;
    default:
        m_tickTimer.stop();
        break;
    }
}

void UpdateSession::probe()
{
    // While the device just handled may still be there, its silence is counted in probes too.
    if (m_state == State::AwaitingRemoval)
        m_turnover.probed();
    sendCommand(CMD_PING);
}

void UpdateSession::sendCommand(quint8 code)
{
    m_line.send(commandPayload(code), traceLabel());
}

bool UpdateSession::passesGuards(const DeviceVersions &versions)
{
    if (!m_settings.hardware.isEmpty() && !m_settings.hardware.contains(versions.hardware)) {
        finish(Outcome::WrongHardware,
               QStringLiteral("The board reports hardware %1, and this image is for hardware %2: "
                              "nothing was sent to it after the version query. Put the board "
                              "aside, or check the image.")
                   .arg(versions.hardware, m_settings.hardware.join(QStringLiteral(", "))));
        return false;
    }
    if (m_settings.skipFirmware.contains(versions.firmware)) {
        finish(Outcome::Skipped,
               QStringLiteral("The board already has firmware %1: it was not updated.")
                   .arg(versions.firmware));
        return false;
    }
    return true;
}

void UpdateSession::beginUpdate()
{
    m_waitTimer.stop();
    m_tickTimer.stop();
    // Opened by its path for every update, so that the next board gets the image as it is now,
    // and hashed again when it has changed: every record names the bytes its update offered.
    ImageSource::Problem problem = m_image.open();
    if (problem == ImageSource::Problem::None)
        problem = m_image.hashNow();
    if (problem != ImageSource::Problem::None) {
        finish(Outcome::ImageError,
               QStringLiteral("Cannot use the image %1. The update was not started; nothing "
                              "was sent to the device.")
                   .arg(m_image.describe(problem)));
        return;
    }
    m_record.image = m_image.facts();
    m_imageSize = m_image.size();
    m_image.beginUpdate();
    m_served.clear();
    m_endServed = false;
    setState(State::Starting);
    m_silenceTimer.start();
    sendCommand(CMD_START);
}

void UpdateSession::serve(quint32 offset)
{
    m_record.lastOffset = offset;
    ++m_record.requests;
    // A request after END is answered by the same rule as the first one at the end.
    const bool atEnd = offset >= m_imageSize;
    bool repeated = false;
    if (atEnd) {
        repeated = m_endServed;
        m_endServed = true;
    } else {
        repeated = m_served.serve(offset / PieceSize);
    }
    if (repeated)
        ++m_record.repeatedRequests;

    FramePayload payload;
    switch (m_image.answer(offset, payload)) {
    case ImageSource::Answer::Piece:
        emit progress(offset, m_imageSize);
        setState(State::Transferring);
        break;
    case ImageSource::Answer::End:
        emit progress(offset, m_imageSize);
        setState(State::Finishing);
        break;
    case ImageSource::Answer::Changed:
        imageFailed(QStringLiteral("changed on disk during the update"));
        return;
    case ImageSource::Answer::Unreadable:
        imageFailed(
            QStringLiteral("could not be read during the update (%1)").arg(m_image.errorString()));
        return;
    }
    m_line.send(payload, traceLabel());
}

void UpdateSession::imageFailed(const QString &what)
{
    // Never send bytes that are not the image's: stop here.
    finish(Outcome::ImageError,
           QStringLiteral("The image %1 %2; nothing more was sent. Restart the device, then %3.")
               .arg(m_image.path(), what, retryText()));
}

void UpdateSession::silenceExpired()
{
    if (m_state != State::Starting && m_state != State::Transferring && m_state != State::Finishing)
        return;
    finish(Outcome::Timeout,
           QStringLiteral("The device on %1 sent nothing for %2 s during the update (%3). "
                          "Restart it, then %4.")
               .arg(m_portName, secondsText(m_settings.silenceLimit),
                    m_state == State::Starting ? QStringLiteral("no data request after START")
                    : m_state == State::Finishing
                        ? QStringLiteral("no answer to END")
                        : QStringLiteral("last request at offset %1").arg(m_record.lastOffset),
                    retryText()));
}

void UpdateSession::waitExpired()
{
    if (!m_record.open)
        return;
    switch (m_state) {
    case State::WaitingForPort:
        finish(Outcome::OpenFailed, openFailureMessage());
        break;
    case State::Probing:
        finish(Outcome::NoDevice,
               QStringLiteral("No device answered on %1 within %2 s. Check that the device is "
                              "powered, connected to this port and in its boot loader, then %3.")
                   .arg(m_portName, secondsText(m_settings.wait), retryText()));
        break;
    case State::VersionQuery:
        finish(Outcome::NoDevice,
               QStringLiteral("The device on %1 answered the probes but did not report its "
                              "versions within %2 s. Restart it, then %3.")
                   .arg(m_portName, secondsText(m_settings.wait), retryText()));
        break;
    default:
        break;
    }
}

QString UpdateSession::openFailureMessage() const
{
    const OpenFailure &failure = m_lastFailure;
    switch (failure.kind) {
    case OpenFailure::Kind::NotPresent: {
        const bool serial = m_settings.target.kind == PortTarget::Kind::SerialNumber;
        const QString present = presentPortNames(presentPorts());
        return QStringLiteral("No serial port has an adapter with %1 %2 (ports present: %3). Plug "
                              "the adapter in or check the %4, then %5.")
            .arg(serial ? QStringLiteral("the serial number") : QStringLiteral("the USB IDs"),
                 m_settings.target.value, present.isEmpty() ? QStringLiteral("none") : present,
                 serial ? QStringLiteral("number") : QStringLiteral("IDs"), retryText());
    }
    case OpenFailure::Kind::Lost:
        return QStringLiteral("Port lost: %1. %2")
            .arg(failure.name,
                 lostPortDetails(failure.name, failure.nodeGone, SystemFiles{}, m_settings.retry));
    case OpenFailure::Kind::OpenError: {
        const PortAdvice advice = m_line.diagnose(m_settings.retry, presentPorts());
        // A bare name is a port under /dev; a file of that name here is not taken for one.
        const QString name = m_lastFailure.name;
        const bool fileHere = !name.contains(QLatin1Char('/')) && QFileInfo::exists(name) &&
                              !QFileInfo::exists(portNodePath(name));
        return advice.oneLine() +
               (fileHere ? QStringLiteral(" %1 names the port %2; to use the file %1 in this "
                                          "folder, write ./%1.")
                               .arg(name, portNodePath(name))
                         : QString());
    }
    case OpenFailure::Kind::None:
        break;
    }
    return QStringLiteral("%1 did not open within %2 s.")
        .arg(portName(), secondsText(m_settings.wait));
}

void UpdateSession::openRecord()
{
    m_record = Record{};
    m_record.open = true;
    m_record.started = QDateTime::currentDateTimeUtc();
    m_record.clock.start();
}

void UpdateSession::armWait()
{
    if (m_settings.wait.count() > 0)
        m_waitTimer.start(m_settings.wait);
    else
        m_waitTimer.stop();
}

void UpdateSession::finish(Outcome outcome, const QString &message)
{
    m_tickTimer.stop();
    m_silenceTimer.stop();
    m_waitTimer.stop();
    m_image.close();

    SessionResult result;
    result.port = portName();
    result.outcome = outcome;
    result.message = message;
    result.versions = m_record.versions;
    result.image = m_record.image;
    if (!result.image && !m_settings.infoOnly && m_hasImage)
        result.image = m_image.facts();
    result.adapter = m_adapter;
    result.started = m_record.started;
    result.seconds = double(m_record.clock.elapsed()) / 1000.0;
    result.requests = m_record.requests;
    result.repeatedRequests = m_record.repeatedRequests;
    const bool heard = m_record.heard;
    m_record.open = false;
    m_lastMendable = retryCanMend(outcome);

    const bool goOn = m_settings.repeat && m_takesBoards && outcome != Outcome::Interrupted;
    if (goOn) {
        // From here the device just handled may still be there; the state changes before the
        // result goes out, so that listeners see where the session stands.
        if (heard) {
            m_turnover.deviceHandled(m_adapter ? m_adapter->serialNumber : QString(), nowMs());
            m_state = State::AwaitingRemoval;
        } else {
            m_state = State::AwaitingNext;
        }
    }
    emit finished(result);
    if (m_state == State::Ended)
        return; // a listener interrupted the session
    if (!goOn) {
        end();
        return;
    }
    emit stateChanged(m_state);
    if (m_line.isOpen())
        m_tickTimer.start();
    else
        m_reopenTimer.start();
}

void UpdateSession::end()
{
    m_tickTimer.stop();
    m_silenceTimer.stop();
    m_waitTimer.stop();
    m_reopenTimer.stop();
    m_image.close();
    m_tickTimer.stop();
    m_line.close();
    setState(State::Ended);
    emit ended();
}

void UpdateSession::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}
