#include "slotpanel.h"

#include "records.h"
#include "updateprotocol.h"

#include <QDateTime>
#include <QGridLayout>
#include <QLocale>
#include <QResizeEvent>

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

// The longest words and advice a tile shows, which must fit it at the scale the panel picks.
const char *const LongestWords[] = {
    "\u2716 Failed: the board left before confirming",
    "\u2716 Failed: wrong board (hardware 04.02)",
    "\u27f3 Updating 100 % \u2013 59 min 59 s left",
    "\u26a0 Left as it was: it has firmware 01.00",
};
// What to do next after a board, the last of them the longest.
const QLatin1String NextBoardAdvice("put the next board on");
const QLatin1String TakeOffAdvice("take the board off");
const QLatin1String TakeOffOrRetryAdvice("take the board off, or press F6 to retry");
const QLatin1String LongestAdvice = TakeOffOrRetryAdvice;

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
    m_grid->setSpacing(4);
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
            slot.tile->setScale(m_scale);
            m_slots.append(slot);
        }
        Slot &place = m_slots[index];
        SlotTile *tile = place.tile;
        tile->setSlotName(fixture[index].name);
        const QString label = fixture[index].target.label();
        tile->setPort(label, QString());
        // A slot bound elsewhere now has no last board to show.
        if (place.label != label) {
            place.last.reset();
            place.counted.reset();
        }
        place.label = label;
        if (place.last) {
            showLast(place, nullptr);
        } else {
            tile->setState(SlotTile::Look::Stopped, QStringLiteral("Stopped: press Start"));
            tile->setAdvice(QString());
        }
    }
    arrangeTiles();
}

void SlotPanel::arrangeTiles()
{
    const int columns = columnsFor(int(m_slots.size()));
    for (int index = 0; index < m_slots.size(); ++index)
        m_grid->addWidget(m_slots[index].tile, index / columns, index % columns);
    // Every slot keeps its place and size on screen, whatever its words say: the columns share
    // the width equally, the rows the height.
    const int rows = (int(m_slots.size()) + columns - 1) / std::max(columns, 1);
    for (int column = 0; column < m_grid->columnCount(); ++column)
        m_grid->setColumnStretch(column, column < columns ? 1 : 0);
    for (int row = 0; row < m_grid->rowCount(); ++row)
        m_grid->setRowStretch(row, row < rows ? 1 : 0);
    fitText();
}

void SlotPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    fitText();
}

void SlotPanel::fitText()
{
    if (m_slots.isEmpty())
        return;
    const int columns = columnsFor(int(m_slots.size()));
    const int rows = (int(m_slots.size()) + columns - 1) / columns;
    const QSize tile((width() - m_grid->spacing() * (columns - 1)) / columns,
                     (height() - m_grid->spacing() * (rows - 1)) / rows);
    // Fewer tiles get bigger text, read across the room; smaller tiles smaller text, down to a
    // state still 14 pt. The longest words a tile shows decide.
    const QFont base = m_slots.first().tile->font();
    const auto fits = [&](double scale) {
        for (const char *words : LongestWords) {
            if (SlotTile::heightNeeded(base, scale, tile.width(), QString::fromUtf8(words),
                                       QString(LongestAdvice)) > tile.height())
                return false;
        }
        return true;
    };
    double scale = std::clamp(4.0 / std::max(rows, columns), MinimumScale, MaximumScale);
    while (scale - ScaleStep >= MinimumScale && !fits(scale))
        scale -= ScaleStep;
    if (qFuzzyCompare(scale, m_scale))
        return;
    m_scale = scale;
    for (const Slot &slot : std::as_const(m_slots))
        slot.tile->setScale(scale);
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
    const bool gone = session->portGoneBetweenBoards();
    place.tile->setPort(session->portName() + (gone ? QStringLiteral(" (gone)") : QString()),
                        adapterText(session->adapter()));
    using State = UpdateSession::State;
    switch (session->state()) {
    case State::WaitingForPort:
        place.tile->setAdvice(QString());
        place.tile->setState(SlotTile::Look::Attention, QStringLiteral("Waiting for its port"),
                             QStringLiteral("%1 is not there or cannot be opened yet: check the "
                                            "adapter's cable.")
                                 .arg(session->portName()));
        break;
    case State::Probing:
    case State::AwaitingRemoval:
    case State::AwaitingNext:
        if (place.last) {
            showLast(place, session);
            break;
        }
        place.tile->setProgress(-1);
        place.tile->setAdvice(QString());
        if (gone)
            place.tile->setState(SlotTile::Look::Attention, QStringLiteral("Waiting for its port"));
        else
            place.tile->setState(SlotTile::Look::Waiting, QStringLiteral("Waiting for a board"));
        break;
    case State::VersionQuery:
        // The next board has answered: the last one's outcome and versions make way.
        place.last.reset();
        place.tile->setVersions(QString());
        place.tile->setAdvice(QString());
        place.tile->setState(SlotTile::Look::Updating, QStringLiteral("Board found"));
        place.tile->setProgress(0);
        break;
    case State::Starting:
    case State::Transferring:
    case State::Finishing:
        if (place.tile->look() != SlotTile::Look::Updating)
            place.tile->setState(SlotTile::Look::Updating, QStringLiteral("Updating"));
        break;
    case State::Ended:
        if (place.last) {
            showLast(place, session);
        } else {
            place.tile->setAdvice(QString());
            place.tile->setState(SlotTile::Look::Stopped, QStringLiteral("Stopped"));
        }
        break;
    }
}

