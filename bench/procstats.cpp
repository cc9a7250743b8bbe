#include "procstats.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/resource.h>

using namespace Qt::StringLiterals;

qint64 statusKb(qint64 pid, const char *field)
{
    QFile status(pid == 0 ? u"/proc/self/status"_s : u"/proc/%1/status"_s.arg(pid));
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

void AtDownload::take()
{
    rssKb = selfStatusKb("VmRSS");
    cpu = selfCpuTime();
}

QByteArray AtDownload::reportLine() const
{
    const CpuTime now = selfCpuTime();
    QJsonObject report;
    report[u"cpu_user_us"_s] = now.userUs - cpu.userUs;
    report[u"cpu_system_us"_s] = now.systemUs - cpu.systemUs;
    report[u"rss_at_download_kb"_s] = rssKb;
    report[u"rss_kb"_s] = selfStatusKb("VmRSS");
    report[u"hwm_kb"_s] = selfStatusKb("VmHWM");
    report[u"status"_s] = u"Firmware is updated"_s;
    return "report " + QJsonDocument(report).toJson(QJsonDocument::Compact) + '\n';
}
