#pragma once

#include "porttarget.h"
#include "targetoptions.h"

#include <QList>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>

#include <chrono>

// What the command line asks for.
struct FlashOptions
{
    enum class Mode
    {
        Update,
        Info,
        List,
    };
    Mode mode = Mode::Update;
    QString imagePath;
    QList<PortTarget> targets; // in command-line order
    std::chrono::milliseconds wait{10000};
    std::chrono::milliseconds timeout{2000};
    bool json = false;
    bool repeat = false;
    bool quiet = false;
    bool verbose = false;
    QString logPath;
    QStringList hardware;     // --hardware: the hardware versions a board may report
    QStringList skipFirmware; // --skip-firmware: boards with these firmware versions are left
};

// What the command line asks for, and its options for a run.
struct ParsedCommandLine : CommandLineRequest
{
    FlashOptions options;
};

// Reads the command line (arguments()[0] is the program). Nothing is opened or looked at but the
// text.
ParsedCommandLine parseCommandLine(const QStringList &arguments);
