#include "vantuupdate.h"

#include "linesettings.h"
#include "portbox.h"
#include "portdiagnosis.h"
#include "portinfo.h"
#include "timing.h"
#include "updateform.h"
#include "wiretrace.h"

#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPortInfo>
#include <QStringList>
#include <QTime>

#include <chrono>

using namespace std::chrono_literals;

namespace {

constexpr int LedSize = 15;

// One receive parser for the whole process: a frame cut in two by a read is completed by the next.
FrameParser receiveParser;

// After this long without an answer to the probes, the status line's tooltip says what to check.
constexpr std::chrono::seconds ProbeAdviceAfter{3};
constexpr int ProbesBeforeAdvice = int(ProbeAdviceAfter / ResponseTimeout);

// "57 s", "4 min 10 s", "4 h 49 min": how long something takes, to the second or the minute.
QString durationText(std::chrono::microseconds time)
{
    const qint64 seconds = (time.count() + 500000) / 1000000;
    if (seconds < 1)
        return QStringLiteral("less than a second");
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
}

// The explanations' "try again", in the window's words: its File button and its port box.
RetryAdvice windowRetry()
{
    return {QStringLiteral("press File again"),
            QStringLiteral("press File"),
            QStringLiteral("press File to start again"),
            QStringLiteral("Check the port box"),
            QStringLiteral("pick the right port in the port box (open its list to see the ports "
                           "present now)"),
            QStringLiteral("pick its port in the port box and press File"),
            QStringLiteral("press File to find it again and read its version")};
}

} // namespace

vantuUpdate::vantuUpdate(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<UpdateForm>()), txBlink(LightOnTime),
      rxBlink(LightOnTime)
{
    ui->setupForm(this);

    ui->comboBoxPort->setPorts(QSerialPortInfo::availablePorts());
    // The list follows what is plugged in: it is read again whenever the user opens it.
    connect(ui->comboBoxPort, &PortBox::aboutToShowList, this, &vantuUpdate::refreshPorts);

    composeStatusLine();
    ui->pushButtonDownload->setEnabled(false);
    state = UpdateState::Probing;

    ledOff = QPixmap(LedSize, LedSize);
    ledOn = QPixmap(LedSize, LedSize);
    ledOff.fill(Qt::red);
    ledOn.fill(Qt::green);
    ui->label_rx->setPixmap(ledOff);
    ui->label_tx->setPixmap(ledOff);
    // The lights keep the form's geometry. Fixed at that size, a light no longer asks the window
    // for a new layout with each new pixmap.
    ui->label_rx->setFixedSize(ui->label_rx->size());
    ui->label_tx->setFixedSize(ui->label_tx->size());
    // While frames keep coming, the ends of the flashes are looked at once per display refresh.
    txBlink.setBusyInterval(RepaintPacer::refreshInterval(ui->label_tx));
    rxBlink.setBusyInterval(RepaintPacer::refreshInterval(ui->label_rx));

    ui->progressBarDownload->setValue(0);
    requestedOffset = 0;

    // Return answers "click Download" and nothing else: End is never the button Return presses,
    // even while it has the focus (after File, before Download is enabled). A click, Space on
    // End and Escape still close the window.
    ui->pushButtonCancel->setAutoDefault(false);

    connect(&imageFile, &ImageSource::hashed, this, &vantuUpdate::refreshStatusTip);
    connect(&imageFile, &ImageSource::hashFailed, this, [this](const QString &error) {
        imageError = error;
        refreshStatusTip();
    });
    connect(&port, &SerialLine::lost, this, &vantuUpdate::portLost);
    connect(&txBlink, &BlinkTimer::blinkEnded, this, &vantuUpdate::disableLed);
    connect(&rxBlink, &BlinkTimer::blinkEnded, this, &vantuUpdate::disableLedBlue);
}

vantuUpdate::~vantuUpdate() = default;

void vantuUpdate::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateForm(this);
}

void vantuUpdate::composeStatusLine()
{
    const QString portName = ui->comboBoxPort->currentText();
    portHint = portWarning(portName);
    const QString file = fileName.isEmpty() ? QStringLiteral("file not available") : fileName;
    // Too long for the line even in the smallest font: the folders of the path give way first,
    // the port and the file name stay.
    const int fileNameLength = int(file.size() - file.lastIndexOf(QLatin1Char('/')));
    setStatus(portName + QStringLiteral("  ") + file, QString(),
              {int(portName.size()) + 2, fileNameLength});
}

void vantuUpdate::setStatus(const QString &text, const QString &details, FittedLabel::KeptEnds ends)
{
    // The line shows the text fitted into its width; the tooltip has it whole, with the
    // explanation and what to do next where there is one.
    ui->labelStatusBar->setTextKeepingEnds(text, ends);
    statusDetails = details;
    refreshStatusTip();
}

