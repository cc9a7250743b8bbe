#pragma once

#include "blinktimer.h"
#include "fittedlabel.h"
#include "framecodec.h"
#include "imagesource.h"
#include "repaintpacer.h"
#include "serialline.h"
#include "updateprotocol.h"

#include <QDialog>
#include <QPixmap>
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
    void portLost(bool nodeGone);

private:
    void composeStatusLine();
    void setStatus(const QString &text, const QString &details = QString(),
                   FittedLabel::KeptEnds ends = {});
    void refreshStatusTip();
    QString imageNote() const;
    QString probeAdvice();
    void refreshPorts();
    bool openPort();
    void sendCommandForState();
    void sendPayload(FramePayload payload);
    void supplyData();
    void handleDeviceFrame(const DeviceFrame &frame);
    void endUpdate(const QString &text, const QString &details = QString());
    void reportOutcome(const QString &text);
    void showLight(QLabel *light, const QPixmap &pixmap);

    QString fileName;
    SerialLine port;
    // The image: its file, its hash, and the block in memory with the bytes read so far.
    ImageSource imageFile;
    qint64 imageSize = 0;
    qint32 requestedOffset = 0;
    QTimer responseTimer;
    QPixmap ledOff;
    QPixmap ledOn;
    UpdateState state = UpdateState::Probing;
    QString portHint; // a warning about the chosen port, shown in the status line's tooltip
    // What the status line's tooltip says besides its text: the explanation of the text, the
    // image and what its update takes on the line, and the last outcome with its time.
    QString statusDetails;
    // A paragraph of the tooltip, broken into lines when its text changes rather than at every
    // status text: the status line changes with every step of the procedure.
    class WrappedParagraph
    {
    public:
        const QString &wrapped(const QString &text);

    private:
        QString m_text;
        QString m_wrapped;
    };
    WrappedParagraph tipDetails, tipImage, tipOutcome, tipPortHint;
    QString imageError;         // why the image could not be hashed, if it could not
    QString lineTimeNote;       // how long the image takes on the line, from Download on
    QString lastOutcome;        // "Firmware is updated at 14:02:11"
    bool outcomeStands = false; // an update ended and no new one has begun: the device may leave
    int unansweredProbes = 0;   // probes since the device last said anything
    QString probeAdviceText;    // what to check on a port where nothing answers
    std::unique_ptr<UpdateForm> ui;
    BlinkTimer txBlink;
    BlinkTimer rxBlink;
    RepaintPacer lightPacer; // the lights reach the screen once per display refresh at most
};
