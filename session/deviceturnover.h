#pragma once

#include <QString>

#include <chrono>

// Tells the next device on a port from the one just handled, so that --repeat never updates a
// board twice in a row by accident. A board that restarts after its update and comes back into its
// boot loader answers the probes like a new one: only its leaving tells the two apart.
//
// After a result the device handled counts as still there. It has left
// - once nothing has answered the probes for the absence time while the port was open (the board
//   was taken off the fixture), or
// - once the port has gone and come back, unless it came back with the serial number of the
//   adapter it had (the same USB device starting again: it has to fall silent first).
// Until a device has been handled on the port, any device is the next one.
class DeviceTurnover
{
public:
    static constexpr std::chrono::milliseconds DefaultAbsence{1000};

    explicit DeviceTurnover(std::chrono::milliseconds absence = DefaultAbsence)
        : m_absenceMs(absence.count())
    {}

    // A result was reached with a device that answered; adapterSerial is the serial number of the
    // port's adapter (empty when it has none).
    void deviceHandled(const QString &adapterSerial, qint64 nowMs);
    // A frame that passed the identification test arrived.
    void heard(qint64 nowMs);
    void portLost();
    void portOpened(const QString &adapterSerial, qint64 nowMs);

    // True once the device handled last has left; it stays true until the next deviceHandled().
    bool previousLeft(qint64 nowMs);

private:
    qint64 m_absenceMs;
    bool m_waiting = false; // a handled device may still be there
    bool m_portLost = false;
    bool m_portOpen = true;
    QString m_handledSerial;
    qint64 m_lastHeardMs = 0;
};
