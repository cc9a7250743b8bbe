#pragma once

#include "boardrun.h"
#include "csvexport.h"
#include "imagesource.h"
#include "recordlog.h"
#include "stationconfig.h"
#include "stationoptions.h"
#include "supervisorlock.h"

#include <QMainWindow>

#include <memory>

class QAction;
class QLabel;
class QMenu;
class QToolBar;
class SlotPanel;

// The station: the fixture's slots as tiles, Start, Stop and Retry failed, the image and the
// guards on screen, and for the supervisor the station's settings, its file, the lock, the
// counters and the export of the shift's records. Each slot runs an UpdateSession of the
// console program's engine, through one BoardRun per Start; nothing goes out before Start.
class StationWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit StationWindow(QWidget *parent = nullptr);
    ~StationWindow() override;

    // The station as the command line sets it up: its file, then the options on top; --locked
    // and --start. Problems are shown in the window.
    void applyCommandLine(const StationCommandLine &line);
    // Takes a station; refused while running.
    bool setConfig(const StationConfig &config);
    const StationConfig &config() const { return m_config; }
    bool openStation(const QString &path);
    bool saveStation(const QString &path);
    bool exportRecords(const QString &path);

    bool isRunning() const { return m_run != nullptr; }
    bool isLocked() const { return m_locked; }
    void setLocked(bool locked);
    SlotPanel *panel() const { return m_panel; }
    QString message() const;

public slots:
    void start();
    void stop();
    void retryFailed();
    // Quits without asking, as when the system ends the station (SIGTERM, SIGHUP, SIGINT): boards
    // under way get their interrupted records first.
    void quitNow();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // The first size, from the available geometry of the screen the window opens on.
    void fitToScreen();
    // Whether the station may close now: the supervisor's password while locked, then the
    // operator's answer while boards are being updated.
    bool mayClose();
    void makeActions();
    void makeMenus();
    void updateActions();
    void showImage(const std::optional<ImageFacts> &facts);
    void showGuards();
    void tell(const QString &text, bool problem = false);
    bool prepareImage();
    bool prepareLog();
    void recorded(int slot, const SessionResult &result);
    void runEnded();
    void endRun();
    void chooseImage();
    void editSettings();
    void openStationFile();
    void saveStationFile();
    void exportRecordsFile();
    void lockForOperators();
    void unlock();
    // Asks for the supervisor's password under title; true when it was given, else refused is
    // said.
    bool supervisorAllows(const QString &title, const QString &refused);

    StationConfig m_config;
    QString m_stationPath;
    SupervisorLock m_lock;
    bool m_locked = false;
    bool m_quitting = false;
    bool m_sized = false; // the first size has been set

    SlotPanel *m_panel;
    QLabel *m_imageLabel;
    QLabel *m_guardsLabel;
    QLabel *m_message;
    QToolBar *m_runBar;
    QAction *m_startAction = nullptr;
    QAction *m_stopAction = nullptr;
    QAction *m_retryAction = nullptr;
    QList<QAction *> m_settingsActions;   // changed only while stopped
    QList<QAction *> m_supervisorActions; // hidden while locked
    QAction *m_unlockAction = nullptr;

    std::shared_ptr<ImageSource> m_image;
    RecordLog m_log;
    BoardRun *m_run = nullptr;
    // Every Start since the window opened, for the export: the records themselves stay in the log.
    QList<ExportedRun> m_runs;
    QString m_exportFolder;
};
