#include "fittedlabel.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QStyle>

namespace {

// Font sizes are tried from the label's own down to the floor in these steps.
constexpr qreal PointStep = 0.5;

bool fits(const QFontMetricsF &metrics, const QString &text, const QSizeF &room)
{
    return metrics.horizontalAdvance(text) <= room.width() &&
           metrics.tightBoundingRect(text).height() <= room.height();
}

} // namespace

FittedLabel::FittedLabel(QWidget *parent) : QLabel(parent) {}

void FittedLabel::setTextKeepingEnds(const QString &text, int head, int tail)
{
    keptText = text;
    keepHead = head;
    keepTail = tail;
    setText(text);
}

FittedLabel::Fit FittedLabel::fit() const
{
    const QString full = text();
    const QRect room = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    QFont font = this->font();
    const qreal start = QFontInfo(font).pointSizeF();
    for (qreal size = start; size >= FloorPointSize; size -= PointStep) {
        font.setPointSizeF(size);
        if (fits(QFontMetricsF(font), full, room.size()))
            return {font, full};
    }
    font.setPointSizeF(qMin(start, FloorPointSize));
    return {font, elided(font, room.width())};
}

QString FittedLabel::elided(const QFont &font, int width) const
{
    const QFontMetricsF metrics(font);
    const QString full = text();
    if (full == keptText && keepHead + keepTail < full.size()) {
        // Give up the middle first, then fall back to eliding the whole in the middle, which
        // still shows something of both ends.
        const QString head = full.left(keepHead);
        const QString tail = full.right(keepTail);
        const QString middle = full.mid(keepHead, full.size() - keepHead - keepTail);
        const qreal ends = metrics.horizontalAdvance(head) + metrics.horizontalAdvance(tail);
        const QString shortened = metrics.elidedText(middle, Qt::ElideMiddle, width - ends);
        if (!shortened.isEmpty() && metrics.horizontalAdvance(head + shortened + tail) <= width)
            return head + shortened + tail;
        return metrics.elidedText(full, Qt::ElideMiddle, width);
    }
    return metrics.elidedText(full, Qt::ElideRight, width);
}

void FittedLabel::paintEvent(QPaintEvent *event)
{
    if (!pixmap().isNull() || textFormat() == Qt::RichText) {
        QLabel::paintEvent(event);
        return;
    }
    const Fit shown = fit();
    QPainter painter(this);
    drawFrame(&painter);
    painter.setFont(shown.font);
    const QRect room = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    style()->drawItemText(&painter, room, int(alignment()) | Qt::TextSingleLine, palette(),
                          isEnabled(), shown.text, foregroundRole());
}
