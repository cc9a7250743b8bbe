#pragma once

#include <QComboBox>
#include <QList>
#include <QSerialPortInfo>

// The port box: an editable list of the serial ports present. A path the list does not show (a
// /dev/serial/by-id link, a pseudo-terminal) can be typed in. Its tooltip shows the whole text.
class PortBox : public QComboBox
{
    Q_OBJECT

public:
    explicit PortBox(QWidget *parent = nullptr);

    // Shows these ports, each with a tooltip that tells adapters apart (describeAdapter). The text
    // the user chose or typed stays as it is, and no change of it is signalled; only an empty box
    // takes the first port as its text.
    void setPorts(const QList<QSerialPortInfo> &ports);

    // Opening the list asks for the ports present now (see aboutToShowList).
    void showPopup() override;

private:
    void updateToolTip();

signals:
    // The list is about to open: the owner may read the ports again and call setPorts().
    void aboutToShowList();
};
