#include "filedialoganswer.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

namespace testing {

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

} // namespace testing
