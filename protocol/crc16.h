#pragma once

#include <QtGlobal>

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, MSB first, no reflection, no final XOR.
// A count of 0 or less gives 0.
quint16 crc16(const quint8 *bytes, int count);

// The check byte of a host payload: the low byte of crc16 over payload bytes 0..6.
quint8 checkByte(const quint8 *payload);
