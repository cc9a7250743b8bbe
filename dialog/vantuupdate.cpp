#include "vantuupdate.h"

#include "linesettings.h"
#include "portbox.h"
#include "portdiagnosis.h"
#include "serialtuning.h"
#include "timing.h"
#include "updateform.h"
#include "wiretrace.h"

#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <cerrno>
#include <chrono>

using namespace std::chrono_literals;

namespace {

constexpr int LedSize = 15;
constexpr qint64 ReceiveChunk = 1024;
// The image is read a block at a time and nothing else of it is kept: no read-ahead buffer.
constexpr QIODevice::OpenMode ImageOpenMode = QIODevice::ReadOnly | QIODevice::Unbuffered;

// One receive parser for the whole process: a frame cut in two by a read is completed by the next.
FrameParser receiveParser;

} // namespace

vantuUpdate::vantuUpdate(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<UpdateForm>()), txFlash(LedFlash), rxFlash(LedFlash)
{
    ui->setupForm(this);

    portList = QSerialPortInfo::availablePorts();
    ui->comboBoxPort->setPorts(portList);
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
    txFlash.setBusyInterval(RepaintPacer::refreshInterval(ui->label_tx));
    rxFlash.setBusyInterval(RepaintPacer::refreshInterval(ui->label_rx));

    ui->progressBarDownload->setValue(0);
    requestedOffset = 0;

    connect(&port, &QSerialPort::errorOccurred, this, &vantuUpdate::handlePortError);
    connect(&txFlash, &FlashTimer::flashEnded, this, &vantuUpdate::disableLed);
    connect(&rxFlash, &FlashTimer::flashEnded, this, &vantuUpdate::disableLedBlue);
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
    // The status text stays one line, whole; the explanations are broken into lines a screen
    // can show.
    QString tip = text;
    if (!details.isEmpty())
        tip += QStringLiteral("\n\n") + wrapText(details);
    if (!portHint.isEmpty())
        tip += QStringLiteral("\n\n") + wrapText(portHint);
    ui->labelStatusBar->setToolTip(tip);
}

void vantuUpdate::refreshPorts()
{
    portList = QSerialPortInfo::availablePorts();
    ui->comboBoxPort->setPorts(portList);
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
    composeStatusLine();
    ui->pushButtonOK->setEnabled(false);
    // File is usable again after a port failure: a newly chosen image starts at nothing sent,
    // not at the offset where the last one stopped.
    requestedOffset = 0;
    ui->progressBarDownload->setValue(0);

    // File can be used again after a port failed or was lost: start from a clean image file.
    imageFile.close();
    imageFile.setFileName(fileName);
    imageFile.open(ImageOpenMode);
    imageSize = imageFile.size();

    if (!openPort())
        return;
    connect(&port, &QSerialPort::readyRead, this, &vantuUpdate::receive, Qt::UniqueConnection);

    state = UpdateState::Probing;
    sendCommandForState();

    responseTimer.setInterval(ResponseTimeout);
    connect(&responseTimer, &QTimer::timeout, this, &vantuUpdate::timeout, Qt::UniqueConnection);
}

bool vantuUpdate::openPort()
{
    const QString portName = ui->comboBoxPort->currentText();
    port.setPortName(devicePath(portName));
    applyLineSettings(port);
    if (port.open(QIODevice::ReadWrite)) {
        openedNode = openedDeviceNode(portNodePath(portName), port);
        requestLowLatency(port);
        return true;
    }
    const int openErrno = errno;

    // Nothing would ever answer a probe on a port that is not open: say why, and what to do, and
    // let the user choose again.
    const PortAdvice advice = diagnoseOpenFailure(portName, port.error(), port.errorString(),
                                                  openErrno, QSerialPortInfo::availablePorts());
    setStatus(advice.summary, advice.details);
    ui->pushButtonOK->setEnabled(true);
    return false;
}

