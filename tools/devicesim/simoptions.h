#pragma once

#include "devicemodel.h"

#include <QString>

class QCoreApplication;

// What devicesim runs with: the device's behaviour, and what it does with its line.
struct SimSettings
{
    DeviceOptions device;
    bool onPort = false; // on the serial port given, not on a pseudo-terminal of its own
    QString port;
    QString link;       // a symbolic link kept to the pseudo-terminal
    int restartMs = -1; // after each update: hang up, and come back this much later
    bool exitAfterUpdate = false;
    bool verbose = false;
};

// Says what went wrong on standard error, after the program's name; returns false.
bool simFailure(const QString &message);
// Reads the command line into settings (--help prints the options and exits); false, after saying
// what is wrong on standard error, when an option is not right.
bool parseSettings(const QCoreApplication &app, SimSettings &settings);
