#pragma once

#include "jsonline.h"
#include "sessionresult.h"

#include <QSerialPortInfo>

// The program's exit codes: stable, and documented in --help, the manual page and the README.
namespace ExitCode {
constexpr int Success = 0;
constexpr int Usage = 1;
constexpr int ImageUnusable = 2;
constexpr int OpenFailed = 3;
constexpr int NoDevice = 4;
constexpr int Cancelled = 5;
constexpr int Timeout = 6;
constexpr int PortLost = 7;
constexpr int RecordNotWritten = 8;
constexpr int WrongHardware = 9;
constexpr int HangUp = 129;
constexpr int Interrupted = 130;
} // namespace ExitCode

int exitCodeOf(Outcome outcome);
// A result that did not leave the board as it should be: any with an exit code other than 0.
inline bool isFailure(Outcome outcome)
{
    return exitCodeOf(outcome) != ExitCode::Success;
}
// A failure that updating the same board again can mend: a lost line, a cancel, silence. A guard's
// refusal (the wrong hardware), an image that cannot be used or an interruption are not.
inline bool retryCanMend(Outcome outcome)
{
    switch (outcome) {
    case Outcome::PortLost:
    case Outcome::LostAfterEnd:
    case Outcome::Cancelled:
    case Outcome::Timeout:
    case Outcome::NoDevice:
        return true;
    default:
        return false;
    }
}

// The JSON Lines events: {"event":"found",...}, {"event":"progress",...}, {"event":"result",...},
// and with --list {"event":"port",...}.
JsonLine foundEvent(const QString &port, const DeviceVersions &versions);
JsonLine progressEvent(const QString &port, quint32 offset, qint64 size);
JsonLine resultEvent(const SessionResult &result);
JsonLine portEvent(const QSerialPortInfo &port, const QStringList &links);
