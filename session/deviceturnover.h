#pragma once

#include "timing.h"

#include <QString>

#include <chrono>

// Tells the next device on a port from the one just handled, so that --repeat never updates a
// board twice in a row by accident. A board that restarts after its update and comes back into its
// boot loader answers the probes like a new one: only its leaving tells the two apart.
//
// After a result the device handled counts as still there. It has left
// - once nothing has answered the probes for the absence time while the port was open (the board
//   was taken off the fixture): that long since the last answer, and as many probes in a row
//   unanswered as went out in that time (m_absenceProbes). A machine that held the program back
//   sent no probes meanwhile, so that time is not taken for the device's silence; or
// - once the port has gone and come back, unless it came back with the serial number of the
//   adapter it had (the same USB device starting again: it has to fall silent first).
// Until a device has been handled on the port, any device is the next one.
class DeviceTurnover
{
public:
    static constexpr std::chrono::milliseconds DefaultAbsence{1000};

    explicit DeviceTurnover(std::chrono::milliseconds absence = DefaultAbsence)
        : m_absenceMs(absence.count()), m_absenceProbes(int(absence / ResponseTimeout) - 1)
    {}

    // A result was reached with a device that answered; adapterSerial is the serial number of the
    // port's adapter (empty when it has none).
    void deviceHandled(const QString &adapterSerial, qint64 nowMs);
    // A probe went out.
    void probed();
    // A frame that passed the identification test arrived.
    void heard(qint64 nowMs);
    void portLost();
    void portOpened(const QString &adapterSerial, qint64 nowMs);

    // True once the device handled last has left; it stays true until the next deviceHandled().
    bool previousLeft(qint64 nowMs);

private:
    qint64 m_absenceMs;
    // Unanswered probes in a row that the absence takes: one each response time-out, less the one
    // going out as the absence time ends, which has not had its time yet.
    int m_absenceProbes;
    int m_unanswered = 0;
    bool m_waiting = false; // a handled device may still be there
    bool m_portLost = false;
    bool m_portOpen = true;
    QString m_handledSerial;
    qint64 m_lastHeardMs = 0;
};
