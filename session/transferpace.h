#pragma once

#include <QElapsedTimer>
#include <QString>

// The pace of one transfer, from the data requests answered so far: its rate and the time left,
// once it has run long enough to tell (half a second, and bytes sent).
class TransferPace
{
public:
    // A new transfer: the next progress() is its first request.
    void restart() { m_clock.invalidate(); }
    void progress(quint32 offset, qint64 size);

    bool known() const;
    double bytesPerSecond() const; // 0 while not known
    qint64 secondsLeft() const;    // -1 while not known

private:
    QElapsedTimer m_clock;
    quint32 m_firstOffset = 0;
    quint32 m_offset = 0;
    qint64 m_size = 0;
};

// A duration as "m:ss".
QString durationText(qint64 seconds);
