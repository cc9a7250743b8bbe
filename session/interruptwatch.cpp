#include "interruptwatch.h"

#include <QMetaObject>
#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

InterruptWatch *watch = nullptr;

#ifdef Q_OS_UNIX
int signalPipe[2] = {-1, -1};

void onSignal(int signalNumber)
{
    // Only what is safe in a signal handler: one byte, the signal, into the pipe the event loop
    // watches.
    const char byte = char(signalNumber);
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
}
#endif

#ifdef Q_OS_WIN
HANDLE releasedEvent = nullptr;
constexpr DWORD CloseGraceMs = 4000;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    // Called on a thread of its own: the event loop is asked to act, and this thread returns.
    // Log-off and shutdown come here only to a program that has not loaded user32 (see
    // onSessionMessage); they are taken as a closed console all the same.
    const bool hangUp =
        event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    QMetaObject::invokeMethod(watch, "deliver", Qt::QueuedConnection,
                              Q_ARG(int, hangUp ? InterruptWatch::HangUp : 0));
    // A closing console ends the process when this returns: wait for the records first.
    if (hangUp)
        WaitForSingleObject(releasedEvent, CloseGraceMs);
    return TRUE;
}

// A console program that loads user32, as Qt's event loop does, is sent no console event when the
// user logs off or Windows shuts down: its top-level windows are asked instead, and the process
// ends once they have answered. This window is never shown; it has the records written, on the
// event loop's own thread, before it answers.
LRESULT CALLBACK onSessionMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_QUERYENDSESSION)
        return TRUE;
    if (message == WM_ENDSESSION) {
        if (wParam && watch)
            QMetaObject::invokeMethod(watch, "deliver", Qt::DirectConnection,
                                      Q_ARG(int, InterruptWatch::HangUp));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void watchSessionEnd()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = onSessionMessage;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"vantuSessionEnd";
    if (RegisterClassW(&windowClass))
        CreateWindowExW(0, windowClass.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                        nullptr, windowClass.hInstance, nullptr);
}
#endif

} // namespace

InterruptWatch::InterruptWatch(QObject *parent) : QObject(parent)
{
    watch = this;
}

InterruptWatch::~InterruptWatch()
{
    watch = nullptr;
}

bool InterruptWatch::catchSignals()
{
#ifdef Q_OS_UNIX
    if (signalPipe[0] >= 0)
        return true;
    if (::pipe(signalPipe) != 0)
        return false;
    for (const int fd : signalPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A reader that goes away (a pipe into head) must not end the run before its ports are
    // closed: writes to it fail instead.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    static_assert(SIGHUP == InterruptWatch::HangUp);
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0 &&
           ::sigaction(SIGHUP, &action, nullptr) == 0 &&
           ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
#else
    return true;
#endif
}

bool InterruptWatch::install()
{
#ifdef Q_OS_UNIX
    if (!catchSignals())
        return false;
    // Level-triggered: a signal caught before the event loop ran is delivered on its first pass.
    auto *notifier = new QSocketNotifier(qintptr(signalPipe[0]), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char drain[16];
        ssize_t got = 0;
        int first = 0;
        while ((got = ::read(signalPipe[0], drain, sizeof drain)) > 0) {
            if (first == 0)
                first = drain[0];
        }
        deliver(first);
    });
    return true;
#elif defined(Q_OS_WIN)
    releasedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!releasedEvent || !SetConsoleCtrlHandler(onConsoleEvent, TRUE))
        return false;
    // Where no window can be made at all (no desktop), no session ends under the program either.
    watchSessionEnd();
    return true;
#else
    return false;
#endif
}

void InterruptWatch::released()
{
#ifdef Q_OS_WIN
    if (releasedEvent)
        SetEvent(releasedEvent);
#endif
}

void InterruptWatch::deliver(int signalNumber)
{
    emit interrupted(signalNumber);
}
