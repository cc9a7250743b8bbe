#include "portlist.h"

#include "portinfo.h"
#include "records.h"
#include "textreport.h"

#include <algorithm>

void printPortList(const QList<QSerialPortInfo> &ports, bool json)
{
    QList<QSerialPortInfo> sorted = ports;
    std::sort(sorted.begin(), sorted.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
        return a.portName() < b.portName();
    });
    if (!json && sorted.isEmpty()) {
        printLine(stdout, QStringLiteral("No serial ports present."));
        return;
    }
    for (const QSerialPortInfo &port : std::as_const(sorted)) {
        const QStringList links = stableLinksOf(port);
        if (json) {
            printLine(stdout, QString::fromUtf8(portEvent(port, links).text()));
            continue;
        }
        // The window's adapter description, one detail a line under the port's name.
        printLine(stdout, port.portName());
        QStringList details = describeAdapter(port).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &link : links)
            details.append(QStringLiteral("Link: ") + link);
        for (const QString &detail : std::as_const(details))
            printLine(stdout, QStringLiteral("    ") + detail);
    }
}
