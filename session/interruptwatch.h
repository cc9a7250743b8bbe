#pragma once

#include <QObject>

// Turns SIGINT and SIGTERM (on Windows: Ctrl+C, Ctrl+Break and the console closing) into a signal
// in the event loop, so that the run can close its ports and write its records before it exits.
// One per process.
class InterruptWatch : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatch(QObject *parent = nullptr);
    ~InterruptWatch() override;

    // False when the handlers could not be installed.
    bool install();
    // Tells a Windows console that is closing that the records are written and it may go on.
    void released();

signals:
    void interrupted();

private slots:
    // Invoked by name from the Windows console handler's thread.
    void deliver();
};
