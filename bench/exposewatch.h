#pragma once

#include <QApplication>
#include <QEvent>
#include <QWidget>
#include <QWindow>

#include <functional>
#include <utility>

// Shows a widget and calls exposed, once, from the first expose event of its window on screen.
class ExposeWatch : public QObject
{
public:
    ExposeWatch(QWidget &widget, std::function<void()> exposed)
        : QObject(&widget), widget(widget), exposed(std::move(exposed))
    {
        qApp->installEventFilter(this);
        widget.show();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (exposed && event->type() == QEvent::Expose && watched == widget.windowHandle() &&
            widget.windowHandle()->isExposed()) {
            qApp->removeEventFilter(this);
            std::exchange(exposed, {})();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget &widget;
    std::function<void()> exposed;
};