void vantuUpdate::handlePortError(QSerialPort::SerialPortError error)
{
    // ResourceError is what a pulled adapter normally gives; a hung-up line can also show up as
    // a read or write error that repeats for as long as the port stays open. Either way the port
    // is closed at once, so that a dead line cannot keep the event loop busy. The system's error
    // text is often a stale errno by then, so the line names the port instead.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    if (!port.isOpen())
        return;
    const QString portName = ui->comboBoxPort->currentText();
    const bool nodeGone = deviceNodeGone(openedNode);
    port.close();
    ui->pushButtonOK->setEnabled(true);
    endUpdate(QStringLiteral("Port lost: %1").arg(portName), lostPortDetails(portName, nodeGone));
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
    writeHostFrame(port, payload.data(), PayloadSize);
    traceSent(payload);
    showLight(ui->label_tx, ledOn);
    txFlash.start();
    ui->progressBarDownload->setValue(progressValue(quint32(requestedOffset), imageSize));
    responseTimer.start(ResponseTimeout);
}

void vantuUpdate::supplyData()
{
    const quint32 offset = quint32(requestedOffset);
    // Any request at or past the end (an offset negative as a signed number included) means the
    // device has the whole image.
    if (offset >= imageSize) {
        state = UpdateState::Finishing;
        sendCommandForState();
        return;
    }
    quint8 piece[4];
    if (!blocks.readPiece(imageFile, imageSize, offset, piece)) {
        // Never send bytes that are not the image's: stop here and let the user start over.
        imageFile.close();
        endUpdate(QStringLiteral("Cannot read the image file, download stopped"));
        return;
    }
    sendPayload(dataPayload(piece, offset));
}

// The procedure is back to Probing: a device that comes up again (RSP_PRESENT) starts it anew.
void vantuUpdate::endUpdate(const QString &text, const QString &details)
{
    responseTimer.stop();
    state = UpdateState::Probing;
    ui->pushButtonDownload->setEnabled(false);
    setStatus(text, details);
}

void vantuUpdate::receive()
{
    // Drain everything the port holds: a chunk left behind would wait for the next notification,
    // which a device waiting for our answer never triggers.
    quint8 buffer[ReceiveChunk];
    qint64 count = 0;
    while (port.isOpen() &&
           (count = port.read(reinterpret_cast<char *>(buffer), ReceiveChunk)) > 0) {
        receiveParser.feed(buffer, count,
                           [this](const DeviceFrame &frame) { handleDeviceFrame(frame); });
    }
}

void vantuUpdate::handleDeviceFrame(const DeviceFrame &frame)
{
    traceReceived(frame);
    if (!isDeviceFrame(frame))
        return;
    responseTimer.stop();

    switch (frame[3]) {
    case RSP_PRESENT:
        if (state == UpdateState::Probing) {
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
            endUpdate(QStringLiteral("Firmware is updated"));
        }
        break;
    case RSP_CANCELLED:
        if (state == UpdateState::Starting || state == UpdateState::Transferring) {
            endUpdate(QStringLiteral("Device canncelled, please retry"));
        }
        break;
    default:
        break;
    }

    showLight(ui->label_rx, ledOn);
    rxFlash.start();
}

void vantuUpdate::timeout()
{
    switch (state) {
    case UpdateState::Probing:
        sendCommandForState();
        setStatus(QStringLiteral("finding device..."));
        break;
    case UpdateState::VersionQuery:
        setStatus(QStringLiteral("Get device version failed"));
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
    if (imageFile.isOpen()) {
        imageFile.seek(0);
    } else {
        imageFile.setFileName(fileName);
        if (!imageFile.open(ImageOpenMode)) {
            setStatus(
                QStringLiteral("Cannot open the image file: %1").arg(imageFile.errorString()));
            return;
        }
    }
    // The size is taken again at every download: an image rewritten since File must not go
    // out cut to its old length.
    imageSize = imageFile.size();
    if (imageSize == 0) {
        setStatus(QStringLiteral("File is Vacant"));
        imageFile.close();
        return;
    }
    if (imageSize > MaxImageSize) {
        setStatus(QStringLiteral("Image too large: more than %1 bytes").arg(MaxImageSize));
        imageFile.close();
        return;
    }
    setStatus(QStringLiteral("Please wait, in progressing..."));
    state = UpdateState::Starting;
    blocks.reset();
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
