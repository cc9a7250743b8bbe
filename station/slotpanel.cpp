#include "slotpanel.h"

#include "records.h"
#include "updateprotocol.h"

#include <QGridLayout>

#include <algorithm>

namespace {

// Columns for count tiles on a 1366x768 screen: at most four across, four down.
int columnsFor(int count)
{
    if (count <= 3)
        return std::max(count, 1);
    if (count == 4)
        return 2;
    if (count <= 9)
        return 3;
    return 4;
}

QString failureCause(const SessionResult &result)
{
    switch (result.outcome) {
    case Outcome::OpenFailed:
        return QStringLiteral("the port could not be opened");
    case Outcome::NoDevice:
        return QStringLiteral("the board did not answer");
    case Outcome::Cancelled:
        return QStringLiteral("the board refused the image");
    case Outcome::Timeout:
        return QStringLiteral("the board stopped answering");
    case Outcome::PortLost:
        return QStringLiteral("the connection was lost");
    case Outcome::ImageError:
        return QStringLiteral("the image cannot be used");
    case Outcome::WrongHardware:
        return QStringLiteral("wrong board (hardware %1)")
            .arg(result.versions ? result.versions->hardware : QString());
    case Outcome::LostAfterEnd:
        return QStringLiteral("the board left before confirming");
    case Outcome::Interrupted:
        return QStringLiteral("interrupted");
    case Outcome::Updated:
    case Outcome::Info:
    case Outcome::Skipped:
        break;
    }
    return QString();
}

QString adapterText(const std::optional<AdapterDetails> &adapter)
{
    if (!adapter)
        return {};
    QStringList parts;
    if (!adapter->description.isEmpty())
        parts.append(adapter->description);
    if (!adapter->serialNumber.isEmpty())
        parts.append(QStringLiteral("SN ") + adapter->serialNumber);
    return parts.join(QLatin1Char(' '));
}

// A result in a few words for a tile: "Updated", "Failed: the board stopped answering".
QString resultWords(const SessionResult &result)
{
    if (result.outcome == Outcome::Updated)
        return QStringLiteral("Updated");
    if (result.outcome == Outcome::Skipped)
        return QStringLiteral("Left as it was: it has firmware %1")
            .arg(result.versions ? result.versions->firmware : QString());
    return QStringLiteral("Failed: ") + failureCause(result);
}

} // namespace

SlotPanel::SlotPanel(QWidget *parent) : QWidget(parent), m_grid(new QGridLayout(this))
{
    setObjectName(QStringLiteral("slotPanel"));
    m_grid->setSpacing(8);
    m_grid->setContentsMargins(0, 0, 0, 0);
    m_progressTick.setSingleShot(true);
    m_progressTick.setInterval(ProgressIntervalMs);
    connect(&m_progressTick, &QTimer::timeout, this, &SlotPanel::showPendingProgress);
}

void SlotPanel::setFixture(const QList<SlotConfig> &fixture)
{
    while (m_slots.size() > fixture.size())
        delete m_slots.takeLast().tile;
    for (int index = 0; index < fixture.size(); ++index) {
        if (index == m_slots.size()) {
            Slot slot;
            slot.tile = new SlotTile(fixture[index].name, this);
            m_slots.append(slot);
        }
        SlotTile *tile = m_slots[index].tile;
        tile->setSlotName(fixture[index].name);
        tile->setPort(fixture[index].target.label(), QString());
        tile->setState(SlotTile::Look::Stopped, QStringLiteral("Stopped: press Start"));
    }
    arrangeTiles();
}

void SlotPanel::arrangeTiles()
{
    const int columns = columnsFor(int(m_slots.size()));
    const int rows = (int(m_slots.size()) + columns - 1) / std::max(columns, 1);
    // Fewer tiles get bigger text; sixteen still read at arm's length and beyond.
    const double scale = std::clamp(4.0 / std::max(rows, columns), 1.0, 1.8);
    for (int index = 0; index < m_slots.size(); ++index) {
        m_grid->addWidget(m_slots[index].tile, index / columns, index % columns);
        m_slots[index].tile->setScale(scale);
    }
    // Every slot keeps its place and size on screen, whatever its words say: the columns share
    // the width equally (a tile's width does not follow its text).
    for (int column = 0; column < m_grid->columnCount(); ++column)
        m_grid->setColumnStretch(column, column < columns ? 1 : 0);
}

