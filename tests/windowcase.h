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

// The set-up of the suites that drive the window through an update: the shown window and its
// image (ShownWindowCase), and a scripted device on its pseudo-terminal.
class WindowCase : public ShownWindowCase
{
protected:
    void beginCase(const QByteArray &imageBytes = QByteArray(64, 'x'));
    void endCase();

    std::unique_ptr<ScriptedDevice> device;
};

} // namespace testing
