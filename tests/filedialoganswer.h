#pragma once

// The answer to the tool's file dialog, for the suites that drive the window and for the fuzz
// target that does (fuzz/fuzz_receive.cpp): widgets only, no Qt Test.
#include <QString>

class QTimer;

namespace testing {

// Answers the next open-file dialog that comes up: with path, or cancels it when path is empty.
// answered becomes true then. Call it before whatever opens the dialog; the timer it returns waits
// for the dialog until it answers or is deleted. A message box in the dialog's place ends the
// process.
QTimer *answerFileDialog(const QString &path, bool *answered = nullptr);

} // namespace testing
