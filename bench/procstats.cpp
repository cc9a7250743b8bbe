#include "procstats.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/resource.h>

qint64 statusKb(qint64 pid, const char *field)
{
    QFile status(pid == 0 ? QStringLiteral("/proc/self/status")
                          : QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix)) {
            const QByteArray value = line.mid(prefix.size()).trimmed();
            return value.left(value.indexOf(' ')).toLongLong();
        }
    }
    return -1;
}

CpuTime selfCpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {qint64(usage.ru_utime.tv_sec) * 1000000 + usage.ru_utime.tv_usec,
            qint64(usage.ru_stime.tv_sec) * 1000000 + usage.ru_stime.tv_usec};
}

QByteArray reportLine(const CpuTime &since, qint64 rssAtSinceKb, const QString &status)
{
    const CpuTime now = selfCpuTime();
    QJsonObject report;
    report[QStringLiteral("cpu_user_us")] = now.userUs - since.userUs;
    report[QStringLiteral("cpu_system_us")] = now.systemUs - since.systemUs;
    report[QStringLiteral("rss_at_download_kb")] = rssAtSinceKb;
    report[QStringLiteral("rss_kb")] = selfStatusKb("VmRSS");
    report[QStringLiteral("hwm_kb")] = selfStatusKb("VmHWM");
    report[QStringLiteral("status")] = status;
    return "report " + QJsonDocument(report).toJson(QJsonDocument::Compact) + '\n';
}
