#pragma once

#include <QList>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>

#include <optional>

// The serial ports and their adapters as text: the one home of how every program names the
// ports present and tells one adapter from another.

// What the system says about the adapter behind a port; each field empty where it has none.
struct AdapterDetails
{
    QString serialNumber;
    QString usbIds; // "0403:6001"
    QString description;
    QString manufacturer;

    bool isEmpty() const
    {
        return serialNumber.isEmpty() && usbIds.isEmpty() && description.isEmpty() &&
               manufacturer.isEmpty();
    }
};

// The device node behind a port name a user gives: a short name lives under /dev, a path is
// itself.
QString portNodePath(const QString &portName);

// The device node itself behind a port name, links resolved (a /dev/serial/by-id name, a link of
// one's own): what a port is opened and locked under, so that one device has one owner whatever
// name each program was given. The name's node path where it cannot be resolved; on Windows the
// name itself.
QString resolvedPortNode(const QString &portName);

AdapterDetails adapterDetailsOf(const QSerialPortInfo &port);

// The adapter behind a port name or path, from the ports the system lists; none for a port it does
// not list (a pseudo-terminal) or one it knows nothing about. A /dev/serial/by-id link names the
// same port as the node it leads to.
std::optional<AdapterDetails> adapterOf(const QString &portName,
                                        const QList<QSerialPortInfo> &present);

// What tells one serial adapter from another: "Description: ...", "Manufacturer: ...",
// "Serial number: ...", "USB vendor:product: 0403:6001", "Location: /dev/ttyUSB0", one per line,
// each only where the port has it.
QString describeAdapter(const QSerialPortInfo &port);

// "0403:6001" for a USB port, empty for a port without USB identifiers.
QString usbIds(const QSerialPortInfo &port);

// The names a user would pick from: "ttyUSB0, ttyACM0", or empty.
QString presentPortNames(const QList<QSerialPortInfo> &ports);

// The ports, each with what the system says it is: "ttyS0 (16550A-compatible COM port),
// ttyUSB0 (FT232R USB UART)", or "none".
QString describedPortNames(const QList<QSerialPortInfo> &ports);

// The links in /dev/serial/by-id that lead to a port: the names that do not move from one plug-in
// to the next.
QStringList stableLinksOf(const QSerialPortInfo &port);
