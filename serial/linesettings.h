#pragma once

#include <QSerialPort>
#include <QString>

// The line every device of this family speaks: 57600 baud, 8 data bits, no parity, 1 stop bit, no
// flow control. Everything that opens a line (the window, the console program, the simulated
// device, the bench hosts) takes its settings from here.
constexpr qint32 LineBaudRate = 57600;

// Sets the line's speed and framing on a port, open or not.
void applyLineSettings(QSerialPort &port);

// The port name a user types or picks, as QSerialPort opens it. On Windows through the device
// namespace, so that COM10 and above open too (a name typed with the prefix keeps it); elsewhere a
// short name resolves under /dev and a path is used as it is.
QString devicePath(const QString &portName);

#ifdef Q_OS_UNIX
// Puts a terminal descriptor (a pseudo-terminal's either end, a serial device opened directly)
// into raw mode at the line's speed: no echo, no signals, no translation of any byte, reads that
// return as soon as one byte is there. False when the descriptor is not a terminal.
bool setRawLine(int fd);
#endif
