// The supervisor's side of the station window: its settings and file, the image, the lock and
// the export of the records.
#include "settingsdialog.h"
#include "slotpanel.h"
#include "stationoptions.h"
#include "stationwindow.h"

#include <QAction>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// Asks for a password in a dialog of its own; empty when cancelled.
QString askPassword(QWidget *parent, const QString &title, const QString &label)
{
    QInputDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("passwordDialog"));
    dialog.setWindowTitle(title);
    dialog.setLabelText(label);
    dialog.setTextEchoMode(QLineEdit::Password);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.textValue();
}

// The path with the suffix its file dialog's filter names, added when the name has none.
QString withSuffix(const QString &path, const QString &suffix)
{
    return path.endsWith(suffix) ? path : path + suffix;
}

} // namespace

bool StationWindow::openStation(const QString &path)
{
    QString problem;
    const std::optional<StationConfig> loaded = StationConfig::load(path, &problem);
    if (!loaded) {
        tell(problem, true);
        return false;
    }
    if (!setConfig(*loaded)) {
        tell(QStringLiteral("Stop the station before opening another one."), true);
        return false;
    }
    m_stationPath = path;
    if (m_config.locked)
        setLocked(true);
    tell(QStringLiteral("Opened the station %1.").arg(path));
    return true;
}

bool StationWindow::saveStation(const QString &path)
{
    QString problem;
    if (!m_config.save(path, &problem)) {
        tell(problem + QStringLiteral(" Choose another place."), true);
        return false;
    }
    m_stationPath = path;
    tell(QStringLiteral("Saved the station to %1.").arg(path));
    return true;
}

bool StationWindow::exportRecords(const QString &path)
{
    QSaveFile file(path);
    QString problem;
    qint64 rows = -1;
    if (file.open(QIODevice::WriteOnly))
        rows = writeRecordsCsv(m_runs, &file, &problem);
    else
        problem = file.errorString();
    if (rows >= 0 && !file.commit()) {
        rows = -1;
        problem = file.errorString();
    }
    if (rows < 0) {
        tell(QStringLiteral("Cannot export the records to %1: %2. Choose another place.")
                 .arg(path, problem),
             true);
        return false;
    }
    m_exportFolder = QFileInfo(path).absolutePath();
    tell(QStringLiteral("Exported %1 records to %2.").arg(rows).arg(path));
    return true;
}

void StationWindow::openStationFile()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open station"), QFileInfo(m_stationPath).absolutePath(),
        QStringLiteral("Stations (*.station);;All files (*)"));
    if (!path.isEmpty())
        openStation(path);
}

void StationWindow::saveStationFile()
{
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Save station"), m_stationPath,
                                     QStringLiteral("Stations (*.station)"));
    if (!path.isEmpty())
        saveStation(withSuffix(path, QLatin1String(StationFileSuffix)));
}

void StationWindow::exportRecordsFile()
{
    // A name for the day's shift, in the folder of the last export or among the documents.
    QString folder = m_exportFolder;
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString proposed = QDir(folder).filePath(
        QStringLiteral("records-%1.csv").arg(QDate::currentDate().toString(Qt::ISODate)));
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Export records"), proposed, QStringLiteral("CSV files (*.csv)"));
    if (!path.isEmpty())
        exportRecords(withSuffix(path, QStringLiteral(".csv")));
}

void StationWindow::chooseImage()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Choose the image"),
                                                      QFileInfo(m_config.imagePath).absolutePath(),
                                                      QLatin1String(ImageFileFilter));
    if (path.isEmpty())
        return;
    StationConfig changed = m_config;
    changed.imagePath = path;
    setConfig(changed);
}

void StationWindow::editSettings()
{
    if (isRunning())
        return;
    SettingsDialog dialog(m_config, this);
    if (dialog.exec() == QDialog::Accepted)
        setConfig(dialog.config());
}

void StationWindow::setLocked(bool locked)
{
    m_locked = locked;
    updateActions();
}

void StationWindow::lockForOperators()
{
    if (!m_lock.hasPassword()) {
        const QString password =
            askPassword(this, QStringLiteral("Supervisor password"),
                        QStringLiteral("Set the supervisor password that unlocks the station:"));
        if (password.isEmpty())
            return;
        if (askPassword(this, QStringLiteral("Supervisor password"),
                        QStringLiteral("The same password again:")) != password) {
            tell(QStringLiteral("The two passwords differ: the station stays unlocked. Lock it "
                                "again to set the password."),
                 true);
            return;
        }
        if (!m_lock.setPassword(password)) {
            tell(QStringLiteral("Cannot store the supervisor password in the station's "
                                "settings: the station stays unlocked."),
                 true);
            return;
        }
    }
    setLocked(true);
    tell(QStringLiteral("Locked for operators: Ctrl+Shift+U unlocks with the supervisor's "
                        "password."));
}

bool StationWindow::supervisorAllows(const QString &title, const QString &refused)
{
    if (!m_lock.hasPassword()) {
        tell(QStringLiteral("No supervisor password is set on this computer, so %1: start "
                            "vantustation unlocked and set one with Lock for operators.")
                 .arg(refused),
             true);
        return false;
    }
    const QString password = askPassword(this, title, QStringLiteral("Supervisor password:"));
    if (password.isEmpty())
        return false;
    if (!m_lock.check(password)) {
        tell(QStringLiteral("Wrong password: %1.").arg(refused), true);
        return false;
    }
    return true;
}

void StationWindow::unlock()
{
    if (!m_locked || !supervisorAllows(QStringLiteral("Unlock the station"),
                                       QStringLiteral("the station stays locked")))
        return;
    setLocked(false);
    tell(QStringLiteral("Unlocked."));
}

void StationWindow::applyCommandLine(const StationCommandLine &line)
{
    if (!line.stationFile.isEmpty())
        openStation(line.stationFile);
    StationConfig config = m_config;
    if (!line.config.fixture.isEmpty())
        config.fixture = line.config.fixture;
    if (!line.config.imagePath.isEmpty())
        config.imagePath = line.config.imagePath;
    if (!line.config.logPath.isEmpty())
        config.logPath = line.config.logPath;
    if (!line.config.hardware.isEmpty())
        config.hardware = line.config.hardware;
    if (!line.config.skipFirmware.isEmpty())
        config.skipFirmware = line.config.skipFirmware;
    const QString opened = message();
    setConfig(config);
    if (!opened.isEmpty() && !message().isEmpty() && opened != message())
        tell(opened + QLatin1Char(' ') + message(), true);
    // A station file that opens locked stays locked whatever the command line says.
    setLocked(line.locked || m_config.locked);
    if (line.start)
        start();
}
