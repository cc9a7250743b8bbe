#pragma once

#include "framecodec.h"
#include "portdiagnosis.h"

#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>

// One serial line to a device and its plumbing, for every program that talks to one: opening the
// port with the line's settings (and why it would not open), draining it into a receive parser,
// telling a lost line from a passing error, and sending frames with the wire trace. What the
// frames mean stays with the program.
class SerialLine : public QObject
{
    Q_OBJECT

public:
    // Why the last open() failed, as the system and QSerialPort said it.
    struct OpenFailure
    {
        QString portName;
        QSerialPort::SerialPortError error = QSerialPort::NoError;
        QString errorText;
        int systemError = 0; // errno after the failed open, 0 where unknown
    };

    explicit SerialLine(QObject *parent = nullptr);

    // Opens the port a user named (a port box text, a name, a path) for reading and writing at
    // the line's settings, and asks the driver to pass received bytes on at once. False when it
    // cannot be opened: failure() and diagnose() say why.
    bool open(const QString &portName);
    void close();
    bool isOpen() const { return m_port.isOpen(); }
    // The name given to the last open().
    QString portName() const { return m_portName; }
    QSerialPort &serialPort() { return m_port; }

    const OpenFailure &failure() const { return m_failure; }
    // The explanation of the last failed open, in the words of retry.
    PortAdvice diagnose(const RetryAdvice &retry, const QList<QSerialPortInfo> &presentPorts,
                        const SystemFiles &system = {}) const;

    // Hands everything the port holds to parser, and each complete frame to handler, until the
    // port is empty or closed: a chunk left behind would wait for the next notification, which a
    // device waiting for an answer never triggers.
    template <typename Handler> void drain(FrameParser &parser, Handler &&handler)
    {
        quint8 buffer[ReceiveChunk];
        qint64 count = 0;
        while (m_port.isOpen() &&
               (count = m_port.read(reinterpret_cast<char *>(buffer), ReceiveChunk)) > 0)
            parser.feed(buffer, count, handler);
    }

    // Writes one host frame (the payload's last byte becomes its check byte) and traces it, with
    // traceLabel naming the port where several are in use. Nothing is written to a closed port.
    void send(FramePayload payload, const QString &traceLabel = QString());

signals:
    // The line has gone (an adapter unplugged, a hung-up line); the port is closed already.
    // nodeGone: its device node has gone, or is another one now.
    void lost(bool nodeGone);

private:
    static constexpr qint64 ReceiveChunk = 1024;

    void onError(QSerialPort::SerialPortError error);

    QSerialPort m_port;
    QString m_portName;
    DeviceNode m_node; // what the open port is, to tell an unplugged adapter when it goes
    OpenFailure m_failure;
};
