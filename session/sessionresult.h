#pragma once

#include "imagesource.h"
#include "portinfo.h"

#include <QDateTime>
#include <QString>

#include <optional>

// How one update on one port ended. The names are part of the console program's output.
enum class Outcome
{
    Updated,       // the device reported RSP_DONE after END
    Info,          // the device reported its versions; nothing was changed (--info)
    OpenFailed,    // the port never opened within the wait
    NoDevice,      // the port opened, but no device answered the probes and the version query
    Cancelled,     // the device sent RSP_CANCELLED
    Timeout,       // the device stopped answering once the update had started
    PortLost,      // the port went away during the update
    ImageError,    // the image could not be read as it was when hashed: nothing else was sent
    Interrupted,   // the run was stopped (SIGINT, SIGTERM, SIGHUP)
    WrongHardware, // the board reported a hardware version it must not be updated on
    Skipped,       // the board already has a firmware version it need not be updated from
    LostAfterEnd,  // the device had the whole image and END, then left before it confirmed
};

// "updated", "info", "open-failed", "no-device", "cancelled", "timeout", "port-lost",
// "image-error", "interrupted", "wrong-hardware", "skipped", "lost-after-end".
QString outcomeName(Outcome outcome);

// The versions an RSP_VERSION frame reports, as "01.00".
struct DeviceVersions
{
    QString firmware;
    QString hardware;
};

// Everything a record of one update holds.
struct SessionResult
{
    QString port; // the port's name, or the adapter asked for when no port was found
    Outcome outcome = Outcome::Interrupted;
    QString message;
    std::optional<DeviceVersions> versions; // none before the device answered
    std::optional<ImageFacts> image;        // none with --info
    std::optional<AdapterDetails> adapter;  // none for a port the system does not list
    QDateTime started;                      // UTC
    double seconds = 0;
    int requests = 0;         // data requests answered, the one answered with END included
    int repeatedRequests = 0; // requests for a piece (or the end) answered before
};
