#include "stationwindow.h"

#include "portdiagnosis.h"
#include "slotpanel.h"
#include "targetoptions.h"

#include <QAction>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

// The explanations' "try again", for an operator at a fixture.
RetryAdvice stationRetry()
{
    return {QStringLiteral("press Retry failed"),
            QStringLiteral("press Start"),
            QStringLiteral("press Start again"),
            QStringLiteral("Check the slot's adapter and cable"),
            QStringLiteral("bind the slot to its port in the station's settings"),
            QStringLiteral("put the board back on the fixture: the slot updates it"),
            QStringLiteral("put the board back on the fixture to read its version")};
}

QString versionList(const QStringList &versions)
{
    return versions.isEmpty() ? QStringLiteral("any") : versions.join(QStringLiteral(", "));
}

// What a window manager's frame and title take around the window.
constexpr QSize FrameAllowance(16, 32);

} // namespace

StationWindow::StationWindow(QWidget *parent)
    : QMainWindow(parent), m_panel(new SlotPanel), m_imageLabel(new QLabel),
      m_guardsLabel(new QLabel), m_message(new QLabel), m_runBar(new QToolBar(this))
{
    setObjectName(QStringLiteral("stationWindow"));
    setWindowTitle(QStringLiteral("vantustation"));
    m_imageLabel->setObjectName(QStringLiteral("imageFacts"));
    m_guardsLabel->setObjectName(QStringLiteral("guards"));
    m_message->setObjectName(QStringLiteral("stationMessage"));
    m_imageLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long path or hash never widens the window past its screen: the image's tooltip holds its
    // path whole.
    m_imageLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_guardsLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_message->setWordWrap(true);

    // The slots take the window; the image and the guards stand beside Start, Stop and Retry
    // failed, the messages beneath the slots.
    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);
    layout->addWidget(m_panel, 1);
    layout->addWidget(m_message);
    setCentralWidget(central);
    auto *facts = new QWidget;
    auto *factsLayout = new QVBoxLayout(facts);
    factsLayout->setContentsMargins(12, 0, 0, 0);
    factsLayout->setSpacing(0);
    factsLayout->addWidget(m_imageLabel);
    factsLayout->addWidget(m_guardsLabel);
    facts->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    makeActions();
    makeMenus();
    m_runBar->setObjectName(QStringLiteral("runBar"));
    m_runBar->setMovable(false);
    m_runBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    QFont big = m_runBar->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    m_runBar->setFont(big);
    m_runBar->addActions({m_startAction, m_stopAction, m_retryAction});
    // In the toolbar's big bold font otherwise: the facts keep the window's own.
    QFont plain = font();
    plain.setBold(false);
    plain.setPointSizeF(font().pointSizeF());
    facts->setFont(plain);
    m_runBar->addWidget(facts);
    addToolBar(Qt::TopToolBarArea, m_runBar);

    showImage(std::nullopt);
    showGuards();
    updateActions();
}

void StationWindow::showEvent(QShowEvent *event)
{
    if (!m_sized) {
        m_sized = true;
        fitToScreen();
    }
    QMainWindow::showEvent(event);
}

void StationWindow::fitToScreen()
{
    // What the screen it opens on leaves free, whatever that screen is, less room for a window
    // frame, and never less than the window needs; centred there.
    const QRect room = screen()->availableGeometry();
    const QSize size =
        (room.size() - FrameAllowance).expandedTo(minimumSizeHint()).boundedTo(room.size());
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size, room));
}

StationWindow::~StationWindow()
{
    endRun();
}