const QString &vantuUpdate::WrappedParagraph::wrapped(const QString &text)
{
    if (text != m_text) {
        m_text = text;
        m_wrapped = wrapText(text);
    }
    return m_wrapped;
}

void vantuUpdate::refreshStatusTip()
{
    // The status text stays one line, whole; the explanations are broken into lines a screen
    // can show.
    QString tip = ui->labelStatusBar->text();
    const QString lastOutcomeNote =
        lastOutcome.isEmpty() ? QString() : QStringLiteral("Last outcome: ") + lastOutcome;
    for (const QString *part :
         {&tipDetails.wrapped(statusDetails), &tipImage.wrapped(imageNote()),
          &tipOutcome.wrapped(lastOutcomeNote), &tipPortHint.wrapped(portHint)}) {
        if (!part->isEmpty())
            tip += QStringLiteral("\n\n") + *part;
    }
    ui->labelStatusBar->setToolTip(tip);
}

QString vantuUpdate::imageNote() const
{
    if (fileName.isEmpty())
        return {};
    // Which image goes out, so that it can be checked against a release's published hash.
    QStringList lines{QStringLiteral("Image: ") + fileName};
    if (!imageError.isEmpty()) {
        lines.append(QStringLiteral("It cannot be read: ") + imageError);
    } else if (imageFile.hashing()) {
        lines.append(QStringLiteral("SHA-256 being computed"));
    } else if (imageFile.facts().size >= 0) {
        lines.append(QStringLiteral("Size: %1 bytes")
                         .arg(QLocale(QLocale::English).toString(imageFile.facts().size)));
        lines.append(QStringLiteral("SHA-256 ") + QString::fromLatin1(imageFile.facts().sha256));
    }
    if (!lineTimeNote.isEmpty())
        lines.append(lineTimeNote);
    return lines.join(QLatin1Char('\n'));
}

QString vantuUpdate::probeAdvice()
{
    // Read again every few seconds: an adapter plugged in meanwhile shows up.
    if (probeAdviceText.isEmpty() || unansweredProbes % ProbesBeforeAdvice == 0) {
        const auto silent =
            std::chrono::duration_cast<std::chrono::seconds>(unansweredProbes * ResponseTimeout);
        probeAdviceText =
            QStringLiteral("No device has answered on %1 for %2 s. Serial ports present: %3.\n"
                           "Check that the device is on this port, that its cable is plugged in "
                           "and it is powered, and that it is in its boot loader, waiting for an "
                           "update. The port chosen with File stays for this run: to try "
                           "another port, restart the tool.")
                .arg(portNodePath(port.portName()))
                .arg(silent.count())
                .arg(describedPortNames(QSerialPortInfo::availablePorts()));
    }
    return probeAdviceText;
}

void vantuUpdate::refreshPorts()
{
    ui->comboBoxPort->setPorts(QSerialPortInfo::availablePorts());
}

void vantuUpdate::on_comboBoxPort_currentTextChanged(const QString &)
{
    composeStatusLine();
}

void vantuUpdate::on_pushButtonCancel_clicked()
{
    done(QDialog::Accepted);
}

void vantuUpdate::on_pushButtonOK_clicked()
{
    fileName = QFileDialog::getOpenFileName(this, tr("Open firmware"), QStringLiteral("*.vuf"),
                                            tr("Vantu Files (*.vuf)"));
    if (fileName.isEmpty())
        return;
    // The image is named in the status line's tooltip with its size and hash from now on.
    imageError.clear();
    lineTimeNote.clear();
    imageFile.setPath(fileName);
    imageFile.startHashing();
    outcomeStands = false;
    unansweredProbes = 0;
    composeStatusLine();
    ui->pushButtonOK->setEnabled(false);
    // File is usable again after a port failure: a newly chosen image starts at nothing sent,
    // not at the offset where the last one stopped.
    requestedOffset = 0;
    ui->progressBarDownload->setValue(0);

    // File can be used again after a port failed or was lost: start from a clean image file. What
    // is wrong with it is said at Download.
    imageFile.open();
    imageSize = imageFile.size();

    if (!openPort())
        return;
    connect(&port.serialPort(), &QSerialPort::readyRead, this, &vantuUpdate::receive,
            Qt::UniqueConnection);

    state = UpdateState::Probing;
    sendCommandForState();

    responseTimer.setInterval(ResponseTimeout);
    connect(&responseTimer, &QTimer::timeout, this, &vantuUpdate::timeout, Qt::UniqueConnection);
}

