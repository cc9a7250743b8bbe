#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>

// The end of every 100 ms blink of an activity light, on one timer. Each blink ends on its own,
// 100 ms after the frame that started it, even when later frames lit the light again in between:
// what a single-shot timer per frame does, without thousands of live timers (and the event
// loop's linear search through them) when frames come every few microseconds.
//
// While frames keep coming (the last one less than the busy interval ago), the ends are looked at
// once per busy interval instead of each on its own millisecond: a blink that ended before a later
// frame lit the light again is not reported, the light being on again by then. What is lost is a
// few microseconds of "off" between a blink's end and the next frame, which no screen shows; a
// timer due every millisecond would cost the event loop a short poll time-out, and the kernel a
// timer reprogramming, on every pass.
class BlinkTimer : public QObject
{
    Q_OBJECT

public:
    explicit BlinkTimer(std::chrono::milliseconds onTime, QObject *parent = nullptr);

    // A frame went out or came in: one more blink ends `onTime` from now.
    void start();
    // Flash ends still to come.
    int pending() const { return int(m_ends.size()); }
    // How often the ends are looked at while frames keep coming; 0 (the default): each end on
    // its own.
    void setBusyInterval(std::chrono::milliseconds interval) { m_busy = interval; }

signals:
    // One or more blinks have ended with no frame since: the light goes off.
    void blinkEnded();

private:
    void expire();

    std::chrono::milliseconds m_onTime;
    std::chrono::milliseconds m_busy{0};
    QElapsedTimer m_clock;
    QTimer m_timer;
    std::deque<qint64> m_ends; // milliseconds on m_clock, in order
    qint64 m_lastStart = -1;   // the latest frame, milliseconds on m_clock
};
