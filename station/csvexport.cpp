#include "csvexport.h"

#include <QFile>
#include <QIODevice>
#include <QJsonDocument>
#include <QJsonObject>
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

// The slot of the run a record belongs to: the latest run started by the record's start, and the
// slot bound to its port (by name) or to its adapter (by serial number). Empty for a record of
// none of them (another station sharing the log, an earlier shift).
const SlotConfig *slotOf(const QList<const ExportedRun *> &runs, const QJsonObject &record)
{
    const QDateTime started =
        QDateTime::fromString(record.value(QLatin1String("started")).toString(), Qt::ISODateWithMs);
    if (!started.isValid())
        return nullptr;
    const ExportedRun *run = nullptr;
    for (const ExportedRun *each : runs) {
        if (each->started <= started && (!run || run->started < each->started))
            run = each;
    }
    if (!run)
        return nullptr;
    const QString port = record.value(QLatin1String("port")).toString();
    const QString serial = record.value(QLatin1String("adapter"))
                               .toObject()
                               .value(QLatin1String("serial_number"))
                               .toString();
    for (const SlotConfig &slot : run->fixture) {
        const bool bySerial = slot.target.kind == PortTarget::Kind::SerialNumber;
        if (bySerial ? !serial.isEmpty() && serial == slot.target.value : port == slot.target.value)
            return &slot;
    }
    return nullptr;
}

QByteArray rowOf(const SlotConfig &slot, const QJsonObject &record)
{
    const auto text = [&record](const char *key) {
        return record.value(QLatin1String(key)).toString();
    };
    const QJsonObject image = record.value(QLatin1String("image")).toObject();
    const QJsonValue size = image.value(QLatin1String("size"));
    return csvRow({slot.name, text("port"), text("result"), text("started"),
                   QString::number(record.value(QLatin1String("seconds")).toDouble(), 'f', 3),
                   text("firmware"), text("hardware"),
                   image.value(QLatin1String("path")).toString(),
                   size.isDouble() ? QString::number(qint64(size.toDouble())) : QString(),
                   image.value(QLatin1String("sha256")).toString(),
                   record.value(QLatin1String("adapter"))
                       .toObject()
                       .value(QLatin1String("serial_number"))
                       .toString(),
                   text("message")});
}

} // namespace

qint64 writeRecordsCsv(const QList<ExportedRun> &runs, QIODevice *out, QString *error)
{
    const QByteArray header =
        csvRow({QStringLiteral("slot"), QStringLiteral("port"), QStringLiteral("result"),
                QStringLiteral("started"), QStringLiteral("seconds"), QStringLiteral("firmware"),
                QStringLiteral("hardware"), QStringLiteral("image"), QStringLiteral("image_size"),
                QStringLiteral("image_sha256"), QStringLiteral("adapter_serial_number"),
                QStringLiteral("message")});
    if (out->write(header) < 0) {
        *error = out->errorString();
        return -1;
    }
    // Each log once, with the runs that wrote to it.
    QStringList logs;
    for (const ExportedRun &run : runs) {
        if (!logs.contains(run.logPath))
            logs.append(run.logPath);
    }
    qint64 rows = 0;
    for (const QString &path : std::as_const(logs)) {
        QList<const ExportedRun *> writers;
        for (const ExportedRun &run : runs) {
            if (run.logPath == path)
                writers.append(&run);
        }
        QFile log(path);
        if (!log.open(QIODevice::ReadOnly)) {
            if (!log.exists())
                continue; // a run that recorded no board
            *error =
                QStringLiteral("cannot read the record log %1: %2").arg(path, log.errorString());
            return -1;
        }
        while (!log.atEnd()) {
            const QJsonObject record = QJsonDocument::fromJson(log.readLine()).object();
            const SlotConfig *slot = slotOf(writers, record);
            if (!slot)
                continue;
            if (out->write(rowOf(*slot, record)) < 0) {
                *error = out->errorString();
                return -1;
            }
            ++rows;
        }
    }
    return rows;
}
