#include "simulateddevice.h"

#include "steadyclock.h"

#ifdef Q_OS_UNIX
#include "pseudoterminal.h"
#endif

#include <QIODevice>

#include <limits>

namespace {

// A pseudo-terminal hangs up, as a USB device that restarts takes its port along; any other line
// closes.
void hangUp(QIODevice *line)
{
#ifdef Q_OS_UNIX
    if (auto *terminal = qobject_cast<PseudoTerminal *>(line)) {
        terminal->hangUp();
        return;
    }
#endif
    line->close();
}

} // namespace

SimulatedDevice::SimulatedDevice(QIODevice *line, const DeviceOptions &options, QObject *parent)
    : QObject(parent), DeviceModel(options), m_line(line)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        advance(steadyNs());
        writeDue();
    });
    if (!m_line)
        return;
    connect(m_line, &QIODevice::readyRead, this, [this] {
        const QByteArray bytes = m_line->readAll();
        receive(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size(), steadyNs());
        writeDue();
    });
    connect(m_line, &QIODevice::readChannelFinished, this,
            [this] { log(QStringLiteral("line closed: %1").arg(m_line->errorString())); });
}

bool SimulatedDevice::waitingForTheHost() const
{
    return nextWakeNs() == std::numeric_limits<std::int64_t>::max();
}

void SimulatedDevice::writeDue()
{
    // A slot connected to frameSent may send, and so come back here: the loop below goes on.
    if (m_writing)
        return;
    m_writing = true;
    while (hasOutput() && front().dueNs <= steadyNs()) {
        const Output out = front();
        pop();
        if (out.hangUp && m_line)
            hangUp(m_line);
        else if (m_line && m_line->isOpen() && out.size > 0)
            m_line->write(reinterpret_cast<const char *>(out.bytes.data()), out.size);
        if (out.endsFrame)
            emit frameSent(out.frame);
    }
    m_writing = false;
    const std::int64_t wake = nextWakeNs();
    if (wake == std::numeric_limits<std::int64_t>::max())
        m_timer.stop();
    else
        m_timer.start(int(std::max<std::int64_t>(0, (wake - steadyNs() + 999999) / 1000000)));
}

std::int64_t SimulatedDevice::hostFrame(const HostFrameParser::Result &frame, std::int64_t readNs)
{
    if (frame.checkOk)
        emit frameReceived(frame.payload);
    else
        emit frameDropped(frame.payload);
    return readNs;
}

void SimulatedDevice::piece(quint32 offset, const quint8 *bytes, bool)
{
    emit pieceReceived(offset, QByteArray(reinterpret_cast<const char *>(bytes), 4));
}