bool vantuUpdate::openPort()
{
    if (port.open(ui->comboBoxPort->currentText()))
        return true;
    // Nothing would ever answer a probe on a port that is not open: say why, and what to do, and
    // let the user choose again.
    const PortAdvice advice = port.diagnose(windowRetry(), QSerialPortInfo::availablePorts());
    setStatus(advice.summary, advice.details);
    ui->pushButtonOK->setEnabled(true);
    return false;
}

void vantuUpdate::portLost(bool nodeGone)
{
    // The port is closed already. The system's error text is often a stale errno by then, so the
    // line names the port instead.
    const QString portName = ui->comboBoxPort->currentText();
    ui->pushButtonOK->setEnabled(true);
    if (outcomeStands) {
        // The update has ended and its outcome stands: a device that restarts takes its port
        // with it (a USB device leaves the bus), which is no failure of the update.
        statusDetails =
            QStringLiteral("The device left %1 after the update ended, and the port is "
                           "closed. That is normal for a device that restarts, into its new "
                           "firmware for example. To update a device again, press File.")
                .arg(portNodePath(portName));
        refreshStatusTip();
        return;
    }
    // END went out and the device left before it answered: it had the whole image, and may have
    // restarted into it; nothing says whether it took it.
    const QString details =
        state == UpdateState::Finishing
            ? QStringLiteral("The device had the whole image and END, and went away before "
                             "confirming the update. It may have restarted into its new firmware, "
                             "or failed to write it: %1.")
                  .arg(windowRetry().checkVersion)
            : lostPortDetails(portName, nodeGone, SystemFiles{}, windowRetry());
    endUpdate(QStringLiteral("Port lost: %1").arg(portName), details);
}

void vantuUpdate::sendCommandForState()
{
    switch (state) {
    case UpdateState::Probing:
        sendPayload(commandPayload(CMD_PING));
        break;
    case UpdateState::VersionQuery:
        sendPayload(commandPayload(CMD_GET_VERSION));
        break;
    case UpdateState::Ready:
        break;
    case UpdateState::Starting:
        sendPayload(commandPayload(CMD_START));
        break;
    case UpdateState::Transferring:
        supplyData();
        break;
    case UpdateState::Finishing:
        sendPayload(commandPayload(CMD_END));
        break;
    }
}

void vantuUpdate::sendPayload(FramePayload payload)
{
    port.send(payload);
    showLight(ui->label_tx, ledOn);
    txBlink.start();
    ui->progressBarDownload->setValue(progressValue(quint32(requestedOffset), imageSize));
    responseTimer.start(ResponseTimeout);
}

void vantuUpdate::supplyData()
{
    FramePayload payload;
    switch (imageFile.answer(quint32(requestedOffset), payload)) {
    case ImageSource::Answer::Piece:
        sendPayload(payload);
        break;
    case ImageSource::Answer::End:
        state = UpdateState::Finishing;
        sendCommandForState();
        break;
    case ImageSource::Answer::Changed:
        // Never send the device a mix of two images: stop here. The tooltip keeps the hash of
        // the bytes that went out; the next Download hashes the file as it is then.
        endUpdate(QStringLiteral("The image file changed on disk during the download: nothing "
                                 "more was sent"),
                  QStringLiteral("%1 was rewritten while the device was fetching it, so the "
                                 "device has only part of the image. Nothing more was sent, so "
                                 "that it gets no mix of two images. Wait until the new image is "
                                 "complete, then restart the device (off and on, so that it "
                                 "starts in its boot loader): when it reports its versions, "
                                 "Download sends the image as it is then.")
                      .arg(fileName));
        break;
    case ImageSource::Answer::Unreadable:
        // Never send bytes that are not the image's: stop here and let the user start over.
        imageFile.close();
        endUpdate(QStringLiteral("Cannot read the image file, download stopped"));
        break;
    }
}

// The procedure is back to Probing: a device that comes up again (RSP_PRESENT) starts it anew.
void vantuUpdate::endUpdate(const QString &text, const QString &details)
{
    responseTimer.stop();
    state = UpdateState::Probing;
    ui->pushButtonDownload->setEnabled(false);
    setStatus(text, details);
}

void vantuUpdate::reportOutcome(const QString &text)
{
    lastOutcome =
        text + QStringLiteral(" at ") + QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    outcomeStands = true;
    endUpdate(text);
}

void vantuUpdate::receive()
{
    port.drain(receiveParser, [this](const DeviceFrame &frame) { handleDeviceFrame(frame); });
}

