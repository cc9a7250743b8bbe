#include "windowcase.h"

#include <QTest>

namespace testing {

void reachReady(vantuUpdate &dialog, ScriptedDevice &device, const QString &imagePath)
{
    startProcedure(dialog, device.path(), imagePath);
    QVERIFY(device.answerHandshake());
    QTRY_COMPARE(dialog.updateState(), UpdateState::Ready);
}

void startDownload(vantuUpdate &dialog, ScriptedDevice &device, const QString &imagePath)
{
    reachReady(dialog, device, imagePath);
    if (QTest::currentTestFailed())
        return;
    clickDownload();
    QVERIFY(device.waitForCommand(CMD_START));
    QCOMPARE(device.frames.last()[1], CMD_START);
}

void WindowCase::beginCase(const QByteArray &imageBytes)
{
    device = std::make_unique<ScriptedDevice>();
    QVERIFY2(device->open(), qPrintable(device->terminal().errorString()));
    ShownWindowCase::beginCase(imageBytes);
}

void WindowCase::endCase()
{
    dialog.reset(); // before its device
    device.reset();
    ShownWindowCase::endCase();
}

} // namespace testing
