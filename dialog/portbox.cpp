#include "portbox.h"

#include "adapterinfo.h"

#include <QSignalBlocker>

PortBox::PortBox(QWidget *parent) : QComboBox(parent) {}

void PortBox::setPorts(const QList<QSerialPortInfo> &ports)
{
    const auto fill = [this, &ports] {
        for (const QSerialPortInfo &port : ports) {
            addItem(port.portName());
            setItemData(count() - 1, describeAdapter(port), Qt::ToolTipRole);
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