void vantuUpdate::handleDeviceFrame(const DeviceFrame &frame)
{
    traceReceived(frame);
    if (!isDeviceFrame(frame))
        return;
    responseTimer.stop();
    unansweredProbes = 0;

    switch (frame[3]) {
    case RSP_PRESENT:
        if (state == UpdateState::Probing) {
            outcomeStands = false;
            state = UpdateState::VersionQuery;
            setStatus(QStringLiteral("get Version Info"));
            sendCommandForState();
        }
        break;
    case RSP_VERSION:
        if (state == UpdateState::VersionQuery) {
            const QString text = versionText(frame);
            state = UpdateState::Ready;
            ui->pushButtonDownload->setEnabled(true);
            // The text says "click Download": Return, or a click, does.
            ui->pushButtonDownload->setFocus();
            setStatus(text);
        }
        break;
    case RSP_DATA_REQUEST:
        if (state == UpdateState::Starting || state == UpdateState::Transferring) {
            requestedOffset = qint32(requestedOffsetOf(frame));
            state = UpdateState::Transferring;
            sendCommandForState();
        }
        break;
    case RSP_DONE:
        if (state == UpdateState::Finishing) {
            reportOutcome(QStringLiteral("Firmware is updated"));
        }
        break;
    case RSP_CANCELLED:
        if (state == UpdateState::Starting || state == UpdateState::Transferring) {
            reportOutcome(QStringLiteral("Device canncelled, please retry"));
        }
        break;
    default:
        break;
    }

    showLight(ui->label_rx, ledOn);
    rxBlink.start();
}

void vantuUpdate::timeout()
{
    switch (state) {
    case UpdateState::Probing:
        sendCommandForState();
        ++unansweredProbes;
        setStatus(QStringLiteral("finding device..."),
                  unansweredProbes >= ProbesBeforeAdvice ? probeAdvice() : QString());
        break;
    case UpdateState::VersionQuery:
        setStatus(QStringLiteral("Get device version failed"),
                  QStringLiteral("The device on %1 answered the probe but has not sent its "
                                 "versions. It may still be starting: the tool goes on by itself "
                                 "as soon as they arrive. If nothing changes within a few "
                                 "seconds, switch the device off and on again, so that it "
                                 "starts in its boot loader, and restart the tool.")
                      .arg(portNodePath(port.portName())));
        break;
    case UpdateState::Starting:
    case UpdateState::Transferring:
    case UpdateState::Finishing:
        setStatus(QStringLiteral("device time out, re-start this program"));
        ui->pushButtonDownload->setEnabled(false);
        break;
    case UpdateState::Ready:
        break;
    }
}

void vantuUpdate::on_pushButtonDownload_clicked()
{
    if (state != UpdateState::Ready)
        return;
    // The open image from its start, or opened again by name; its size is taken again, so that
    // an image rewritten since File does not go out cut to its old length. An image found empty
    // or too large is closed.
    const ImageSource::Problem problem = imageFile.rewind();
    imageSize = imageFile.size();
    switch (problem) {
    case ImageSource::Problem::None:
        break;
    case ImageSource::Problem::Empty:
        setStatus(QStringLiteral("File is Vacant"));
        return;
    case ImageSource::Problem::TooLarge:
        setStatus(QStringLiteral("Image too large: more than %1 bytes").arg(MaxImageSize));
        return;
    default:
        setStatus(QStringLiteral("Cannot open the image file: %1").arg(imageFile.errorString()));
        return;
    }
    // What goes out is what the tooltip names: an image rewritten since File, or opened again by
    // name, is hashed again.
    if (!imageFile.hashing() && !imageFile.hashCurrent()) {
        imageError.clear();
        imageFile.startHashing();
    }
    lineTimeNote = QStringLiteral("On the line at %1 baud this takes about %2 (%3 ms per 4 "
                                  "bytes); a USB adapter with a slow latency timer takes longer.")
                       .arg(LineBaudRate)
                       .arg(durationText(lineTimeOf(imageSize, LineBaudRate)))
                       .arg(double(lineTimeOf(4, LineBaudRate).count()) / 1000, 0, 'f', 1);
    setStatus(QStringLiteral("Please wait, in progressing..."));
    state = UpdateState::Starting;
    imageFile.beginUpdate();
    sendCommandForState();
}

void vantuUpdate::disableLed()
{
    showLight(ui->label_tx, ledOff);
}

void vantuUpdate::disableLedBlue()
{
    showLight(ui->label_rx, ledOff);
}

void vantuUpdate::showLight(QLabel *light, const QPixmap &pixmap)
{
    // During a transfer a light can change colour faster than any screen refreshes (each flash
    // ends on its own, the next frame lights it again): the label always holds the latest colour,
    // the screen gets it once per refresh.
    lightPacer.setPixmap(light, pixmap);
}
