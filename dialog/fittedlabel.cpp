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

void FittedLabel::setTextKeepingEnds(const QString &text, KeptEnds ends)
{
    keptText = text;
    keptEnds = ends;
    setText(text);
}

QRect FittedLabel::textRoom() const
{
    return contentsRect().adjusted(margin(), margin(), -margin(), -margin());
}

FittedLabel::Fit FittedLabel::fit() const
{
    const QString full = text();
    const QRect room = textRoom();
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
    const int head = keptEnds.head;
    const int tail = keptEnds.tail;
    if (full == keptText && head + tail > 0 && head + tail < full.size()) {
        // Give up the middle first, then fall back to eliding the whole in the middle, which
        // still shows something of both ends.
        const QString start = full.left(head);
        const QString end = full.right(tail);
        const QString middle = full.mid(head, full.size() - head - tail);
        const qreal ends = metrics.horizontalAdvance(start) + metrics.horizontalAdvance(end);
        const QString shortened = metrics.elidedText(middle, Qt::ElideMiddle, width - ends);
        if (!shortened.isEmpty() && metrics.horizontalAdvance(start + shortened + end) <= width)
            return start + shortened + end;
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
    style()->drawItemText(&painter, textRoom(), int(alignment()) | Qt::TextSingleLine, palette(),
                          isEnabled(), shown.text, foregroundRole());
}
