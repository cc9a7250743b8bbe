#pragma once

// Helpers for the suites that drive the update window: finding its widgets, reading its status
// line, choosing an image through its File dialog.
#include "testsupport.h"
#include "vantuupdate.h"

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

// Answers the next open-file dialog that comes up: with path, or cancels it when path is empty.
// answered becomes true then. Call it before whatever opens the dialog; the timer it returns waits
// for the dialog until it answers or is deleted.
QTimer *answerFileDialog(const QString &path, bool *answered = nullptr);

// Clicks File and answers the open-file dialog that comes up: with path, or cancels it when path
// is empty.
void chooseFile(vantuUpdate &dialog, const QString &path);

// Types portPath into the port box and chooses imagePath with File: the procedure starts.
void startProcedure(vantuUpdate &dialog, const QString &portPath, const QString &imagePath);

// Starts the procedure against the scripted device and answers the probe and the version query
// (hardware V05.07, firmware V01.00) until the window is Ready. Fails the current test otherwise.
void reachReady(vantuUpdate &dialog, ScriptedDevice &device, const QString &imagePath);

// True when the light shows the given colour.
bool lightIs(const QLabel *light, Qt::GlobalColor colour);

} // namespace testing
