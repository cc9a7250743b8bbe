#pragma once

#include "stationconfig.h"
#include "targetoptions.h"

#include <QString>
#include <QStringList>

// What the station's command line asks for.
struct StationCommandLine : CommandLineRequest
{
    QString stationFile;  // a STATION-FILE given: the station is read from it
    StationConfig config; // what the options set; with a station file, on top of it
    bool start = false;
    bool locked = false;
};

// Reads the command line (arguments()[0] is the program); nothing but the text is looked at.
StationCommandLine parseStationCommandLine(const QStringList &arguments);

// A file the command line names is a station file when its name ends in this.
inline constexpr char StationFileSuffix[] = ".station";
// What the station's file dialogs offer for an image.
inline constexpr char ImageFileFilter[] = "Firmware images (*.vuf);;All files (*)";
