#pragma once

#include <QtGlobal>

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, MSB first, no reflection, no final XOR.
// A count of 0 or less gives 0.
quint16 crc16(const quint8 *bytes, int count);
