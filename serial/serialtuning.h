#pragma once

class QSerialPort;

// Asks the serial driver to pass received bytes on at once. USB adapters otherwise hold a short
// reply until their latency timer runs out (16 ms by default on common chips), and with four
// image bytes per round trip that, not the line, would set the pace of an update. On Linux this
// is ASYNC_LOW_LATENCY through TIOCSSERIAL. Ports without the setting, such as a
// pseudo-terminal, and other platforms are left as they are: the result is false and nothing
// else changes.
bool requestLowLatency(QSerialPort &port);
