#include "stationoptions.h"

#include "targetoptions.h"

#include <QCommandLineParser>

namespace {

QString stationDescription()
{
    return QStringLiteral(
        "A window for a production fixture: one tile per slot, each slot updating every new board "
        "put on it with IMAGE, as vantuflash --repeat does.\n"
        "\n"
        "Each --port or --serial becomes a slot, in the order given (\"Slot 1\", \"Slot 2\", ...). "
        "A file ending in .station is a saved station (slots, image, guards, log); options given "
        "with it change what it says.");
}

} // namespace

StationCommandLine parseStationCommandLine(const QStringList &arguments)
{
    StationCommandLine parsed;
    QCommandLineParser parser;
    parser.setApplicationDescription(stationDescription());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption port(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("A slot on this serial port, by name or path (repeatable)."),
        QStringLiteral("P"));
    const QCommandLineOption serial(
        QStringLiteral("serial"),
        QStringLiteral("A slot on the USB adapter with this serial number, followed across "
                       "re-plugs (repeatable)."),
        QStringLiteral("SN"));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Append each board's record to FILE."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption hardware(
        QStringLiteral("hardware"),
        QStringLiteral("Update only boards with this hardware version (repeatable)."),
        QStringLiteral("V"));
    const QCommandLineOption skip(
        QStringLiteral("skip-firmware"),
        QStringLiteral("Leave boards that have this firmware version (repeatable)."),
        QStringLiteral("V"));
    const QCommandLineOption start(QStringLiteral("start"),
                                   QStringLiteral("Start at once, without waiting for Start."));
    const QCommandLineOption locked(
        QStringLiteral("locked"),
        QStringLiteral("Show the operator Start, Stop, Retry failed and the slots only."));
    parser.addOptions({port, serial, log, hardware, skip, start, locked});
    parser.addPositionalArgument(QStringLiteral("IMAGE|STATION-FILE"),
                                 QStringLiteral("The firmware image, or a saved station."));

    const auto usage = [&parsed](const QString &error) {
        parsed.refuse(error);
        return parsed;
    };
    if (!readRequest(parser, arguments, help, version, &parsed))
        return parsed;
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return usage(QStringLiteral("one image or station file only, not %1")
                         .arg(positional.join(QLatin1Char(' '))));
    if (!positional.isEmpty()) {
        if (positional.first().endsWith(QLatin1String(StationFileSuffix)))
            parsed.stationFile = positional.first();
        else
            parsed.config.imagePath = positional.first();
    }
    QList<PortTarget> targets;
    QString error = targetsFromOptions(parser, port, serial, nullptr, &targets);
    if (error.isEmpty())
        error = readVersions(parser.values(hardware), QStringLiteral("--hardware"),
                             &parsed.config.hardware);
    if (error.isEmpty())
        error = readVersions(parser.values(skip), QStringLiteral("--skip-firmware"),
                             &parsed.config.skipFirmware);
    if (!error.isEmpty())
        return usage(error);
    for (int index = 0; index < targets.size(); ++index)
        parsed.config.fixture.append({defaultSlotName(index), targets[index]});
    parsed.config.logPath = parser.value(log);
    parsed.start = parser.isSet(start);
    parsed.locked = parser.isSet(locked);
    return parsed;
}
