#include "transferpace.h"

namespace {

constexpr qint64 ShortestMeasureMs = 500;

} // namespace

void TransferPace::progress(quint32 offset, qint64 size)
{
    if (!m_clock.isValid()) {
        m_clock.start();
        m_firstOffset = offset;
    }
    m_offset = offset;
    m_size = size;
}

bool TransferPace::known() const
{
    return m_clock.isValid() && m_clock.elapsed() > ShortestMeasureMs && m_offset > m_firstOffset;
}

double TransferPace::bytesPerSecond() const
{
    if (!known())
        return 0;
    return double(m_offset - m_firstOffset) / (double(m_clock.elapsed()) / 1000.0);
}

qint64 TransferPace::secondsLeft() const
{
    if (!known())
        return -1;
    const double left = double(m_size) - double(m_offset);
    return left <= 0 ? 0 : qint64(left / bytesPerSecond());
}

QString durationText(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
