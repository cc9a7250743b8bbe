#include "deviceturnover.h"

void DeviceTurnover::deviceHandled(const QString &adapterSerial, qint64 nowMs)
{
    m_waiting = true;
    // A port already gone with the result (a device that took it along) counts as lost.
    m_portLost = !m_portOpen;
    m_handledSerial = adapterSerial;
    m_lastHeardMs = nowMs;
    m_unanswered = 0;
}

void DeviceTurnover::probed()
{
    ++m_unanswered;
}

void DeviceTurnover::heard(qint64 nowMs)
{
    m_lastHeardMs = nowMs;
    m_unanswered = 0;
}

void DeviceTurnover::portLost()
{
    m_portOpen = false;
    if (m_waiting)
        m_portLost = true;
}

void DeviceTurnover::portOpened(const QString &adapterSerial, qint64 nowMs)
{
    m_portOpen = true;
    if (!m_waiting || !m_portLost)
        return;
    m_portLost = false;
    if (adapterSerial.isEmpty() || adapterSerial != m_handledSerial) {
        m_waiting = false;
        return;
    }
    // The same adapter again: its silence counts from now.
    m_lastHeardMs = nowMs;
    m_unanswered = 0;
}

bool DeviceTurnover::previousLeft(qint64 nowMs)
{
    if (m_waiting && m_portOpen && !m_portLost && nowMs - m_lastHeardMs >= m_absenceMs &&
        m_unanswered >= m_absenceProbes)
        m_waiting = false;
    return !m_waiting;
}
