#include "portbox.h"

#include "portinfo.h"

#include <QSignalBlocker>

PortBox::PortBox(QWidget *parent) : QComboBox(parent)
{
    connect(this, &QComboBox::currentTextChanged, this, &PortBox::updateToolTip);
}

void PortBox::updateToolTip()
{
    // The box is narrower than a /dev/serial/by-id name: the tooltip shows the whole text, and
    // for a listed port what it is.
    const QString text = currentText();
    const int index = findText(text);
    const QString adapter = index < 0 ? QString() : itemData(index, Qt::ToolTipRole).toString();
    setToolTip(adapter.isEmpty() ? text : text + QStringLiteral("\n\n") + adapter);
}

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
        updateToolTip();
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
    updateToolTip();
}

void PortBox::showPopup()
{
    emit aboutToShowList();
    QComboBox::showPopup();
}
