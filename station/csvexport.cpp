#include "csvexport.h"

#include <QStringList>

namespace {

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QByteArray csvRow(const QStringList &fields)
{
    QStringList quoted;
    for (const QString &field : fields)
        quoted.append(csvField(field));
    return quoted.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

} // namespace

QByteArray recordsCsv(const QList<StationRecord> &records)
{
    QByteArray csv =
        csvRow({QStringLiteral("slot"), QStringLiteral("port"), QStringLiteral("result"),
                QStringLiteral("started"), QStringLiteral("seconds"), QStringLiteral("firmware"),
                QStringLiteral("hardware"), QStringLiteral("image"), QStringLiteral("image_size"),
                QStringLiteral("image_sha256"), QStringLiteral("adapter_serial_number"),
                QStringLiteral("message")});
    for (const StationRecord &record : records) {
        const SessionResult &result = record.result;
        csv += csvRow({record.slotName, result.port, outcomeName(result.outcome),
                       result.started.toString(Qt::ISODateWithMs),
                       QString::number(result.seconds, 'f', 3),
                       result.versions ? result.versions->firmware : QString(),
                       result.versions ? result.versions->hardware : QString(),
                       result.image ? result.image->path : QString(),
                       result.image ? QString::number(result.image->size) : QString(),
                       result.image ? QString::fromLatin1(result.image->sha256) : QString(),
                       result.adapter ? result.adapter->serialNumber : QString(), result.message});
    }
    return csv;
}
