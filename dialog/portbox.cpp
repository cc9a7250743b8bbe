#include "portbox.h"

#include <QSignalBlocker>
#include <QStringList>

PortBox::PortBox(QWidget *parent) : QComboBox(parent) {}

QString PortBox::describe(const QSerialPortInfo &port)
{
    QStringList lines;
    const auto add = [&lines](const QString &label, const QString &value) {
        if (!value.isEmpty())
            lines.append(label + QStringLiteral(": ") + value);
    };
    add(QStringLiteral("Description"), port.description());
    add(QStringLiteral("Manufacturer"), port.manufacturer());
    add(QStringLiteral("Serial number"), port.serialNumber());
    if (port.hasVendorIdentifier() && port.hasProductIdentifier()) {
        add(QStringLiteral("USB vendor:product"),
            QStringLiteral("%1:%2")
                .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                .arg(port.productIdentifier(), 4, 16, QLatin1Char('0')));
    }
    add(QStringLiteral("Location"), port.systemLocation());
    return lines.join(QLatin1Char('\n'));
}

void PortBox::setPorts(const QList<QSerialPortInfo> &ports)
{
    const auto fill = [this, &ports] {
        for (const QSerialPortInfo &port : ports) {
            addItem(port.portName());
            setItemData(count() - 1, describe(port), Qt::ToolTipRole);
        }
    };
    if (count() == 0 && currentText().isEmpty()) {
        fill();
        return;
    }
    const QString text = currentText();
    const QSignalBlocker quiet(this);
    clear();
    fill();
    const int index = findText(text);
    setCurrentIndex(index);
    if (index < 0)
        setEditText(text);
}

void PortBox::showPopup()
{
    emit aboutToShowList();
    QComboBox::showPopup();
}
