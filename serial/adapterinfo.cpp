#include "adapterinfo.h"

#include <QStringList>

QString usbIds(const QSerialPortInfo &port)
{
    if (!port.hasVendorIdentifier() || !port.hasProductIdentifier())
        return {};
    return QStringLiteral("%1:%2")
        .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
        .arg(port.productIdentifier(), 4, 16, QLatin1Char('0'));
}

QString describeAdapter(const QSerialPortInfo &port)
{
    QStringList lines;
    const auto add = [&lines](const QString &label, const QString &value) {
        if (!value.isEmpty())
            lines.append(label + QStringLiteral(": ") + value);
    };
    add(QStringLiteral("Description"), port.description());
    add(QStringLiteral("Manufacturer"), port.manufacturer());
    add(QStringLiteral("Serial number"), port.serialNumber());
    add(QStringLiteral("USB vendor:product"), usbIds(port));
    add(QStringLiteral("Location"), port.systemLocation());
    return lines.join(QLatin1Char('\n'));
}
