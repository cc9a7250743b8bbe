#pragma once

// The answer to the tool's file dialog, for the suites that drive the window and for the fuzz
// target that does (fuzz/fuzz_receive.cpp): widgets only, no Qt Test.
#include <QString>

#include <functional>

class QObject;
class QTimer;
class QWidget;

namespace testing {

// Polls for a modal dialog every 10 ms and hands each one up to answer(), until answer() says it
// has answered (true): a dialog's own event loop cannot be driven from the test otherwise. The
// timer it returns is owner's child: deleting owner ends a poll that is still waiting.
QTimer *answerModal(QObject *owner, std::function<bool(QWidget *)> answer);

// Answers the next open-file dialog that comes up: with path, or cancels it when path is empty.
// answered becomes true then. Call it before whatever opens the dialog; the timer it returns waits
// for the dialog until it answers or is deleted. A message box in the dialog's place ends the
// process.
QTimer *answerFileDialog(const QString &path, bool *answered = nullptr);

} // namespace testing
