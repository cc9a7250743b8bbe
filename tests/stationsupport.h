#pragma once

// The station window in the suites, on every system: the set-up each test function gets (a
// folder, an image, a log, the supervisor's settings of its own), a window with a slot per target,
// answers to its modal dialogs and the screens the runner gives (the records read back are
// testsupport's logRecords).
#include "porttarget.h"
#include "stationwindow.h"

#include <QList>
#include <QScreen>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace testing {

// Answers the next modal dialog with answer(dialog), for as long as the current test function
// runs.
void answerModal(std::function<void(QWidget *)> answer);
// Answers the next password dialogs, one after the other, with the passwords in turn: each answer
// waits for a dialog that comes after the one before it.
// asked, when given, counts the password dialogs answered.
void answerPasswords(QStringList passwords, int *asked = nullptr);
void answerPassword(const QString &password, int *asked = nullptr);
// Clicks the button of that text in the next message box.
void clickButton(const QString &text);

// The screens the runners give the test, as "WIDTHxHEIGHT" (VANTU_SCREENS): the offscreen platform
// through the configuration runStationSuite() writes, Xvfb through tests/under-xvfb.sh.
QStringList expectedScreens();
QScreen *screenOfSize(const QString &size);
// Lays out every widget whose layout has a request pending.
void settleLayouts();

// The set-up of the station's suites. A suite calls initCase() from initTestCase(), beginCase()
// from init() and endCase() from cleanup().
class StationCase
{
protected:
    void initCase();
    void beginCase();
    void endCase();

    // A window with one slot per port, the image, the log in the temporary folder.
    void openWindow(const QStringList &ports);
    void openWindow(const QList<PortTarget> &targets, const QStringList &hardware = {});

    QTemporaryDir m_dir;
    QString m_image;
    QString m_log;
    std::unique_ptr<StationWindow> m_window;
};

// A station suite's main(): the offscreen platform gets the three screens the fixture PCs have,
// side by side, through its configuration file (under Xvfb the runner gives them).
int runStationSuite(QObject &test, int argc, char *argv[]);

} // namespace testing