void StationWindow::makeActions()
{
    m_startAction = new QAction(QStringLiteral("Start"), this);
    m_startAction->setObjectName(QStringLiteral("startAction"));
    m_startAction->setShortcut(Qt::Key_F5);
    m_startAction->setToolTip(QStringLiteral("Update every new board put on a slot (F5)"));
    connect(m_startAction, &QAction::triggered, this, &StationWindow::start);
    m_stopAction = new QAction(QStringLiteral("Stop"), this);
    m_stopAction->setObjectName(QStringLiteral("stopAction"));
    m_stopAction->setToolTip(
        QStringLiteral("Take no new board; boards being updated finish first"));
    connect(m_stopAction, &QAction::triggered, this, &StationWindow::stop);
    m_retryAction = new QAction(QStringLiteral("Retry failed"), this);
    m_retryAction->setObjectName(QStringLiteral("retryAction"));
    m_retryAction->setShortcut(Qt::Key_F6);
    m_retryAction->setToolTip(
        QStringLiteral("Update again the failed boards still on the fixture (F6)"));
    connect(m_retryAction, &QAction::triggered, this, &StationWindow::retryFailed);

    auto *quit = new QAction(QStringLiteral("Quit"), this);
    quit->setObjectName(QStringLiteral("quitAction"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &QWidget::close);
    addAction(quit); // Ctrl+Q works with the menus hidden too
    m_unlockAction = new QAction(QStringLiteral("Unlock…"), this);
    m_unlockAction->setObjectName(QStringLiteral("unlockAction"));
    m_unlockAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_U));
    connect(m_unlockAction, &QAction::triggered, this, &StationWindow::unlock);
    addAction(m_unlockAction);
}

void StationWindow::makeMenus()
{
    QMenu *station = menuBar()->addMenu(QStringLiteral("&Station"));
    const auto add = [this, station](const QString &text, const char *name, auto slot) {
        QAction *action = station->addAction(text, this, slot);
        action->setObjectName(QLatin1String(name));
        return action;
    };
    m_settingsActions = {
        add(QStringLiteral("&Open station…"), "openAction", &StationWindow::openStationFile),
        add(QStringLiteral("Choose &image…"), "imageAction", &StationWindow::chooseImage),
        add(QStringLiteral("S&ettings…"), "settingsAction", &StationWindow::editSettings)};
    m_settingsActions.first()->setShortcut(QKeySequence::Open);
    m_supervisorActions = m_settingsActions;
    m_supervisorActions.append(
        add(QStringLiteral("&Save station as…"), "saveAction", &StationWindow::saveStationFile));
    m_supervisorActions.append(add(QStringLiteral("E&xport records as CSV…"), "exportAction",
                                   &StationWindow::exportRecordsFile));
    m_supervisorActions.append(add(QStringLiteral("&Reset counters"), "resetCountersAction",
                                   [this] { m_panel->resetCounts(); }));
    station->addSeparator();
    m_supervisorActions.append(add(QStringLiteral("&Lock for operators…"), "lockAction",
                                   &StationWindow::lockForOperators));
    station->addSeparator();
    station->addAction(actions().constFirst());
}

bool StationWindow::setConfig(const StationConfig &config)
{
    if (isRunning())
        return false;
    m_config = config;
    m_panel->setFixture(m_config.fixture);
    showImage(std::nullopt);
    if (m_config.imagePath.isEmpty())
        m_image.reset();
    else
        prepareImage();
    showGuards();
    updateActions();
    return true;
}

void StationWindow::updateActions()
{
    const bool running = isRunning();
    m_startAction->setEnabled(!running);
    m_stopAction->setEnabled(running);
    m_retryAction->setEnabled(running);
    for (QAction *action : std::as_const(m_settingsActions))
        action->setEnabled(!running);
    for (QAction *action : std::as_const(m_supervisorActions))
        action->setVisible(!m_locked);
    menuBar()->setVisible(!m_locked);
    m_unlockAction->setEnabled(m_locked);
    setWindowTitle(m_locked ? QStringLiteral("vantustation (locked)")
                            : QStringLiteral("vantustation"));
}

