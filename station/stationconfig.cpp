#include "stationconfig.h"

#include "targetoptions.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

QJsonArray textArray(const QStringList &texts)
{
    QJsonArray array;
    for (const QString &text : texts)
        array.append(text);
    return array;
}

// The strings of an array member; an error for anything else.
QString readTexts(const QJsonObject &object, const QString &key, QStringList *texts)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        return {};
    if (!value.isArray())
        return QStringLiteral("\"%1\" is not a list").arg(key);
    const QJsonArray array = value.toArray();
    for (const QJsonValue &item : array) {
        if (!item.isString())
            return QStringLiteral("\"%1\" holds something other than text").arg(key);
        texts->append(item.toString());
    }
    return {};
}

QString readSlot(const QJsonValue &value, int index, SlotConfig *slot)
{
    const QString where = QStringLiteral("slot %1").arg(index + 1);
    if (!value.isObject())
        return where + QStringLiteral(" is not an object");
    const QJsonObject object = value.toObject();
    slot->name = object.value(QLatin1String("name")).toString().trimmed();
    if (slot->name.isEmpty())
        slot->name = defaultSlotName(index);
    const QString port = object.value(QLatin1String("port")).toString();
    const QString serial = object.value(QLatin1String("serial")).toString();
    if (port.isEmpty() == serial.isEmpty())
        return where + QStringLiteral(" needs either a \"port\" or a \"serial\" number");
    slot->target = port.isEmpty() ? PortTarget::bySerialNumber(serial) : PortTarget::named(port);
    return {};
}

QString readStation(const QJsonObject &object, StationConfig *config)
{
    const QJsonArray slotArray = object.value(QLatin1String("slots")).toArray();
    for (int index = 0; index < slotArray.size(); ++index) {
        SlotConfig slot;
        const QString error = readSlot(slotArray[index], index, &slot);
        if (!error.isEmpty())
            return error;
        config->fixture.append(slot);
    }
    config->imagePath = object.value(QLatin1String("image")).toString();
    config->logPath = object.value(QLatin1String("log")).toString();
    const QJsonValue locked = object.value(QLatin1String("locked"));
    if (!locked.isUndefined() && !locked.isBool())
        return QStringLiteral("\"locked\" is neither true nor false");
    config->locked = locked.toBool();
    QStringList hardware;
    QStringList skip;
    QString error = readTexts(object, QStringLiteral("hardware"), &hardware);
    if (error.isEmpty())
        error = readTexts(object, QStringLiteral("skip_firmware"), &skip);
    if (error.isEmpty())
        error = readVersions(hardware, QStringLiteral("\"hardware\""), &config->hardware);
    if (error.isEmpty())
        error = readVersions(skip, QStringLiteral("\"skip_firmware\""), &config->skipFirmware);
    return error;
}

} // namespace

QString defaultSlotName(int index)
{
    return QStringLiteral("Slot %1").arg(index + 1);
}

QString defaultLogPath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("records.jsonl"));
}

QString StationConfig::logFile() const
{
    return logPath.isEmpty() ? defaultLogPath() : logPath;
}

QByteArray StationConfig::toJson() const
{
    QJsonArray slotArray;
    for (const SlotConfig &slot : fixture) {
        QJsonObject object{{QStringLiteral("name"), slot.name}};
        object.insert(slot.target.kind == PortTarget::Kind::SerialNumber ? QStringLiteral("serial")
                                                                         : QStringLiteral("port"),
                      slot.target.value);
        slotArray.append(object);
    }
    const QJsonObject object{{QStringLiteral("slots"), slotArray},
                             {QStringLiteral("image"), imagePath},
                             {QStringLiteral("hardware"), textArray(hardware)},
                             {QStringLiteral("skip_firmware"), textArray(skipFirmware)},
                             {QStringLiteral("log"), logPath},
                             {QStringLiteral("locked"), locked}};
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

std::optional<StationConfig> StationConfig::fromJson(const QByteArray &text, QString *error)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = QStringLiteral("it is damaged (%1 at byte %2)")
                     .arg(parseError.errorString())
                     .arg(parseError.offset);
        return std::nullopt;
    }
    if (!document.isObject()) {
        *error = QStringLiteral("it holds no station");
        return std::nullopt;
    }
    StationConfig config;
    *error = readStation(document.object(), &config);
    if (!error->isEmpty())
        return std::nullopt;
    return config;
}

bool StationConfig::save(const QString &path, QString *error) const
{
    // Written aside and renamed over the old file: a station file is never left half written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(toJson()) < 0 || !file.commit()) {
        *error = QStringLiteral("Cannot save the station to %1: %2.").arg(path, file.errorString());
        return false;
    }
    return true;
}

std::optional<StationConfig> StationConfig::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("Cannot open the station file %1: %2.").arg(path, file.errorString());
        return std::nullopt;
    }
    QString why;
    std::optional<StationConfig> config = fromJson(file.readAll(), &why);
    if (!config) {
        *error = QStringLiteral("Cannot use the station file %1: %2. Nothing was changed.")
                     .arg(path, why);
        return std::nullopt;
    }
    // A relative image or log path in the file is relative to the file.
    const QDir base = QFileInfo(path).absoluteDir();
    if (!config->imagePath.isEmpty())
        config->imagePath = base.absoluteFilePath(config->imagePath);
    if (!config->logPath.isEmpty())
        config->logPath = base.absoluteFilePath(config->logPath);
    return config;
}
