#pragma once

#include <QObject>

// Turns SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl+C, Ctrl+Break, the console closing, and the
// session ending at log-off or shutdown) into a signal in the event loop, so that the run can
// close its ports and write its records before it exits. One per process.
class InterruptWatch : public QObject
{
    Q_OBJECT

public:
    // interrupted()'s argument for a hang-up: a closed terminal, a dropped connection, a closing
    // Windows console, the end of a Windows session. Anything else is an interruption.
    static constexpr int HangUp = 1;

    explicit InterruptWatch(QObject *parent = nullptr);
    ~InterruptWatch() override;

    // Catches SIGINT, SIGTERM and SIGHUP from now on, before the application object or its event
    // loop exists: a signal that comes that early waits until install() hands it to the event
    // loop. For a program that must honour a signal at any moment of its start-up, as the first
    // thing in main(). Once per process; install() does it when it has not been done.
    static bool catchSignals();
    // False when the handlers could not be installed.
    bool install();
    // Tells a Windows console that is closing that the records are written and it may go on.
    void released();

signals:
    void interrupted(int signalNumber);

private slots:
    // Invoked by name: queued from the Windows console handler's thread, and directly from the
    // hidden window that hears of the end of the session, on the event loop's thread.
    void deliver(int signalNumber);
};
