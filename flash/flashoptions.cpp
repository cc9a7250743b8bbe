#include "flashoptions.h"

#include "portdiagnosis.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QHash>

#include <cmath>

namespace {

constexpr double LongestWaitSeconds = 1e7;

// The help text's description: what the program does, how --repeat tells one device from the next,
// and the exit codes.
QString description()
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
        "  1    usage error (also: the --log file cannot be written)\n"
        "  2    the image cannot be used (missing, unreadable, empty, too large)\n"
        "  3    a port could not be opened\n"
        "  4    no device answered on a port within --wait\n"
        "  5    the device cancelled the update\n"
        "  6    the device stayed silent longer than --timeout during the update\n"
        "  7    the port was lost during the update\n"
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

// The device node a port name leads to, links resolved; the name itself when it leads nowhere
// yet (a port that will appear later).
QString nodeOf(const QString &portName)
{
    const QString node = portNodePath(portName);
    const QString real = QFileInfo(node).canonicalFilePath();
    return real.isEmpty() ? node : real;
}

QString shownTarget(const PortTarget &target)
{
    switch (target.kind) {
    case PortTarget::Kind::SerialNumber:
        return QStringLiteral("--serial ") + target.value;
    case PortTarget::Kind::UsbIds:
        return QStringLiteral("--usb ") + target.value;
    case PortTarget::Kind::Name:
        break;
    }
    return target.value;
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    ParsedCommandLine parsed;
    FlashOptions &options = parsed.options;

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                        QStringLiteral("Show this help and exit."));
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Show the version and exit."));
    const QCommandLineOption portOption(
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("A serial port to update the device on: a name (ttyUSB0, COM3) or a path "
                       "(/dev/serial/by-id/...). Repeatable: the ports are updated at the same "
                       "time."),
        QStringLiteral("PORT"));
    const QCommandLineOption serialOption(
        QStringLiteral("serial"),
        QStringLiteral("The USB serial port whose adapter reports this serial number "
                       "(repeatable). Looked for again whenever the port is opened."),
        QStringLiteral("SN"));
    const QCommandLineOption usbOption(
        QStringLiteral("usb"),
        QStringLiteral("Every USB serial port present with these vendor and product IDs, in hex "
                       "(repeatable); if none is present yet, the first one to appear."),
        QStringLiteral("VID:PID"));
    const QCommandLineOption waitOption(
        {QStringLiteral("w"), QStringLiteral("wait")},
        QStringLiteral("How long each port may take to appear and open, and the device to answer "
                       "the probes and the version query (default 10; 0 waits for ever)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption timeoutOption(
        {QStringLiteral("t"), QStringLiteral("timeout")},
        QStringLiteral("How long the device may stay silent once the update has started (default "
                       "2)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption infoOption(
        QStringLiteral("info"),
        QStringLiteral("Find the device on each port and print its versions; change nothing."));
    const QCommandLineOption listOption(
        QStringLiteral("list"),
        QStringLiteral("List the serial ports present, with their adapters' details."));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"),
        QStringLiteral("Write JSON Lines to standard output instead of text: \"found\", "
                       "\"progress\" and \"result\" events (with --list: \"port\")."));
    const QCommandLineOption logOption(
        QStringLiteral("log"),
        QStringLiteral("Append each result, one JSON object a line, to FILE as each port "
                       "finishes."),
        QStringLiteral("FILE"));
    const QCommandLineOption repeatOption(
        QStringLiteral("repeat"),
        QStringLiteral("After each update, wait on the same port for the next device and update "
                       "it too, until interrupted."));
    const QCommandLineOption quietOption(
        {QStringLiteral("q"), QStringLiteral("quiet")},
        QStringLiteral("Print only errors (with --json: no progress events)."));
    const QCommandLineOption verboseOption(
        {QStringLiteral("v"), QStringLiteral("verbose")},
        QStringLiteral("Trace every frame sent and received on standard error."));
    parser.addOptions({helpOption, versionOption, portOption, serialOption, usbOption, waitOption,
                       timeoutOption, infoOption, listOption, jsonOption, logOption, repeatOption,
                       quietOption, verboseOption});
    parser.addPositionalArgument(QStringLiteral("IMAGE"),
                                 QStringLiteral("The firmware image (.vuf) to send."));

    const auto usage = [&parsed](const QString &error) {
        parsed.action = ParsedCommandLine::Action::UsageError;
        parsed.error = error;
        return parsed;
    };

    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(helpOption)) {
        parsed.action = ParsedCommandLine::Action::Help;
        parsed.helpText = parser.helpText();
        return parsed;
    }
    if (parser.isSet(versionOption)) {
        parsed.action = ParsedCommandLine::Action::Version;
        return parsed;
    }

    options.json = parser.isSet(jsonOption);
    options.repeat = parser.isSet(repeatOption);
    options.quiet = parser.isSet(quietOption);
    options.verbose = parser.isSet(verboseOption);
    options.logPath = parser.value(logOption);
    const QStringList positional = parser.positionalArguments();

