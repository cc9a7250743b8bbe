#include "updateform.h"

#include "fittedlabel.h"
#include "portbox.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>

namespace {

template <typename Widget>
Widget *makeWidget(QDialog *dialog, const char *name, int x, int y, int width, int height)
{
    auto *widget = new Widget(dialog);
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(x, y, width, height);
    return widget;
}

QString translated(const char *text)
{
    return QCoreApplication::translate("vantuUpdate", text, nullptr);
}

} // namespace

void UpdateForm::setupForm(QDialog *dialog)
{
    if (dialog->objectName().isEmpty())
        dialog->setObjectName(QStringLiteral("vantuUpdate"));
    dialog->resize(296, 170);

    progressBarDownload = makeWidget<QProgressBar>(dialog, "progressBarDownload", 30, 70, 251, 23);
    progressBarDownload->setValue(100);
    labelStatusBar = makeWidget<FittedLabel>(dialog, "labelStatusBar", 20, 150, 261, 16);
    pushButtonOK = makeWidget<QPushButton>(dialog, "pushButtonOK", 20, 110, 81, 31);
    pushButtonCancel = makeWidget<QPushButton>(dialog, "pushButtonCancel", 200, 110, 81, 31);
    pushButtonDownload = makeWidget<QPushButton>(dialog, "pushButtonDownload", 110, 110, 81, 31);
    comboBoxPort = makeWidget<PortBox>(dialog, "comboBoxPort", 150, 20, 101, 22);
    // Editable, so that a port the list does not show (a by-id path, a port plugged in after
    // start) can be typed in.
    comboBoxPort->setEditable(true);
    label = makeWidget<FittedLabel>(dialog, "label", 30, 30, 54, 12);
    label_tx = makeWidget<QLabel>(dialog, "label_tx", 90, 30, 21, 16);
    label_tx->setMargin(1);
    label_rx = makeWidget<QLabel>(dialog, "label_rx", 120, 30, 21, 16);
    label_rx->setMargin(1);

    retranslateForm(dialog);
    QMetaObject::connectSlotsByName(dialog);
}

void UpdateForm::retranslateForm(QDialog *dialog)
{
    dialog->setWindowTitle(translated("vantuUpdate"));
    labelStatusBar->setText(translated("TextLabel"));
    pushButtonOK->setText(translated("File"));
    pushButtonCancel->setText(translated("End"));
    pushButtonDownload->setText(translated("Download"));
    label->setText(translated("D.Lane @"));
    label_tx->setText(translated("132"));
    label_rx->setText(translated("TextLabel"));
}
