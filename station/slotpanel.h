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
    // A board's result, once it is in the log.
    void recorded(int slot, const SessionResult &result);
    void resetCounts();

private:
    struct Slot
    {
        SlotTile *tile = nullptr;
        TransferPace pace;
        QString lastDetails;                                       // the last result in full
        std::optional<std::pair<quint32, qint64>> pendingProgress; // offset and size, not shown yet
    };

    void connectSession(int slot, UpdateSession *session);
    void showState(int slot, const UpdateSession *session);
    void showProgress(int slot, quint32 offset, qint64 size);
    void showPendingProgress();
    void arrangeTiles();

    // The progress reaches the tiles a few times a second, not with each of the hundreds of data
    // requests a second that every slot answers: what the eye can follow, and no repaint that
    // holds back the answers to the devices.
    static constexpr int ProgressIntervalMs = 200;

    QGridLayout *m_grid;
    QTimer m_progressTick;
    QList<Slot> m_slots;
};
