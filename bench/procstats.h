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

// What a host had used when Download was pressed, for its report.
struct AtDownload
{
    CpuTime cpu;
    qint64 rssKb = 0;

    void take();
    // One line of JSON for the driver: the CPU time since take(), the resident set then and now,
    // and the peak resident set.
    QByteArray reportLine() const;
};
