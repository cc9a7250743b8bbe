#pragma once

#include <QFont>
#include <QLabel>
#include <QString>

// A one-line label that shows its whole text inside its fixed width: first in a smaller font, down
// to a floor that stays legible, and only then elided. text() and the tooltip keep the full text.
//
// A text made of a head, a middle and a tail (a port, a directory, a file name) can say which ends
// must stay visible: setTextKeepingEnds() elides its middle first.
class FittedLabel : public QLabel
{
    Q_OBJECT

public:
    static constexpr qreal FloorPointSize = 7.0;

    explicit FittedLabel(QWidget *parent = nullptr);

    // The characters at the start and the end of a text that stay visible when its middle has
    // to be elided; none: the text is cut at its end.
    struct KeptEnds
    {
        int head = 0;
        int tail = 0;
    };

    // Shows text; when it does not fit even at the floor size, what lies between the kept ends is
    // elided before anything else.
    void setTextKeepingEnds(const QString &text, KeptEnds ends);

    // What is painted for the current text, font and width (for tests and the paint event alike).
    struct Fit
    {
        QFont font;
        QString text;
    };
    Fit fit() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRect textRoom() const;
    QString elided(const QFont &font, int width) const;

    // The ends to keep apply only while the label still shows the text they were given with.
    QString keptText;
    KeptEnds keptEnds;
};
