#pragma once

#include "porttarget.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One place on the fixture: its name as the operator sees it, and the port it is bound to (by
// name or path, or by its adapter's serial number, which follows the adapter across re-plugs).
struct SlotConfig
{
    QString name;
    PortTarget target;
};

// Everything a station is set up with, as saved in a station file (JSON).
struct StationConfig
{
    QList<SlotConfig> fixture; // in fixture order
    QString imagePath;
    QStringList hardware; // the guards, as vantuflash's --hardware and --skip-firmware
    QStringList skipFirmware;
    QString logPath;     // empty: the station's own log in its data folder
    bool locked = false; // opens locked for operators
    // The log the records go to: logPath, or the station's own.
    QString logFile() const;

    QByteArray toJson() const;
    // A station from a station file's text; nothing and the reason when it is not one.
    static std::optional<StationConfig> fromJson(const QByteArray &text, QString *error);

    bool save(const QString &path, QString *error) const;
    static std::optional<StationConfig> load(const QString &path, QString *error);
};

// "Slot 3" for the third place on the fixture.
QString defaultSlotName(int index);

// The log the station writes when none is set.
QString defaultLogPath();
