#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>

// The end of every 100 ms flash of an activity light, on one timer. Each flash ends on its own,
// 100 ms after the frame that started it, even when later frames lit the light again in between:
// what a single-shot timer per frame does, without thousands of live timers (and the event
// loop's linear search through them) when frames come every few microseconds.
class FlashTimer : public QObject
{
    Q_OBJECT

public:
    explicit FlashTimer(std::chrono::milliseconds flash, QObject *parent = nullptr);

    // A frame went out or came in: one more flash ends `flash` from now.
    void start();
    // Flash ends still to come.
    int pending() const { return int(m_ends.size()); }

signals:
    // One or more flashes have ended: the light goes off.
    void flashEnded();

private:
    void expire();

    std::chrono::milliseconds m_flash;
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::deque<qint64> m_ends; // milliseconds on m_clock, in order
};
