#pragma once

#include "boardrun.h"
#include "slottile.h"
#include "stationconfig.h"
#include "transferpace.h"

#include <QList>
#include <QTimer>
#include <QWidget>

#include <optional>
#include <utility>

class QGridLayout;

// The tiles of the fixture, in fixture order, and what each slot's session says shown on its
// tile: the state in words, the board's versions, the progress with the time left, the counters.
// A board's outcome stays on its tile, with what to do next, until the next board on that slot
// answers: after a board has restarted into its new firmware, and after Stop, the operator still
// sees which board passed.
class SlotPanel : public QWidget
{
    Q_OBJECT

public:
    explicit SlotPanel(QWidget *parent = nullptr);

    // One tile per slot; counters of slots that stay at their place are kept.
    void setFixture(const QList<SlotConfig> &fixture);
    SlotTile *tile(int index) const { return m_slots[index].tile; }

    // Shows the run's sessions on the tiles, slot i on session i.
    void watch(BoardRun *run);
    // A board's result, once it is in the log. Each board counts once, by its last outcome.
    void recorded(int slot, const SessionResult &result);
    // The board on the slot is being updated again (Retry failed): its next result replaces the
    // one it has in the counters.
    void retrying(int slot);
    void resetCounts();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    // The last board's outcome as its tile keeps it.
    struct KeptOutcome
    {
        Outcome outcome;
        QString words;   // "Updated", "Failed: the board stopped answering"
        QString details; // the result's message
        QString versions;
    };
    struct Slot
    {
        SlotTile *tile = nullptr;
        QString label; // the target the slot is bound to
        TransferPace pace;
        std::optional<KeptOutcome> last; // shown until the next board answers
        std::optional<Outcome> counted;  // the outcome the counters hold for the last board
        bool retrying = false;
        std::optional<std::pair<quint32, qint64>> pendingProgress; // offset and size, not shown yet
    };

    void connectSession(int slot, UpdateSession *session);
    // The last outcome on the tile, with what to do next as the session stands.
    void showLast(Slot &place, const UpdateSession *session);
    void count(SlotTile *tile, Outcome outcome, int by);
    void showState(int slot, const UpdateSession *session);
    void showProgress(int slot, quint32 offset, qint64 size);
    void showPendingProgress();
    void arrangeTiles();
    // The largest text that fits the tiles as they are now.
    void fitText();

    // The progress reaches the tiles a few times a second, not with each of the hundreds of data
    // requests a second that every slot answers: what the eye can follow, and no repaint that
    // holds back the answers to the devices.
    static constexpr int ProgressIntervalMs = 200;

    static constexpr double MinimumScale = 14.0 / 15; // the state at 14 pt
    static constexpr double MaximumScale = 1.8;
    static constexpr double ScaleStep = 0.05;

    QGridLayout *m_grid;
    double m_scale = 1; // the tiles' text, as SlotTile::setScale takes it
    QTimer m_progressTick;
    QList<Slot> m_slots;
};
