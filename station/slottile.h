#pragma once

#include "sessionresult.h"

#include <QFrame>
#include <QString>

class FittedLabel;
class QLabel;
class QProgressBar;

// One slot of the fixture on screen: its name, port and adapter, its state in words with a
// symbol (never by colour alone), the board's versions, a progress bar and the slot's counters.
// Every change of state is told to assistive technology.
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
    void setVersions(const QString &versions);
    void setProgress(int percent); // -1 hides the bar's figure
    void setCounts(int updated, int failed);
    // Bigger text for fewer tiles: they are read across the room.
    void setScale(double scale);

    Look look() const { return m_look; }
    QString stateText() const;
    int updatedCount() const { return m_updated; }
    int failedCount() const { return m_failed; }

private:
    void applyLook(Look look);
    void tellAssistiveTechnology();

    QLabel *m_name;
    FittedLabel *m_port;
    QLabel *m_state;
    QLabel *m_versions;
    QProgressBar *m_bar;
    QLabel *m_counts;
    Look m_look = Look::Stopped;
    QString m_words;
    QString m_details;
    int m_updated = 0;
    int m_failed = 0;
};