void StationWindow::showImage(const std::optional<ImageFacts> &facts)
{
    if (!facts) {
        m_imageLabel->setText(m_config.imagePath.isEmpty()
                                  ? QStringLiteral("Image: none chosen")
                                  : QStringLiteral("Image: %1").arg(m_config.imagePath));
        return;
    }
    m_imageLabel->setText(QStringLiteral("Image: %1 \u00b7 %2 bytes \u00b7 SHA-256 %3")
                              .arg(QFileInfo(facts->path).fileName())
                              .arg(facts->size)
                              .arg(QString::fromLatin1(facts->sha256)));
    m_imageLabel->setToolTip(facts->path);
}

void StationWindow::showGuards()
{
    m_guardsLabel->setText(QStringLiteral("Hardware: %1 \u00b7 Skip firmware: %2 \u00b7 Log: %3")
                               .arg(versionList(m_config.hardware),
                                    m_config.skipFirmware.isEmpty()
                                        ? QStringLiteral("none")
                                        : m_config.skipFirmware.join(QStringLiteral(", ")),
                                    m_config.logFile()));
    m_guardsLabel->setToolTip(m_guardsLabel->text());
}

void StationWindow::tell(const QString &text, bool problem)
{
    m_message->setText(text);
    m_message->setStyleSheet(problem ? QStringLiteral("color: #b3261e; font-weight: bold;")
                                     : QString());
}

QString StationWindow::message() const
{
    return m_message->text();
}

bool StationWindow::prepareImage()
{
    if (m_config.imagePath.isEmpty()) {
        tell(QStringLiteral("No image is chosen: choose one with Station \u25b8 Choose image."),
             true);
        return false;
    }
    // Hashed here, unless it is the image hashed last time and unchanged since; each slot's
    // update hashes again only a file that has changed since.
    auto image = std::make_shared<ImageSource>(m_config.imagePath);
    if (m_image)
        image->adoptHash(*m_image);
    ImageSource::Problem problem = image->open();
    if (problem == ImageSource::Problem::None)
        problem = image->hashNow();
    image->close();
    if (problem != ImageSource::Problem::None) {
        tell(QStringLiteral("Cannot use the image %1. Nothing was started: choose another image.")
                 .arg(image->describe(problem)),
             true);
        m_image.reset();
        showImage(std::nullopt);
        return false;
    }
    m_image = image;
    showImage(m_image->facts());
    return true;
}

bool StationWindow::prepareLog()
{
    const QString path = m_config.logFile();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString problem;
    if (!m_log.open(path, &problem)) {
        tell(QStringLiteral("%1. Nothing was started: choose another log file in the settings.")
                 .arg(problem),
             true);
        return false;
    }
    return true;
}

void StationWindow::start()
{
    if (isRunning())
        return;
    if (m_config.fixture.isEmpty()) {
        tell(QStringLiteral("The station has no slot: add slots in Station \u25b8 Settings."),
             true);
        return;
    }
    QList<PortTarget> targets;
    for (const SlotConfig &slot : std::as_const(m_config.fixture))
        targets.append(slot.target);
    QString problem;
    if (expandTargets(targets, presentPorts(), &problem).size() != targets.size()) {
        tell(QStringLiteral("Two slots share a port (%1): bind each slot to its own port in "
                            "Station \u25b8 Settings.")
                 .arg(problem),
             true);
        return;
    }
    if (!prepareImage() || !prepareLog())
        return;

    SessionSettings settings;
    settings.wait = std::chrono::milliseconds(0); // an empty slot waits for its board
    settings.repeat = true;
    settings.labelTrace = true;
    settings.retry = stationRetry();
    settings.hardware = m_config.hardware;
    settings.skipFirmware = m_config.skipFirmware;
    m_run = new BoardRun(settings, targets, m_image.get(), &m_log, this);
    connect(m_run, &BoardRun::recorded, this, &StationWindow::recorded);
    connect(m_run, &BoardRun::recordNotWritten, this, [this](const QString &text) {
        tell(text.left(1).toUpper() + text.mid(1) +
                 QStringLiteral(". Boards being updated finish; then free the disk or choose "
                                "another log file, and press Start."),
             true);
    });
    connect(m_run, &BoardRun::ended, this, &StationWindow::runEnded, Qt::QueuedConnection);
    m_runs.append({QDateTime::currentDateTimeUtc(), m_config.fixture, m_log.path()});
    m_run->prepare();
    m_panel->watch(m_run);
    updateActions();
    tell(QStringLiteral("Started: put the boards on the fixture. Records go to %1.")
             .arg(m_log.path()));
    m_run->start();
}

