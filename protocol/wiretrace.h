#pragma once

#include "framecodec.h"

#include <QLoggingCategory>
#include <QString>

// Every frame sent and received, for chasing a problem on a real line. Off unless asked for:
// QT_LOGGING_RULES="vantu.wire.debug=true". One line per frame, "hh:mm:ss.zzz tx PING 50 00 ..."
// or "... rx RSP_PRESENT 7e 5e ...", named by the frame's code from the protocol's one table; a
// code without a name shows in hex. The window and the console program print the same lines; a
// program that talks on several ports at once names the port after the time ("hh:mm:ss.zzz
// ttyUSB0 tx PING ..."), the window leaves the label empty.
Q_DECLARE_LOGGING_CATEGORY(lcWire)

// A sent payload: its command is byte 1. Costs nothing while the trace is off.
void traceSent(const FramePayload &payload, const QString &port = QString());

// A received device frame, as cut by the parser: its response is byte 3.
void traceReceived(const DeviceFrame &frame, const QString &port = QString());
