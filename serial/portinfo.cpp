#include "portinfo.h"

#include <QDir>
#include <QFileInfo>

QString portNodePath(const QString &portName)
{
#ifdef Q_OS_UNIX
    if (!portName.isEmpty() && !portName.startsWith(QLatin1Char('/')))
        return QStringLiteral("/dev/") + portName;
#endif
    return portName;
}

QString resolvedPortNode(const QString &portName)
{
#ifdef Q_OS_UNIX
    const QString node = portNodePath(portName);
    const QString real = QFileInfo(node).canonicalFilePath();
    return real.isEmpty() ? node : real;
#else
    return portName;
#endif
}

AdapterDetails adapterDetailsOf(const QSerialPortInfo &port)
{
    return {port.serialNumber(), usbIds(port), port.description(), port.manufacturer()};
}

std::optional<AdapterDetails> adapterOf(const QString &portName,
                                        const QList<QSerialPortInfo> &present)
{
    const QString node = portNodePath(portName);
    const QString real = QFileInfo(node).canonicalFilePath();
    for (const QSerialPortInfo &info : present) {
        const bool same = info.portName() == portName || info.systemLocation() == node ||
                          (!real.isEmpty() && info.systemLocation() == real);
        if (!same)
            continue;
        const AdapterDetails adapter = adapterDetailsOf(info);
        if (adapter.isEmpty())
            return std::nullopt;
        return adapter;
    }
    return std::nullopt;
}

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
    const AdapterDetails adapter = adapterDetailsOf(port);
    add(QStringLiteral("Description"), adapter.description);
    add(QStringLiteral("Manufacturer"), adapter.manufacturer);
    add(QStringLiteral("Serial number"), adapter.serialNumber);
    add(QStringLiteral("USB vendor:product"), adapter.usbIds);
    add(QStringLiteral("Location"), port.systemLocation());
    return lines.join(QLatin1Char('\n'));
}

QString presentPortNames(const QList<QSerialPortInfo> &ports)
{
    QStringList names;
    for (const QSerialPortInfo &info : ports)
        names.append(info.portName());
    return names.join(QStringLiteral(", "));
}

QString describedPortNames(const QList<QSerialPortInfo> &ports)
{
    QStringList names;
    for (const QSerialPortInfo &info : ports) {
        names.append(info.description().isEmpty()
                         ? info.portName()
                         : QStringLiteral("%1 (%2)").arg(info.portName(), info.description()));
    }
    return names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "));
}

QStringList stableLinksOf(const QSerialPortInfo &port)
{
    QStringList links;
#ifdef Q_OS_LINUX
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    const QString target = QFileInfo(port.systemLocation()).canonicalFilePath();
    const QStringList entries = byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (!target.isEmpty() && QFileInfo(byId.filePath(entry)).canonicalFilePath() == target)
            links.append(byId.filePath(entry));
    }
#else
    Q_UNUSED(port)
#endif
    return links;
}