void StationWindow::stop()
{
    if (!m_run)
        return;
    tell(QStringLiteral("Stopping: boards being updated finish first."));
    m_run->stopTakingBoards();
}

void StationWindow::retryFailed()
{
    if (!m_run)
        return;
    int retried = 0;
    for (int slot = 0; slot < m_run->portCount(); ++slot) {
        if (m_run->session(slot)->retryFailedBoard()) {
            m_panel->retrying(slot);
            ++retried;
        }
    }
    if (retried == 0)
        tell(QStringLiteral("No failed board that a retry can mend is on the fixture. A board the "
                            "guards refused stays refused: take it off. A failed board put back on "
                            "its slot is updated as a new one."));
    else
        tell(QStringLiteral("Updating again the failed boards still on the fixture: %1.")
                 .arg(retried));
}

void StationWindow::recorded(int slot, const SessionResult &result)
{
    m_panel->recorded(slot, result);
    // The bytes each update offered: a file changed on disk is hashed again before its update.
    if (result.image)
        showImage(result.image);
}

void StationWindow::runEnded()
{
    if (!m_run || !m_run->allEnded())
        return;
    const bool logFailed = m_run->logFailed();
    m_run->deleteLater();
    m_run = nullptr;
    updateActions();
    if (!logFailed && !m_quitting)
        tell(QStringLiteral("Stopped: press Start to update boards again."));
}

void StationWindow::closeEvent(QCloseEvent *event)
{
    if (!m_quitting && !mayClose()) {
        event->ignore();
        return;
    }
    endRun();
    event->accept();
}

bool StationWindow::mayClose()
{
    if (m_locked && !supervisorAllows(QStringLiteral("Quit the station"),
                                      QStringLiteral("the station stays open")))
        return false;
    if (!m_run)
        return true;
    QStringList changing;
    for (int slot = 0; slot < m_run->portCount(); ++slot) {
        if (m_run->session(slot)->changingBoard())
            changing.append(m_config.fixture.value(slot).name);
    }
    if (changing.isEmpty())
        return true;
    const QString names = changing.size() == 1
                              ? changing.first()
                              : changing.mid(0, changing.size() - 1).join(QStringLiteral(", ")) +
                                    QStringLiteral(" and ") + changing.last();
    QMessageBox ask(QMessageBox::Warning, QStringLiteral("vantustation"),
                    changing.size() == 1
                        ? QStringLiteral("A board is being updated on %1. Quitting now stops its "
                                         "update and leaves it without complete firmware.")
                              .arg(names)
                        : QStringLiteral("Boards are being updated on %1. Quitting now stops "
                                         "their updates and leaves them without complete "
                                         "firmware.")
                              .arg(names),
                    QMessageBox::NoButton, this);
    ask.setObjectName(QStringLiteral("quitQuestion"));
    QPushButton *quit = ask.addButton(QStringLiteral("Quit anyway"), QMessageBox::DestructiveRole);
    // Return and Escape keep the boards going: only a deliberate click stops them.
    QPushButton *keep = ask.addButton(QStringLiteral("Keep running"), QMessageBox::RejectRole);
    ask.setDefaultButton(keep);
    ask.setEscapeButton(keep);
    ask.exec();
    return ask.clickedButton() == quit && m_run != nullptr;
}

void StationWindow::endRun()
{
    m_quitting = true;
    if (!m_run)
        return;
    // Empty slots end without a record; boards under way get their interrupted record.
    m_run->stopTakingBoards();
    m_run->interrupt();
}

void StationWindow::quitNow()
{
    endRun();
    QCoreApplication::quit();
}
