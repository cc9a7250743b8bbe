#pragma once

#include "sessionresult.h"

#include <QFont>
#include <QFrame>
#include <QString>

class FittedLabel;
class QLabel;
class QProgressBar;

// One slot of the fixture on screen: its name, port and adapter, its state in words with a
// symbol (never by colour alone) and what to do next, the board's versions, a progress bar and
// the slot's counters. Every change of state is told to assistive technology.
class SlotTile : public QFrame
{
    Q_OBJECT

public:
    enum class Look
    {
        Stopped,
        Waiting,
        Updating,
        Updated,
        Failed,
        Attention, // neither updated nor failed: a board left as it was, a port missing
    };
    Q_ENUM(Look)

    explicit SlotTile(const QString &name, QWidget *parent = nullptr);

    void setSlotName(const QString &name);
    void setPort(const QString &port, const QString &adapter);
    // The state: look, the words after its symbol, and the full explanation (tooltip and
    // accessible description).
    void setState(Look look, const QString &words, const QString &details = QString());
    // What the operator does next ("put the next board on"), under the state; empty for nothing.
    void setAdvice(const QString &advice);
    void setVersions(const QString &versions);
    void setProgress(int percent); // -1 empties the bar
    void setCounts(int updated, int failed);
    // Bigger text for fewer tiles: they are read across the room. 1 gives the state 15 pt.
    void setScale(double scale);
    // The fonts of a tile at a scale.
    struct Fonts
    {
        QFont name;
        QFont state;
        QFont advice;
        QFont counts;
        QFont versions; // also shrinks, then elides, to fit its line
        QFont port;     // also elides to fit its room
    };
    static Fonts fontsAt(const QFont &base, double scale);
    // The height a tile of this width needs at a scale to show words and advice whole.
    static int heightNeeded(const QFont &base, double scale, int width, const QString &words,
                            const QString &advice);

    Look look() const { return m_look; }
    QString stateText() const;
    QString advice() const { return m_advice; }
    int updatedCount() const { return m_updated; }
    int failedCount() const { return m_failed; }

private:
    static constexpr int FrameWidth = 3;
    static constexpr int Margin = 4;
    static constexpr int Spacing = 1;
    static int barHeight(double scale);
    void applyLook(Look look);
    void tellAssistiveTechnology();

    QLabel *m_name;
    FittedLabel *m_port;
    QLabel *m_state;
    QLabel *m_adviceLabel;
    FittedLabel *m_versions;
    QProgressBar *m_bar;
    QLabel *m_counts;
    Look m_look = Look::Stopped;
    QString m_words;
    QString m_details;
    QString m_advice;
    int m_updated = 0;
    int m_failed = 0;
};
