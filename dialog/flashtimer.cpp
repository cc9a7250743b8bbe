#include "flashtimer.h"

FlashTimer::FlashTimer(std::chrono::milliseconds flash, QObject *parent)
    : QObject(parent), m_flash(flash)
{
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &FlashTimer::expire);
}

void FlashTimer::start()
{
    m_ends.push_back(m_clock.elapsed() + m_flash.count());
    if (!m_timer.isActive())
        m_timer.start(m_flash);
}

void FlashTimer::expire()
{
    const qint64 now = m_clock.elapsed();
    while (!m_ends.empty() && m_ends.front() <= now)
        m_ends.pop_front();
    if (!m_ends.empty())
        m_timer.start(int(m_ends.front() - now));
    emit flashEnded();
}
