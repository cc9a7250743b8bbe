#include "serialline.h"

#include "linesettings.h"
#include "portinfo.h"
#include "serialtuning.h"
#include "wiretrace.h"

#include <cerrno>

SerialLine::SerialLine(QObject *parent) : QObject(parent)
{
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialLine::onError);
}

bool SerialLine::open(const QString &portName)
{
    m_portName = portName;
    // Opened, and so locked, under the node itself: a second program that was given another name
    // for the same device finds it held.
    m_port.setPortName(devicePath(resolvedPortNode(portName)));
    applyLineSettings(m_port);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const int openErrno = errno;
        m_failure = {portName, m_port.error(), m_port.errorString(), openErrno};
        return false;
    }
    m_failure = {};
    m_node = openedDeviceNode(portNodePath(portName), m_port);
    requestLowLatency(m_port);
    return true;
}

void SerialLine::close()
{
    if (m_port.isOpen())
        m_port.close();
}

PortAdvice SerialLine::diagnose(const RetryAdvice &retry,
                                const QList<QSerialPortInfo> &presentPorts,
                                const SystemFiles &system) const
{
    return diagnoseOpenFailure(m_failure.portName, m_failure.error, m_failure.errorText,
                               m_failure.systemError, presentPorts, system, retry);
}

void SerialLine::onError(QSerialPort::SerialPortError error)
{
    // ResourceError is what a pulled adapter normally gives; a hung-up line can also show up as a
    // read or write error that repeats for as long as the port stays open. Either way the port is
    // closed at once, so that a dead line cannot keep the event loop busy.
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError &&
        error != QSerialPort::WriteError)
        return;
    if (!m_port.isOpen())
        return;
    const bool nodeGone = deviceNodeGone(m_node);
    m_port.close();
    emit lost(nodeGone);
}

void SerialLine::send(FramePayload payload, const QString &traceLabel)
{
    if (!m_port.isOpen())
        return;
    writeHostFrame(m_port, payload.data(), PayloadSize);
#ifdef Q_OS_UNIX
    // The frame goes to the line now rather than from the write notifier on the next pass of the
    // event loop: one pass, one poll and the notifier's switching less per round trip. (On
    // Windows flush() waits until the bytes have left the UART, which would hold the event loop.)
    m_port.flush();
#endif
    traceSent(payload, traceLabel);
}
