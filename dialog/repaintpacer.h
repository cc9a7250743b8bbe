#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

class QLabel;
class QPixmap;
class QWidget;

// Lets labels that change at the frame rate reach the screen at most once per display refresh.
// A label takes every change at once (its pixmap() is always the latest), but its repaint waits
// for the next refresh tick, when it is painted as it is then: the screen samples the label the
// way a display samples its frame buffer, without a write to the window system for each change
// that no screen could show.
class RepaintPacer : public QObject
{
    Q_OBJECT

public:
    explicit RepaintPacer(QObject *parent = nullptr);

    // The label shows pixmap from now on; the screen gets it at the next refresh tick. Setting
    // the pixmap the label already shows does nothing.
    void setPixmap(QLabel *label, const QPixmap &pixmap);

    // Time from one refresh tick to the next: the refresh period of the label's screen.
    static std::chrono::milliseconds refreshInterval(const QWidget *widget);

private:
    void present();

    QTimer m_tick;
    QList<QPointer<QWidget>> m_held;
};
