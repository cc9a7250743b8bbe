#include "filedialoganswer.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

namespace testing {

QTimer *answerModal(QObject *owner, std::function<bool(QWidget *)> answer)
{
    auto *poll = new QTimer(owner);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer = std::move(answer)] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !answer(modal))
            return;
        poll->stop();
        poll->deleteLater();
    });
    poll->start();
    return poll;
}

QTimer *answerFileDialog(const QString &path, bool *answered)
{
    // The poll goes on until the file dialog is up, so that a message box the file dialog might
    // raise fails the test instead of hanging it.
    return answerModal(QCoreApplication::instance(), [path, answered](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            qFatal("the file dialog refused the file: %s", qPrintable(box->text()));
        auto *fileDialog = qobject_cast<QFileDialog *>(modal);
        if (!fileDialog)
            return false;
        if (answered)
            *answered = true;
        if (path.isEmpty()) {
            fileDialog->reject();
            return true;
        }
        auto *nameEdit = fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!nameEdit)
            qFatal("the file dialog has no name field");
        nameEdit->setText(path);
        static_cast<QDialog *>(fileDialog)->accept(); // QFileDialog::accept is protected
        return true;
    });
}

} // namespace testing
