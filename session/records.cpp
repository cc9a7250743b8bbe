#include "records.h"

#include "portinfo.h"
#include "updateprotocol.h"

namespace {

std::optional<QString> unlessEmpty(const QString &text)
{
    return text.isEmpty() ? std::nullopt : std::optional<QString>(text);
}

} // namespace

int exitCodeOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Updated:
    case Outcome::Info:
    case Outcome::Skipped:
        return ExitCode::Success;
    case Outcome::WrongHardware:
        return ExitCode::WrongHardware;
    case Outcome::OpenFailed:
        return ExitCode::OpenFailed;
    case Outcome::NoDevice:
        return ExitCode::NoDevice;
    case Outcome::Cancelled:
        return ExitCode::Cancelled;
    case Outcome::Timeout:
        return ExitCode::Timeout;
    case Outcome::PortLost:
    case Outcome::LostAfterEnd:
        return ExitCode::PortLost;
    case Outcome::ImageError:
        return ExitCode::ImageUnusable;
    case Outcome::Interrupted:
        break;
    }
    return ExitCode::Interrupted;
}

JsonLine foundEvent(const QString &port, const DeviceVersions &versions)
{
    JsonLine line;
    line.add("event", QStringLiteral("found"))
        .add("port", port)
        .add("firmware", versions.firmware)
        .add("hardware", versions.hardware);
    return line;
}

JsonLine progressEvent(const QString &port, quint32 offset, qint64 size)
{
    JsonLine line;
    line.add("event", QStringLiteral("progress"))
        .add("port", port)
        .add("offset", qint64(offset))
        .add("size", size)
        .add("percent", qint64(progressValue(offset, size)));
    return line;
}

JsonLine resultEvent(const SessionResult &result)
{
    JsonLine line;
    line.add("event", QStringLiteral("result"))
        .add("port", result.port)
        .add("result", outcomeName(result.outcome))
        .add("exit_code", qint64(exitCodeOf(result.outcome)))
        .add("message", result.message);
    if (result.versions) {
        line.add("firmware", result.versions->firmware).add("hardware", result.versions->hardware);
    } else {
        line.addNull("firmware").addNull("hardware");
    }
    if (result.image) {
        JsonLine image;
        image.add("path", result.image->path)
            .add("size", result.image->size)
            .add("sha256", QString::fromLatin1(result.image->sha256));
        line.add("image", image);
    } else {
        line.addNull("image");
    }
    line.add("started", result.started.toString(Qt::ISODateWithMs))
        .addDecimal("seconds", result.seconds, 3)
        .add("requests", qint64(result.requests))
        .add("repeated_requests", qint64(result.repeatedRequests));
    if (result.adapter) {
        JsonLine adapter;
        adapter.add("serial_number", unlessEmpty(result.adapter->serialNumber))
            .add("vendor_product", unlessEmpty(result.adapter->usbIds))
            .add("description", unlessEmpty(result.adapter->description));
        line.add("adapter", adapter);
    } else {
        line.addNull("adapter");
    }
    return line;
}

JsonLine portEvent(const QSerialPortInfo &port, const QStringList &links)
{
    const AdapterDetails adapter = adapterDetailsOf(port);
    JsonLine line;
    line.add("event", QStringLiteral("port"))
        .add("port", port.portName())
        .add("path", port.systemLocation())
        .add("description", unlessEmpty(adapter.description))
        .add("manufacturer", unlessEmpty(adapter.manufacturer))
        .add("serial_number", unlessEmpty(adapter.serialNumber))
        .add("vendor_product", unlessEmpty(adapter.usbIds))
        .add("by_id", links);
    return line;
}
