#pragma once

class FittedLabel;
class PortBox;
class QDialog;
class QLabel;
class QProgressBar;
class QPushButton;

// The widgets of the update window, built by hand with fixed geometry. The widgets are children of
// the dialog given to setupForm; this object only holds pointers to them.
class UpdateForm
{
public:
    QProgressBar *progressBarDownload = nullptr;
    FittedLabel *labelStatusBar = nullptr;
    QPushButton *pushButtonOK = nullptr;
    QPushButton *pushButtonCancel = nullptr;
    QPushButton *pushButtonDownload = nullptr;
    PortBox *comboBoxPort = nullptr;
    FittedLabel *label = nullptr;
    QLabel *label_tx = nullptr;
    QLabel *label_rx = nullptr;

    void setupForm(QDialog *dialog);
    void retranslateForm(QDialog *dialog);
};
