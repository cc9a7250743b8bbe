#include "blinktimer.h"

#include <algorithm>

BlinkTimer::BlinkTimer(std::chrono::milliseconds onTime, QObject *parent)
    : QObject(parent), m_onTime(onTime)
{
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &BlinkTimer::expire);
}

void BlinkTimer::start()
{
    m_lastStart = m_clock.elapsed();
    m_ends.push_back(m_lastStart + m_onTime.count());
    if (!m_timer.isActive())
        m_timer.start(m_onTime);
}

void BlinkTimer::expire()
{
    const qint64 now = m_clock.elapsed();
    qint64 lastEnd = -1;
    while (!m_ends.empty() && m_ends.front() <= now) {
        lastEnd = m_ends.front();
        m_ends.pop_front();
    }
    if (!m_ends.empty()) {
        qint64 wait = m_ends.front() - now;
        if (now - m_lastStart < m_busy.count())
            wait = std::max<qint64>(wait, m_busy.count());
        m_timer.start(int(wait));
    }
    // A frame after the end (within the same millisecond counts as after) has lit the light
    // again: it stays on.
    if (lastEnd > m_lastStart || m_busy.count() == 0)
        emit blinkEnded();
}
