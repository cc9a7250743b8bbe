#include "sessionresult.h"

QString outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Updated:
        return QStringLiteral("updated");
    case Outcome::Info:
        return QStringLiteral("info");
    case Outcome::OpenFailed:
        return QStringLiteral("open-failed");
    case Outcome::NoDevice:
        return QStringLiteral("no-device");
    case Outcome::Cancelled:
        return QStringLiteral("cancelled");
    case Outcome::Timeout:
        return QStringLiteral("timeout");
    case Outcome::PortLost:
        return QStringLiteral("port-lost");
    case Outcome::ImageError:
        return QStringLiteral("image-error");
    case Outcome::WrongHardware:
        return QStringLiteral("wrong-hardware");
    case Outcome::Skipped:
        return QStringLiteral("skipped");
    case Outcome::LostAfterEnd:
        return QStringLiteral("lost-after-end");
    case Outcome::Interrupted:
        break;
    }
    return QStringLiteral("interrupted");
}
