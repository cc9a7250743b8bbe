#pragma once

// Helpers for the suites that drive the update window: finding its widgets, reading its status
// line, choosing an image through its File dialog.
#include "filedialoganswer.h"
#include "testsupport.h"
#include "vantuupdate.h"

#include <memory>

class QLabel;
class QTimer;

namespace testing {

// The one update window the test has open.
vantuUpdate &window();

// The window's widget of that type and object name, or nullptr.
template <typename T> T *widget(const char *name)
{
    return window().findChild<T *>(QLatin1String(name));
}

// The text of the window's status line.
QString status();

// Clicks File and answers the open-file dialog that comes up: with path, or cancels it when path
// is empty.
void chooseFile(vantuUpdate &dialog, const QString &path);

// Types portPath into the port box and chooses imagePath with File: the procedure starts.
void startProcedure(vantuUpdate &dialog, const QString &portPath, const QString &imagePath);

// Starts the procedure against the scripted device and answers the probe and the version query
// (DeviceVersion) until the window is Ready. Fails the current test otherwise.
void reachReady(vantuUpdate &dialog, ScriptedDevice &device, const QString &imagePath);

// A scripted device on its pseudo-terminal, and the window shown on the screen. Fails the current
// test otherwise.
void openWindowAndDevice(std::unique_ptr<vantuUpdate> &dialog,
                         std::unique_ptr<ScriptedDevice> &device);

// True when the light shows the given colour.
bool lightIs(const QLabel *light, Qt::GlobalColor colour);

} // namespace testing
