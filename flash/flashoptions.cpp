#include "flashoptions.h"

#include <QCommandLineParser>

#include <cmath>
#include <iterator>
#include <utility>

namespace {

constexpr double LongestWaitSeconds = 1e7;

// The help text's description: what the program does, how --repeat tells one device from the next,
// and the exit codes.
QString programDescription()
{
    return QStringLiteral(
        "Updates the firmware of the device on each serial port with IMAGE, several ports at "
        "once.\n"
        "\n"
        "  vantuflash [OPTIONS] IMAGE    update the device on each port with IMAGE\n"
        "  vantuflash --info [OPTIONS]   find the device on each port, print its versions\n"
        "  vantuflash --list [--json]    list the serial ports present and their adapters\n"
        "\n"
        "Each port needs -p, --serial or --usb. Results go to standard output (text, or JSON\n"
        "Lines with --json), one record per port and update; errors go to standard error.\n"
        "\n"
        "With --repeat the device just updated has to leave before the next one on its port is\n"
        "updated: it has left once nothing has answered the probes for 1 s, or once the port\n"
        "has gone and come back (with another adapter serial number, if it has one). A board\n"
        "that restarts into its boot loader is thus never updated twice in a row.\n"
        "\n"
        "Exit codes:\n"
        "  0    every device updated (with --info: every device answered)\n"
        "  1    usage error (also: the --log file cannot be opened, before anything is sent)\n"
        "  2    the image cannot be used (missing, unreadable, empty, too large)\n"
        "  3    a port could not be opened\n"
        "  4    no device answered on a port within --wait\n"
        "  5    the device cancelled the update\n"
        "  6    the device stayed silent longer than --timeout during the update\n"
        "  7    the port was lost during the update\n"
        "  8    a record could not be written to the --log file (no new board is started)\n"
        "  9    a board reported a hardware version other than --hardware's\n"
        "  129  hung up (SIGHUP: the terminal closed, the connection dropped)\n"
        "  130  interrupted by SIGINT or SIGTERM\n"
        "With several ports the code is that of the first port, in command-line order, that\n"
        "did not succeed.");
}

// A number of seconds: non-negative, finite; a positive one is at least a millisecond.
bool parseSeconds(const QString &text, std::chrono::milliseconds *value)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > LongestWaitSeconds)
        return false;
    const qint64 ms = qint64(std::ceil(seconds * 1000.0));
    *value = std::chrono::milliseconds(ms);
    return true;
}

// Every option of the command line, in the order --help lists them; an Option is its row.
enum Option
{
    Help,
    Version,
    Port,
    Serial,
    Usb,
    Wait,
    Timeout,
    Info,
    List,
    Json,
    Log,
    Repeat,
    Quiet,
    Verbose,
    Hardware,
    SkipFirmware,
};

const OptionRow Rows[] = {
    {"h,help", nullptr, "Show this help and exit."},
    {"version", nullptr, "Show the version and exit."},
    {"p,port", "PORT",
     "A serial port to update the device on: a name (ttyUSB0, COM3) or a path "
     "(/dev/serial/by-id/...). Repeatable: the ports are updated at the same time."},
    {"serial", "SN",
     "The USB serial port whose adapter reports this serial number (repeatable). Looked for again "
     "whenever the port is opened."},
    {"usb", "VID:PID",
     "Every USB serial port present with these vendor and product IDs, in hex (repeatable); if "
     "none is present yet, the first one to appear."},
    {"w,wait", "SECONDS",
     "How long each port may take to appear and open, and the device to answer the probes and the "
     "version query (default 10; 0 waits for ever)."},
    {"t,timeout", "SECONDS",
     "How long the device may stay silent once the update has started (default 2)."},
    {"info", nullptr, "Find the device on each port and print its versions; change nothing."},
    {"list", nullptr, "List the serial ports present, with their adapters' details."},
    {"json", nullptr,
     "Write JSON Lines to standard output instead of text: \"found\", \"progress\" and "
     "\"result\" events (with --list: \"port\")."},
    {"log", "FILE", "Append each result, one JSON object a line, to FILE as each port finishes."},
    {"repeat", nullptr,
     "After each update, wait on the same port for the next device and update it too, until "
     "interrupted."},
    {"q,quiet", nullptr, "Print only errors (with --json: no progress events)."},
    {"v,verbose", nullptr, "Trace every frame sent and received on standard error."},
    {"hardware", "VER",
     "Update only boards that report this hardware version, written as the records write it "
     "(05.07; repeatable: any of them). Another board gets nothing after the version query: result "
     "wrong-hardware, exit code 9."},
    {"skip-firmware", "VER",
     "Leave a board that already reports this firmware version as it is (01.00; repeatable): "
     "result skipped, exit code 0."},
};
static_assert(std::size(Rows) == SkipFirmware + 1, "a row for every Option");

