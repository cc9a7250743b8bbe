#pragma once

// Helpers for the suites that drive the update window, on every system: finding its widgets,
// reading its status line and lights, choosing an image through its File dialog. The window with
// a device played on a pseudo-terminal is in windowcase.h.
#include "filedialoganswer.h"
#include "testsupport.h"
#include "vantuupdate.h"

#include <QObject>

#include <memory>

class QLabel;

namespace testing {

// What the status line says at the steps of an update with the device the tests play.
inline const QString VersionText = QStringLiteral("Firm V01.00, hardware V05.07, click Download");
inline const QString InProgress = QStringLiteral("Please wait, in progressing...");
inline const QString Updated = QStringLiteral("Firmware is updated");
inline const QString Cancelled = QStringLiteral("Device canncelled, please retry");
inline const QString TimedOut = QStringLiteral("device time out, re-start this program");

// The one update window the test has open.
vantuUpdate &window();

// The window's widget of that type and object name, or nullptr.
template <typename T> T *widget(const char *name)
{
    return window().findChild<T *>(QLatin1String(name));
}

// The text of the window's status line.
QString status();
// The status line's tooltip with its explanations joined back into long lines.
QString statusTip();

// Clicks File and answers the open-file dialog that comes up: with path, or cancels it when path
// is empty.
void chooseFile(vantuUpdate &dialog, const QString &path);

// Types portPath into the port box and chooses imagePath with File: the procedure starts.
void startProcedure(vantuUpdate &dialog, const QString &portPath, const QString &imagePath);

// Clicks Download.
void clickDownload();

// True when the light shows the given colour.
bool lightIs(const QLabel *light, Qt::GlobalColor colour);

// The receive light as the tool leaves it for each frame it reads (true: green), taken from the
// trace. It is looked at from an event posted inside the tool's own call, which runs once that
// call has returned and before any timer, the one that ends the light's blink among them: a
// blink is seen however late a loaded machine lets the test look. The trace must be enabled.
class ReceiveLight
{
public:
    explicit ReceiveLight(WireTrace &trace);
    ~ReceiveLight(); // the trace stops calling it
    QList<bool> litByFrame;

private:
    WireTrace &m_trace;
    QObject m_scope; // what is posted goes with the watch
};

// The set-up of a suite that drives the window without a device: for each test function a fresh
// folder with an image in it, and the window shown on the screen.
class ShownWindowCase : public FolderCase
{
protected:
    void beginCase(const QByteArray &imageBytes = QByteArray(64, 'x'));
    void endCase();

    std::unique_ptr<vantuUpdate> dialog;
    QString image; // image.vuf, of the bytes given to beginCase()
};

} // namespace testing