    if (parser.isSet(listOption)) {
        const QStringList names = parser.optionNames();
        for (const QString &name : names) {
            if (name != QLatin1String("list") && name != QLatin1String("json"))
                return usage(QStringLiteral("--list takes no other option than --json"));
        }
        if (!positional.isEmpty())
            return usage(QStringLiteral("--list takes no image"));
        options.mode = FlashOptions::Mode::List;
        return parsed;
    }

    if (parser.isSet(infoOption)) {
        options.mode = FlashOptions::Mode::Info;
        if (!positional.isEmpty())
            return usage(QStringLiteral("--info takes no image: it changes nothing"));
    } else if (positional.isEmpty()) {
        return usage(QStringLiteral("no image given"));
    } else if (positional.size() > 1) {
        return usage(
            QStringLiteral("one image only, not %1").arg(positional.join(QLatin1Char(' '))));
    } else {
        options.imagePath = positional.first();
    }

    // The ports in the order they were given, whatever option named them.
    QStringList ports = parser.values(portOption);
    QStringList serials = parser.values(serialOption);
    QStringList usbIds = parser.values(usbOption);
    const QStringList names = parser.optionNames();
    for (const QString &name : names) {
        if ((name == QLatin1String("p") || name == QLatin1String("port")) && !ports.isEmpty()) {
            const QString port = ports.takeFirst();
            if (port.isEmpty())
                return usage(QStringLiteral("an empty port name"));
            options.targets.append(PortTarget::named(port));
        } else if (name == QLatin1String("serial") && !serials.isEmpty()) {
            const QString serial = serials.takeFirst();
            if (serial.isEmpty())
                return usage(QStringLiteral("an empty serial number"));
            options.targets.append(PortTarget::bySerialNumber(serial));
        } else if (name == QLatin1String("usb") && !usbIds.isEmpty()) {
            const QString text = usbIds.takeFirst();
            const QString ids = normalUsbIds(text);
            if (ids.isEmpty())
                return usage(QStringLiteral("--usb wants VID:PID in hex, such as 0403:6001, not %1")
                                 .arg(text));
            options.targets.append(PortTarget::byUsbIds(ids));
        }
    }
    if (options.targets.isEmpty())
        return usage(QStringLiteral("no port given (-p PORT, --serial SN or --usb VID:PID)"));
    for (int i = 0; i < options.targets.size(); ++i) {
        for (int j = 0; j < i; ++j) {
            const PortTarget &a = options.targets[j];
            const PortTarget &b = options.targets[i];
            if (a.kind == b.kind && a.kind != PortTarget::Kind::Name && a.value == b.value)
                return usage(QStringLiteral("%1 given twice").arg(shownTarget(a)));
        }
    }

    if (parser.isSet(waitOption) && !parseSeconds(parser.value(waitOption), &options.wait))
        return usage(QStringLiteral("--wait wants a number of seconds, 0 or more, not %1")
                         .arg(parser.value(waitOption)));
    if (parser.isSet(timeoutOption) &&
        (!parseSeconds(parser.value(timeoutOption), &options.timeout) ||
         options.timeout.count() == 0))
        return usage(QStringLiteral("--timeout wants a number of seconds above 0, not %1")
                         .arg(parser.value(timeoutOption)));
    if (parser.isSet(logOption) && options.logPath.isEmpty())
        return usage(QStringLiteral("--log wants a file name"));
    return parsed;
}

QList<PortTarget> expandTargets(const QList<PortTarget> &targets,
                                const QList<QSerialPortInfo> &present, QString *error)
{
    QList<PortTarget> expanded;
    QHash<QString, QString> givenAs; // device node -> how it was given
    const auto claim = [&](const QString &node, const QString &shown) {
        const auto earlier = givenAs.constFind(node);
        if (earlier == givenAs.constEnd()) {
            givenAs.insert(node, shown);
            return true;
        }
        *error = earlier.value() == shown ? QStringLiteral("port %1 given twice").arg(shown)
                                          : QStringLiteral("port %1 given twice (as %2 and %3)")
                                                .arg(portNodePath(node), earlier.value(), shown);
        return false;
    };
    for (const PortTarget &target : targets) {
        const QStringList matches = matchingPorts(target, present);
        if (target.kind == PortTarget::Kind::UsbIds && !matches.isEmpty()) {
            for (const QString &name : matches) {
                if (!claim(nodeOf(name),
                           shownTarget(target) + QStringLiteral(" (") + name + QLatin1Char(')')))
                    return {};
                expanded.append(PortTarget::named(name));
            }
            continue;
        }
        // A serial number found now is checked against the other ports; one that is not there
        // yet is looked for when its port is opened.
        const QString shown = shownTarget(target);
        if (target.kind == PortTarget::Kind::Name && !claim(nodeOf(target.value), shown))
            return {};
        if (target.kind == PortTarget::Kind::SerialNumber && !matches.isEmpty() &&
            !claim(nodeOf(matches.first()),
                   shown + QStringLiteral(" (") + matches.first() + QLatin1Char(')')))
            return {};
        expanded.append(target);
    }
    return expanded;
}