using OptionSet = QList<QCommandLineOption>;

// --hardware and --skip-firmware; an error, or empty.
QString readGuards(const QCommandLineParser &parser, const OptionSet &set, FlashOptions &options)
{
    for (const auto &[option, list] :
         {std::pair{Hardware, &options.hardware}, std::pair{SkipFirmware, &options.skipFirmware}}) {
        const QString error =
            readVersions(parser.values(set[option]),
                         QStringLiteral("--") + set[option].names().constFirst(), list);
        if (!error.isEmpty())
            return error;
    }
    return {};
}

// The ports in the order they were given, whatever option named them; an error, or empty.
QString readTargets(const QCommandLineParser &parser, const OptionSet &set, FlashOptions &options)
{
    const QString error =
        targetsFromOptions(parser, set[Port], set[Serial], &set[Usb], &options.targets);
    if (!error.isEmpty())
        return error;
    if (options.targets.isEmpty())
        return QStringLiteral("no port given (-p PORT, --serial SN or --usb VID:PID)");
    return {};
}

// --wait, --timeout and --log; an error, or empty.
QString readLimits(const QCommandLineParser &parser, const OptionSet &set, FlashOptions &options)
{
    if (parser.isSet(set[Wait]) && !parseSeconds(parser.value(set[Wait]), &options.wait))
        return QStringLiteral("--wait wants a number of seconds from 0 (no limit) to %1, not %2")
            .arg(LongestWaitSeconds, 0, 'f', 0)
            .arg(parser.value(set[Wait]));
    if (parser.isSet(set[Timeout]) &&
        (!parseSeconds(parser.value(set[Timeout]), &options.timeout) ||
         options.timeout.count() == 0))
        return QStringLiteral("--timeout wants a number of seconds above 0, at most %1, not %2")
            .arg(LongestWaitSeconds, 0, 'f', 0)
            .arg(parser.value(set[Timeout]));
    if (parser.isSet(set[Log]) && options.logPath.isEmpty())
        return QStringLiteral("--log wants a file name");
    return {};
}

// The mode and the image; an error, or empty.
QString readMode(const QCommandLineParser &parser, const OptionSet &set, FlashOptions &options)
{
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(set[List])) {
        const QStringList names = parser.optionNames();
        for (const QString &name : names) {
            if (name != QLatin1String("list") && name != QLatin1String("json"))
                return QStringLiteral("--list takes no other option than --json");
        }
        if (!positional.isEmpty())
            return QStringLiteral("--list takes no image");
        options.mode = FlashOptions::Mode::List;
    } else if (parser.isSet(set[Info])) {
        options.mode = FlashOptions::Mode::Info;
        if (!positional.isEmpty())
            return QStringLiteral("--info takes no image: it changes nothing");
    } else if (positional.isEmpty()) {
        return QStringLiteral("no image given");
    } else if (positional.size() > 1) {
        return QStringLiteral("one image only, not %1").arg(positional.join(QLatin1Char(' ')));
    } else {
        options.imagePath = positional.first();
    }
    return {};
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    ParsedCommandLine parsed;
    FlashOptions &options = parsed.options;

    QCommandLineParser parser;
    parser.setApplicationDescription(programDescription());
    const OptionSet set = optionsOf(Rows);
    parser.addOptions(set);
    parser.addPositionalArgument(QStringLiteral("IMAGE"),
                                 QStringLiteral("The firmware image (.vuf) to send."));

    const auto usage = [&parsed](const QString &error) {
        parsed.refuse(error);
        return parsed;
    };

    if (!readRequest(parser, arguments, set[Help], set[Version], &parsed))
        return parsed;

    options.json = parser.isSet(set[Json]);
    options.repeat = parser.isSet(set[Repeat]);
    options.quiet = parser.isSet(set[Quiet]);
    options.verbose = parser.isSet(set[Verbose]);
    options.logPath = parser.value(set[Log]);
    QString error = readMode(parser, set, options);
    if (error.isEmpty() && options.mode != FlashOptions::Mode::List)
        error = readTargets(parser, set, options);
    if (error.isEmpty() && options.mode != FlashOptions::Mode::List)
        error = readLimits(parser, set, options);
    if (error.isEmpty() && options.mode == FlashOptions::Mode::Update)
        error = readGuards(parser, set, options);
    return error.isEmpty() ? parsed : usage(error);
}
