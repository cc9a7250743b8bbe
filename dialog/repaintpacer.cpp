#include "repaintpacer.h"

#include <QLabel>
#include <QPixmap>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <utility>

using namespace std::chrono_literals;

namespace {

// Screens refresh between 24 and 240 times a second; a platform that reports nothing useful gets
// the common 60.
constexpr double DefaultRefreshHz = 60;
constexpr double MinRefreshHz = 24;
constexpr double MaxRefreshHz = 240;

} // namespace

RepaintPacer::RepaintPacer(QObject *parent) : QObject(parent)
{
    m_tick.setSingleShot(true);
    m_tick.setTimerType(Qt::PreciseTimer);
    connect(&m_tick, &QTimer::timeout, this, &RepaintPacer::present);
}

std::chrono::milliseconds RepaintPacer::refreshInterval(const QWidget *widget)
{
    const QScreen *screen = widget ? widget->screen() : nullptr;
    double hz = screen ? screen->refreshRate() : 0;
    if (!(hz >= MinRefreshHz && hz <= MaxRefreshHz))
        hz = DefaultRefreshHz;
    return std::chrono::milliseconds(std::lround(1000.0 / hz));
}

void RepaintPacer::setPixmap(QLabel *label, const QPixmap &pixmap)
{
    // Setting the pixmap a label already shows would still repaint it. A label showing its text
    // (after a language change) has no pixmap, so it gets one again.
    if (label->pixmap().cacheKey() == pixmap.cacheKey())
        return;
    if (!label->isVisible()) {
        label->setPixmap(pixmap); // nothing on screen to pace
        return;
    }
    // Updates stay off while the label is held: setPixmap changes it without a repaint.
    if (!m_held.contains(label)) {
        label->setUpdatesEnabled(false);
        m_held.append(label);
    }
    label->setPixmap(pixmap);
    if (!m_tick.isActive())
        m_tick.start(refreshInterval(label));
}

void RepaintPacer::present()
{
    // Turning updates on repaints each label once, as it is now.
    const QList<QPointer<QWidget>> held = std::exchange(m_held, {});
    for (const QPointer<QWidget> &widget : held) {
        if (widget)
            widget->setUpdatesEnabled(true);
    }
}
