#pragma once

#include <QList>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>

#include <optional>

// The port a session works on: a name or path the user gave, or the USB serial adapter with a
// given serial number or with given USB IDs, found among the ports present each time the session
// opens its port (an adapter plugged in again may come back under another name).
struct PortTarget
{
    enum class Kind
    {
        Name,
        SerialNumber,
        UsbIds,
    };
    Kind kind = Kind::Name;
    QString value; // the name, the serial number, or "0403:6001"

    static PortTarget named(const QString &name) { return {Kind::Name, name}; }
    static PortTarget bySerialNumber(const QString &serial) { return {Kind::SerialNumber, serial}; }
    static PortTarget byUsbIds(const QString &ids) { return {Kind::UsbIds, ids}; }

    // The name, "serial:SN" or "usb:0403:6001": how the port is called until it is found.
    QString label() const;
};

// The serial ports the system lists. Listing them takes the system several milliseconds (16 ms on
// a small Linux machine): sessions that start together, and a session that tries again every
// quarter second, share one list for up to half a second.
QList<QSerialPortInfo> presentPorts();

// The ports present that an adapter target names, in the order of their names: every port for a
// name target is the name itself.
QStringList matchingPorts(const PortTarget &target, const QList<QSerialPortInfo> &present);

// "0403:6001" from "0403:6001" or "403:6001" in any case; empty when the text is not two hex
// numbers of at most four digits.
QString normalUsbIds(const QString &text);
