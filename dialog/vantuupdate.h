#pragma once

#include "fittedlabel.h"
#include "flashtimer.h"
#include "framecodec.h"
#include "imageblockreader.h"
#include "portdiagnosis.h"
#include "repaintpacer.h"
#include "updateprotocol.h"

#include <QDialog>
#include <QFile>
#include <QList>
#include <QPixmap>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>
#include <QTimer>

#include <memory>

class QLabel;
class UpdateForm;

// The tool's one window. The firmware update runs in its slots: File opens the image and the
// port and probes for the device, the device's answers move the procedure on, Download hands the
// image over four bytes per request.
class vantuUpdate : public QDialog
{
    Q_OBJECT

public:
    explicit vantuUpdate(QWidget *parent = nullptr);
    ~vantuUpdate() override;

    UpdateState updateState() const { return state; }

protected:
    void changeEvent(QEvent *event) override;

private slots:
    void on_comboBoxPort_currentTextChanged(const QString &text);
    void on_pushButtonDownload_clicked();
    void on_pushButtonCancel_clicked();
    void on_pushButtonOK_clicked();
    void receive();
    void timeout();
    void disableLed();
    void disableLedBlue();
    void handlePortError(QSerialPort::SerialPortError error);

private:
    void composeStatusLine();
    void setStatus(const QString &text, const QString &details = QString(),
                   FittedLabel::KeptEnds ends = {});
    void refreshPorts();
    bool openPort();
    void sendCommandForState();
    void sendPayload(FramePayload payload);
    void supplyData();
    void handleDeviceFrame(const DeviceFrame &frame);
    void endUpdate(const QString &text, const QString &details = QString());
    void showLight(QLabel *light, const QPixmap &pixmap);

    QString fileName;
    QList<QSerialPortInfo> portList;
    QSerialPort port;
    DeviceNode openedNode; // what the open port is, to tell an unplugged adapter when it goes
    QFile imageFile;
    qint64 imageSize = 0;
    ImageBlockReader blocks; // the block of the image in memory and the bytes read so far
    qint32 requestedOffset = 0;
    QTimer responseTimer;
    QPixmap ledOff;
    QPixmap ledOn;
    UpdateState state = UpdateState::Probing;
    QString portHint; // a warning about the chosen port, shown in the status line's tooltip
    std::unique_ptr<UpdateForm> ui;
    FlashTimer txFlash;
    FlashTimer rxFlash;
    RepaintPacer lightPacer; // the lights reach the screen once per display refresh at most
};
