#pragma once

#include <QSerialPortInfo>
#include <QString>

// What tells one serial adapter from another: "Description: ...", "Manufacturer: ...",
// "Serial number: ...", "USB vendor:product: 0403:6001", "Location: /dev/ttyUSB0", one per line,
// each only where the port has it.
QString describeAdapter(const QSerialPortInfo &port);

// "0403:6001" for a USB port, empty for a port without USB identifiers.
QString usbIds(const QSerialPortInfo &port);
