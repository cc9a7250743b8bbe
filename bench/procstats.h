#pragma once

#include <QByteArray>
#include <QtGlobal>

// Figures about a process from /proc: the calling one, for the host processes to report to the
// driver, or a host the driver watches.

// A field of /proc/PID/status in kB (VmHWM, VmRSS, ...); -1 when missing. pid 0: this process.
qint64 statusKb(qint64 pid, const char *field);
inline qint64 selfStatusKb(const char *field)
{
    return statusKb(0, field);
}

// User and system CPU time of the whole process so far, in microseconds.
struct CpuTime
{
    qint64 userUs = 0;
    qint64 systemUs = 0;
};
CpuTime selfCpuTime();

// One line of JSON with the CPU time since `since`, the resident set at `since` and now, and the
// peak resident set, for the driver to read.
QByteArray reportLine(const CpuTime &since, qint64 rssAtSinceKb, const QString &status);
