// The supervisor's side of the station window: its settings and file, the image, the lock and
// the export of the records.
#include "settingsdialog.h"
#include "slotpanel.h"
#include "stationoptions.h"
#include "stationwindow.h"

#include <QAction>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QSaveFile>

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
    if (!file.open(QIODevice::WriteOnly) || file.write(recordsCsv(m_records)) < 0 ||
        !file.commit()) {
        tell(QStringLiteral("Cannot export the records to %1: %2. Choose another place.")
                 .arg(path, file.errorString()),
             true);
        return false;
    }
    tell(QStringLiteral("Exported %1 records to %2.").arg(m_records.size()).arg(path));
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
        saveStation(path.endsWith(QLatin1String(StationFileSuffix))
                        ? path
                        : path + QLatin1String(StationFileSuffix));
}

void StationWindow::exportRecordsFile()
{
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("Export records"), QString(), QStringLiteral("CSV files (*.csv)"));
    if (!path.isEmpty())
        exportRecords(path);
}

void StationWindow::chooseImage()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Choose the image"), QFileInfo(m_config.imagePath).absolutePath(),
        QStringLiteral("Firmware images (*.vuf);;All files (*)"));
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

void StationWindow::unlock()
{
    if (!m_locked)
        return;
    if (!m_lock.hasPassword()) {
        tell(QStringLiteral("No supervisor password is set on this computer: start vantustation "
                            "without --locked and set one with Lock for operators."),
             true);
        return;
    }
    const QString password = askPassword(this, QStringLiteral("Unlock the station"),
                                         QStringLiteral("Supervisor password:"));
    if (password.isEmpty())
        return;
    if (!m_lock.check(password)) {
        tell(QStringLiteral("Wrong password: the station stays locked."), true);
        return;
    }
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
    setLocked(line.locked);
    if (line.start)
        start();
}
