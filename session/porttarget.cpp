#include "porttarget.h"

#include "portinfo.h"

#include <QElapsedTimer>

#include <algorithm>
#include <chrono>

namespace {

constexpr std::chrono::milliseconds PresentPortsMaxAge{500};

} // namespace

QList<QSerialPortInfo> presentPorts()
{
    static QList<QSerialPortInfo> ports;
    static QElapsedTimer age;
    if (!age.isValid() || age.elapsed() >= PresentPortsMaxAge.count()) {
        ports = QSerialPortInfo::availablePorts();
        age.start();
    }
    return ports;
}

QString PortTarget::label() const
{
    switch (kind) {
    case Kind::SerialNumber:
        return QStringLiteral("serial:") + value;
    case Kind::UsbIds:
        return QStringLiteral("usb:") + value;
    case Kind::Name:
        break;
    }
    return value;
}

QStringList matchingPorts(const PortTarget &target, const QList<QSerialPortInfo> &present)
{
    if (target.kind == PortTarget::Kind::Name)
        return {target.value};
    QStringList names;
    for (const QSerialPortInfo &info : present) {
        const bool matches =
            target.kind == PortTarget::Kind::SerialNumber
                ? !info.serialNumber().isEmpty() && info.serialNumber() == target.value
                : usbIds(info) == target.value;
        if (matches)
            names.append(info.portName());
    }
    std::sort(names.begin(), names.end());
    return names;
}

QString normalUsbIds(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 2)
        return {};
    QStringList ids;
    for (const QString &part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok, 16);
        if (!ok || part.isEmpty() || part.size() > 4 || part.startsWith(QLatin1Char('+')))
            return {};
        ids.append(QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0')));
    }
    return ids.join(QLatin1Char(':'));
}