void SlotPanel::watch(BoardRun *run)
{
    for (int slot = 0; slot < run->portCount() && slot < m_slots.size(); ++slot)
        connectSession(slot, run->session(slot));
}

void SlotPanel::connectSession(int slot, UpdateSession *session)
{
    connect(session, &UpdateSession::stateChanged, this,
            [this, slot, session] { showState(slot, session); });
    connect(session, &UpdateSession::deviceFound, this, [this, slot](const DeviceVersions &v) {
        m_slots[slot].tile->setVersions(
            QStringLiteral("Firmware %1 \u00b7 hardware %2").arg(v.firmware, v.hardware));
        m_slots[slot].pace.restart();
    });
    connect(session, &UpdateSession::progress, this,
            [this, slot](quint32 offset, qint64 size) { showProgress(slot, offset, size); });
}

void SlotPanel::showState(int slot, const UpdateSession *session)
{
    Slot &place = m_slots[slot];
    place.pendingProgress.reset(); // the new state is what the tile shows now
    place.tile->setPort(session->portName(), adapterText(session->adapter()));
    using State = UpdateSession::State;
    const QString last = place.lastDetails.isEmpty()
                             ? QString()
                             : QStringLiteral("Last board: ") + place.lastDetails;
    switch (session->state()) {
    case State::WaitingForPort:
        place.tile->setState(SlotTile::Look::Attention, QStringLiteral("Waiting for its port"),
                             QStringLiteral("%1 is not there or cannot be opened yet: check the "
                                            "adapter's cable.")
                                 .arg(session->portName()));
        break;
    case State::Probing:
    case State::AwaitingNext:
        if (!session->portOpen())
            place.tile->setState(SlotTile::Look::Attention, QStringLiteral("Waiting for its port"),
                                 last);
        else
            place.tile->setState(SlotTile::Look::Waiting, QStringLiteral("Waiting for a board"),
                                 last);
        place.tile->setProgress(-1);
        break;
    case State::VersionQuery:
        place.tile->setState(SlotTile::Look::Updating, QStringLiteral("Board found"));
        place.tile->setProgress(0);
        break;
    case State::Starting:
    case State::Transferring:
    case State::Finishing:
        if (place.tile->look() != SlotTile::Look::Updating)
            place.tile->setState(SlotTile::Look::Updating, QStringLiteral("Updating"));
        break;
    case State::AwaitingRemoval:
        break; // the tile shows the result, recorded just before this state
    case State::Ended:
        place.tile->setState(SlotTile::Look::Stopped, QStringLiteral("Stopped"), last);
        break;
    }
}

void SlotPanel::showProgress(int slot, quint32 offset, qint64 size)
{
    Slot &place = m_slots[slot];
    place.pace.progress(offset, size);
    place.pendingProgress = std::make_pair(offset, size);
    if (!m_progressTick.isActive())
        m_progressTick.start();
}

void SlotPanel::showPendingProgress()
{
    for (Slot &place : m_slots) {
        if (!place.pendingProgress)
            continue;
        const auto [offset, size] = *std::exchange(place.pendingProgress, std::nullopt);
        const int percent = progressValue(offset, size);
        QString words = QStringLiteral("Updating %1 %").arg(percent);
        if (place.pace.known())
            words += QStringLiteral(" \u2013 %1 left").arg(durationText(place.pace.secondsLeft()));
        place.tile->setState(SlotTile::Look::Updating, words);
        place.tile->setProgress(percent);
    }
}

void SlotPanel::recorded(int slot, const SessionResult &result)
{
    if (slot < 0 || slot >= m_slots.size())
        return;
    Slot &place = m_slots[slot];
    place.pendingProgress.reset();
    const SlotTile::Look look = result.outcome == Outcome::Updated ? SlotTile::Look::Updated
                                : isFailure(result.outcome)        ? SlotTile::Look::Failed
                                                                   : SlotTile::Look::Attention;
    place.lastDetails = result.message;
    SlotTile *tile = place.tile;
    tile->setCounts(tile->updatedCount() + (result.outcome == Outcome::Updated ? 1 : 0),
                    tile->failedCount() + (isFailure(result.outcome) ? 1 : 0));
    if (result.outcome == Outcome::Updated)
        tile->setProgress(100);
    tile->setState(look, resultWords(result), place.lastDetails);
}

void SlotPanel::resetCounts()
{
    for (const Slot &slot : std::as_const(m_slots))
        slot.tile->setCounts(0, 0);
}
