#include "stationoptions.h"

#include "targetoptions.h"

#include <QCommandLineParser>

#include <iterator>

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

// The options besides --help and --version, in the order --help lists them; an Option is its row.
enum Option
{
    Port,
    Serial,
    Log,
    Hardware,
    SkipFirmware,
    Start,
    Locked,
};

const OptionRow Rows[] = {
    {"p,port", "P", "A slot on this serial port, by name or path (repeatable)."},
    {"serial", "SN",
     "A slot on the USB adapter with this serial number, followed across re-plugs (repeatable)."},
    {"log", "FILE", "Append each board's record to FILE."},
    {"hardware", "V", "Update only boards with this hardware version (repeatable)."},
    {"skip-firmware", "V", "Leave boards that have this firmware version (repeatable)."},
    {"start", nullptr, "Start at once, without waiting for Start."},
    {"locked", nullptr, "Show the operator Start, Stop, Retry failed and the slots only."},
};
static_assert(std::size(Rows) == Locked + 1, "a row for every Option");

} // namespace

StationCommandLine parseStationCommandLine(const QStringList &arguments)
{
    StationCommandLine parsed;
    QCommandLineParser parser;
    parser.setApplicationDescription(stationDescription());
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QList<QCommandLineOption> set = optionsOf(Rows);
    parser.addOptions(set);
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
    QString error = targetsFromOptions(parser, set[Port], set[Serial], nullptr, &targets);
    if (error.isEmpty())
        error = readVersions(parser.values(set[Hardware]), QStringLiteral("--hardware"),
                             &parsed.config.hardware);
    if (error.isEmpty())
        error = readVersions(parser.values(set[SkipFirmware]), QStringLiteral("--skip-firmware"),
                             &parsed.config.skipFirmware);
    if (!error.isEmpty())
        return usage(error);
    for (int index = 0; index < targets.size(); ++index)
        parsed.config.fixture.append({defaultSlotName(index), targets[index]});
    parsed.config.logPath = parser.value(set[Log]);
    parsed.start = parser.isSet(set[Start]);
    parsed.locked = parser.isSet(set[Locked]);
    return parsed;
}
