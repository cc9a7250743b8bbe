#include "windowsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace testing {

vantuUpdate &window()
{
    QList<vantuUpdate *> open;
    for (QWidget *candidate : QApplication::topLevelWidgets()) {
        if (auto *update = qobject_cast<vantuUpdate *>(candidate))
            open.append(update);
    }
    if (open.size() != 1)
        qFatal("the test has %d update windows, not one", int(open.size()));
    return *open.first();
}

QString status()
{
    return widget<QLabel>("labelStatusBar")->text();
}

QTimer *answerFileDialog(const QString &path, bool *answered)
{
    // The static file dialog runs its own event loop: answer it from a timer once it is up. The
    // timer keeps running until then, so that a message box the file dialog might raise fails the
    // test instead of hanging it.
    auto *poll = new QTimer(QCoreApplication::instance());
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, path, answered] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            qFatal("the file dialog refused the file: %s", qPrintable(box->text()));
        auto *fileDialog = qobject_cast<QFileDialog *>(modal);
        if (!fileDialog)
            return;
        poll->stop();
        poll->deleteLater();
        if (answered)
            *answered = true;
        if (path.isEmpty()) {
            fileDialog->reject();
            return;
        }
        auto *nameEdit = fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!nameEdit)
            qFatal("the file dialog has no name field");
        nameEdit->setText(path);
        static_cast<QDialog *>(fileDialog)->accept(); // QFileDialog::accept is protected
    });
    poll->start();
    return poll;
}

void chooseFile(vantuUpdate &dialog, const QString &path)
{
    // No dialog comes when File is disabled: then nothing waits for one.
    const QPointer<QTimer> poll = answerFileDialog(path);
    auto *file = dialog.findChild<QPushButton *>(QStringLiteral("pushButtonOK"));
    QTest::mouseClick(file, Qt::LeftButton);
    delete poll.data();
}

void startProcedure(vantuUpdate &dialog, const QString &portPath, const QString &imagePath)
{
    dialog.findChild<QComboBox *>(QStringLiteral("comboBoxPort"))->setEditText(portPath);
    chooseFile(dialog, imagePath);
}

void reachReady(vantuUpdate &dialog, ScriptedDevice &device, const QString &imagePath)
{
    startProcedure(dialog, device.path(), imagePath);
    QVERIFY(device.waitForFrames(1));
    device.send(RSP_PRESENT);
    QVERIFY(device.waitForFrames(2));
    device.send(RSP_VERSION, 0x01000507);
    QTRY_COMPARE(dialog.updateState(), UpdateState::Ready);
}

bool lightIs(const QLabel *light, Qt::GlobalColor colour)
{
    const QImage image = light->pixmap().toImage();
    return !image.isNull() && image.pixelColor(7, 7) == QColor(colour);
}

} // namespace testing
