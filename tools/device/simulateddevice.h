#pragma once

#include "devicemodel.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

class QIODevice;

// Plays the device (DeviceModel) over any open QIODevice: a PseudoTerminal, or a QSerialPort on a
// real line. It reads the host's bytes as they come, writes the device's when they are due, and
// keeps one timer for what is due next. The line is not owned.
class SimulatedDevice : public QObject, private DeviceModel
{
    Q_OBJECT

public:
    explicit SimulatedDevice(QIODevice *line, const DeviceOptions &options = {},
                             QObject *parent = nullptr);

    using DeviceModel::options;
    using DeviceModel::receivedImage;
    using DeviceModel::setOptions;
    using DeviceModel::State;
    using DeviceModel::state;
    using DeviceModel::stats;
    // Nothing falls due on the device's side, no frame held back and no return from away: it
    // does nothing more until the host sends.
    bool waitingForTheHost() const;

signals:
    void frameReceived(const FramePayload &payload); // every host frame with a good check byte
    void frameDropped(const FramePayload &payload);  // host frames with a bad check byte
    void frameSent(const DeviceFrame &frame);        // unescaped, as it went out
    void updateCompleted(const QByteArray &image);
    void updateCancelled(quint32 offset);
    // Every CMD_DATA taken as the answer to a data request, a duplicate answer included: the
    // offset asked for and the four bytes it carried.
    void pieceReceived(quint32 offset, const QByteArray &bytes);
    void logLine(const QString &line);

private:
    // Writes what is due, then sets the timer for what comes next.
    void writeDue();

    std::int64_t hostFrame(const HostFrameParser::Result &frame, std::int64_t readNs) override;
    void queued() override { writeDue(); }
    void piece(quint32 offset, const quint8 *bytes, bool) override;
    void completed(const QByteArray &image) override { emit updateCompleted(image); }
    void cancelled(quint32 offset) override { emit updateCancelled(offset); }
    void log(const QString &line) override { emit logLine(line); }

    QPointer<QIODevice> m_line;
    QTimer m_timer;
    bool m_writing = false;
};