void SlotPanel::showLast(Slot &place, const UpdateSession *session)
{
    const KeptOutcome &last = *place.last;
    QString advice;
    if (!session || session->state() == UpdateSession::State::Ended)
        advice = QStringLiteral("stopped");
    else if (!isFailure(last.outcome))
        advice = NextBoardAdvice;
    else if (session->canRetry())
        advice = TakeOffOrRetryAdvice;
    else
        advice = TakeOffAdvice;
    QString details = QStringLiteral("Last board: ") + last.details;
    if (session && session->portGoneBetweenBoards())
        details += QStringLiteral(" The port %1 has gone; the slot uses it again when it comes "
                                  "back.")
                       .arg(session->portName());
    place.tile->setProgress(last.outcome == Outcome::Updated ? 100 : -1);
    place.tile->setVersions(last.versions);
    place.tile->setAdvice(advice);
    const SlotTile::Look look = last.outcome == Outcome::Updated ? SlotTile::Look::Updated
                                : isFailure(last.outcome)        ? SlotTile::Look::Failed
                                                                 : SlotTile::Look::Attention;
    place.tile->setState(look, last.words, details);
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
    // A board updated again replaces its earlier outcome in the counters.
    if (place.retrying && place.counted)
        count(place.tile, *place.counted, -1);
    place.retrying = false;
    count(place.tile, result.outcome, 1);
    place.counted = result.outcome;

    QString versions = result.versions
                           ? QStringLiteral("Firmware %1 \u00b7 hardware %2 \u00b7 ")
                                 .arg(result.versions->firmware, result.versions->hardware)
                           : QString();
    versions += QStringLiteral("at ") + QLocale::c().toString(QDateTime::currentDateTime().time(),
                                                              QStringLiteral("HH:mm:ss"));
    // The tile shows it, with what to do next, when the session's state changes: the session
    // tells its new state right after the result (showState).
    place.last = KeptOutcome{result.outcome, resultWords(result), result.message, versions};
}

void SlotPanel::retrying(int slot)
{
    if (slot >= 0 && slot < m_slots.size())
        m_slots[slot].retrying = true;
}

void SlotPanel::count(SlotTile *tile, Outcome outcome, int by)
{
    tile->setCounts(tile->updatedCount() + (outcome == Outcome::Updated ? by : 0),
                    tile->failedCount() + (isFailure(outcome) ? by : 0));
}

void SlotPanel::resetCounts()
{
    for (Slot &slot : m_slots) {
        slot.tile->setCounts(0, 0);
        slot.counted.reset();
    }
}
