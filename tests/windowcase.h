#pragma once

// The update window with a device played step by step on a pseudo-terminal: the set-up of the
// suites that drive the window through an update, and the steps they share.
#include "linesupport.h"
#include "windowsupport.h"

#include <memory>

namespace testing {

// Starts the procedure against the scripted device and answers the probe and the version query
// (DeviceVersion) until the window is Ready. Fails the current test otherwise.
void reachReady(vantuUpdate &dialog, ScriptedDevice &device, const QString &imagePath);
// Ready as above, then Download, until the device has the START. Fails the current test otherwise.
void startDownload(vantuUpdate &dialog, ScriptedDevice &device, const QString &imagePath);

// The set-up of the suites that drive the window: for each test function a fresh folder with an
// image in it, a scripted device on its pseudo-terminal, and the window shown on the screen.
class WindowCase : public FolderCase
{
protected:
    void beginCase(const QByteArray &imageBytes = QByteArray(64, 'x'));
    void endCase();

    std::unique_ptr<vantuUpdate> dialog;
    std::unique_ptr<ScriptedDevice> device;
    QString image; // image.vuf, of the bytes given to beginCase()
};

} // namespace testing
