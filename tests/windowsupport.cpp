#include "windowsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
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

QString statusTip()
{
    return widget<QLabel>("labelStatusBar")->toolTip().replace(QLatin1Char('\n'), QLatin1Char(' '));
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

void clickDownload()
{
    QTest::mouseClick(widget<QPushButton>("pushButtonDownload"), Qt::LeftButton);
}

bool lightIs(const QLabel *light, Qt::GlobalColor colour)
{
    const QImage image = light->pixmap().toImage();
    return !image.isNull() && image.pixelColor(7, 7) == QColor(colour);
}

ReceiveLight::ReceiveLight(WireTrace &trace) : m_trace(trace)
{
    trace.onLine = [this](const QString &line) {
        if (!line.contains(QLatin1String(" rx ")))
            return;
        QMetaObject::invokeMethod(
            &m_scope, [this] { litByFrame.append(lightIs(widget<QLabel>("label_rx"), Qt::green)); },
            Qt::QueuedConnection);
    };
}

ReceiveLight::~ReceiveLight()
{
    m_trace.onLine = nullptr;
}

void ShownWindowCase::beginCase(const QByteArray &imageBytes)
{
    FolderCase::beginCase();
    if (QTest::currentTestFailed())
        return;
    image = writeImage(dir->path(), QStringLiteral("image.vuf"), imageBytes);
    dialog = std::make_unique<vantuUpdate>();
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
}

void ShownWindowCase::endCase()
{
    dialog.reset();
    FolderCase::endCase();
}

} // namespace testing
