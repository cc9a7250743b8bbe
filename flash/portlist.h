#pragma once

#include <QList>
#include <QSerialPortInfo>

// --list: the serial ports present with their adapters' details, as text or as JSON Lines.
void printPortList(const QList<QSerialPortInfo> &ports, bool json);
