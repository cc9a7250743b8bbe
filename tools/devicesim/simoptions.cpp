#include "simoptions.h"

#include "updateprotocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <iterator>
#include <type_traits>
#include <variant>

namespace {

using D = DeviceOptions;
using S = SimSettings;

// A version, MAJOR.MINOR in hexadecimal digits as the tool shows it: "5.7" and "05.07" are V05.07.
struct Version
{
    quint8 D::*major;
    quint8 D::*minor;
};
struct VersionBytes // RSP_VERSION frame bytes 4..7 as 8 hex digits
{
};

// Where an option's value goes; its type says how the value is read: a version, a flag (bool),
// text, a chance from 0 to 1 (double), or a number up to the row's max, decimal or hexadecimal
// with 0x.
using Field = std::variant<Version, VersionBytes, bool D::*, int D::*, quint32 D::*, qint64 D::*,
                           double D::*, QString D::*, bool S::*, int S::*, QString S::*>;

struct Row
{
    const char *name;
    const char *valueName; // nullptr: a flag
    const char *help;
    Field field;
    qint64 max = 0;      // of a number
    bool random = false; // an offset, which "random" draws from --seed
};

constexpr qint64 Huge = 1 << 30;
static_assert(D::DefaultMaxDelayMs == 120 && ResponseTimeout.count() == 200, "--max-delay's help");

// Every option, in the order --help lists them.
const Row Rows[] = {
    {"port", "PATH", "Serial port to play the device on (57600 8N1).", &S::port},
    {"firmware", "VERSION", "Firmware version to report, MAJOR.MINOR in hex digits (default 1.0).",
     Version{&D::firmwareMajor, &D::firmwareMinor}},
    {"hardware", "VERSION", "Hardware version to report, MAJOR.MINOR in hex digits (default 5.7).",
     Version{&D::hardwareMajor, &D::hardwareMinor}},
    {"version-bytes", "HEX", "RSP_VERSION frame bytes 4..7 as 8 hex digits (default 07050001).",
     VersionBytes{}},
    {"silent-probes", "N", "Leave the first N pings unanswered.", &D::silentProbes, Huge},
    {"no-version", nullptr, "Never answer CMD_GET_VERSION.", &D::noVersionReply},
    {"bad-id", nullptr, "Send every frame with a wrong byte 1 or byte 2, alternately.",
     &D::badIdentification},
    {"cancel-at", "OFFSET",
     "In the first update, send RSP_CANCELLED instead of the first request at or past OFFSET. "
     "Every OFFSET may be \"random\": drawn from --seed below the image end (--image-size, else "
     "4096).",
     &D::cancelAt, MaxImageSize, true},
    {"silent-at", "OFFSET", "Fall silent for good instead of the first request at or past OFFSET.",
     &D::silentAt, MaxImageSize, true},
    {"retry-every", "N", "After every Nth new piece, ask again for the piece 1028 bytes back.",
     &D::retryEvery, Huge},
    {"random-order", "SEED",
     "Ask for the pieces in an order shuffled with SEED (needs --image-size).", &D::randomSeed,
     0xFFFFFFFF},
    {"image-size", "BYTES", "Image length the device expects; also trims the reported image.",
     &D::imageSize, MaxImageSize},
    {"unaligned", nullptr, "Ask again for every second piece at an offset 1 to 3 past its start.",
     &D::unalignedRequests},
    {"announce-after-done", nullptr, "Send RSP_PRESENT 50 ms after RSP_DONE or RSP_CANCELLED.",
     &D::announceAfterDone},
    {"max-image-size", "BYTES", "Cancel a transfer that asks at or past BYTES (default 16 MiB).",
     &D::maxImageSize, MaxImageSize},
    {"output", "FILE", "Write each received image to FILE.", &D::outputPath},
    {"exit-after-update", nullptr, "Exit with code 0 after the first completed update.",
     &S::exitAfterUpdate},
    {"verbose", nullptr, "Trace every frame received and sent on standard error.", &S::verbose},
    {"hang-up-at", "OFFSET",
     "At the first request at or past OFFSET, write part of it and close the line.", &D::hangUpAt,
     MaxImageSize, true},
    {"stray-start-at", "OFFSET",
     "In the first update, send a lone 0x7E right before the first request at or past OFFSET, "
     "which makes the tool drop that request.",
     &D::strayStartAt, MaxImageSize, true},
    {"seed", "N", "Seed of every random fault, so a run can be repeated (default 0).", &D::seed,
     0xFFFFFFFF},
    {"noise", "RATE", "Chance per frame (0 to 1) of junk bytes before it that the tool must drop.",
     &D::noiseRate},
    {"split", "RATE",
     "Chance per frame of sending it in single bytes or random chunks, a few ms apart.",
     &D::splitRate},
    {"split-gap", "MS",
     "Longest pause between the chunks of a split frame (default 3 ms; 40 ms in all at most).",
     &D::splitGapMs, D::SplitBudgetMs},
    {"corrupt-extra", "RATE", "Chance per frame of random bytes 8 and 9.", &D::corruptExtraRate},
    {"foreign-frames", "RATE",
     "Chance per frame of a frame with a wrong byte 2 going out before it.", &D::foreignFrameRate},
    {"duplicate", "RATE",
     "Chance per data request of sending it twice; the second answer is checked and dropped.",
     &D::duplicateRate},
    {"stale", "RATE",
     "Chance per new piece of asking again for an old one, at a random offset inside it.",
     &D::staleRate},
    {"delay", "RATE", "Chance per frame of holding it back 1 to --max-delay ms.", &D::delayRate},
    {"max-delay", "MS", "Longest hold-back of --delay (default 120 ms; the tool waits 200 ms).",
     &D::maxDelayMs, 10000},
    {"link", "PATH",
     "Keep a symbolic link at PATH to the pseudo-terminal while it is there, a name that stays "
     "the same when the device comes back on a new one.",
     &S::link},
    {"restart-after-done", "MS",
     "After each completed update, hang up the line (as a USB device restarting takes its port "
     "along), then come back MS later on a new pseudo-terminal as the next board and print its "
     "\"port: PATH\" again.",
     &S::restartMs, Huge},
    {"quiet-after-done", "MS",
     "After each completed update, answer nothing for MS, and to no fewer probes than fit in MS "
     "at the tool's pace, then answer again as the next board (one taken off a fixture, the "
     "next put on).",
     &D::quietAfterDoneMs, Huge},
};

template <typename T> T &fieldOf(S &settings, T D::*field)
{
    return settings.device.*field;
}
template <typename T> T &fieldOf(S &settings, T S::*field)
{
    return settings.*field;
}

// Reads a row's value into its field; false after saying what is wrong with it.
bool take(const Row &row, const QString &value, S &settings)
{
    const QString name = QLatin1String(row.name);
    DeviceOptions &device = settings.device;
    return std::visit(
        [&](auto field) {
            using F = decltype(field);
            bool ok = true;
            bool okMinor = true;
            if constexpr (std::is_same_v<F, Version>) {
                const QStringList parts = value.split(QLatin1Char('.'));
                const uint major = parts.value(0).toUInt(&ok, 16);
                const uint minor = parts.value(1).toUInt(&okMinor, 16);
                if (parts.size() != 2 || !ok || !okMinor || major > 0xFF || minor > 0xFF)
                    return simFailure(
                        QStringLiteral("--%1 wants MAJOR.MINOR in hex digits").arg(name));
                device.*field.major = quint8(major);
                device.*field.minor = quint8(minor);
            } else if constexpr (std::is_same_v<F, VersionBytes>) {
                const QByteArray bytes = QByteArray::fromHex(value.toLatin1());
                if (bytes.size() != 4 || value.size() != 8)
                    return simFailure(QStringLiteral("--version-bytes wants 8 hex digits"));
                device.hardwareMinor = quint8(bytes[0]);
                device.hardwareMajor = quint8(bytes[1]);
                device.firmwareMinor = quint8(bytes[2]);
                device.firmwareMajor = quint8(bytes[3]);
            } else {
                auto &target = fieldOf(settings, field);
                using T = std::decay_t<decltype(target)>;
                if constexpr (std::is_same_v<T, bool>) {
                    target = true;
                } else if constexpr (std::is_same_v<T, QString>) {
                    target = value;
                } else if constexpr (std::is_same_v<T, double>) {
                    target = value.toDouble(&ok);
                    if (!ok || !(target >= 0 && target <= 1))
                        return simFailure(
                            QStringLiteral("bad value for --%1 (0 to 1): %2").arg(name, value));
                } else if (row.random && value == QLatin1String("random")) {
                    target = T(DeviceOptions::RandomOffset);
                } else {
                    const qint64 number = value.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                                              ? value.mid(2).toLongLong(&ok, 16)
                                              : value.toLongLong(&ok, 10);
                    if (!ok || number < 0 || number > row.max)
                        return simFailure(
                            QStringLiteral("bad value for --%1: %2").arg(name, value));
                    target = T(number);
                }
            }
            return true;
        },
        row.field);
}

} // namespace

bool simFailure(const QString &message)
{
    std::fprintf(stderr, "devicesim: %s\n", qUtf8Printable(message));
    std::fflush(stderr);
    return false;
}

bool parseSettings(const QCoreApplication &app, SimSettings &settings)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated device for the firmware update tool. Without --port it creates a "
                       "pseudo-terminal and prints \"port: PATH\" for the tool to open."));
    parser.addHelpOption();
    for (const Row &row : Rows) {
        const QString name = QLatin1String(row.name);
        const QString help = QLatin1String(row.help);
        parser.addOption(row.valueName
                             ? QCommandLineOption(name, help, QLatin1String(row.valueName))
                             : QCommandLineOption(name, help));
    }
    parser.process(app);

    // From the last row to the first: --firmware and --hardware come on top of --version-bytes.
    bool valid = true;
    for (auto row = std::rbegin(Rows); row != std::rend(Rows); ++row) {
        const QString name = QLatin1String(row->name);
        if (parser.isSet(name) && !take(*row, parser.value(name), settings))
            valid = false;
    }
    settings.onPort = parser.isSet(QStringLiteral("port"));
    settings.device.randomOrder = parser.isSet(QStringLiteral("random-order"));
    if (settings.device.randomOrder && !parser.isSet(QStringLiteral("image-size")))
        valid = simFailure(QStringLiteral("--random-order needs --image-size"));
    if ((settings.restartMs >= 0 || !settings.link.isEmpty()) && settings.onPort)
        valid = simFailure(QStringLiteral("--link and --restart-after-done need the device's own "
                                          "pseudo-terminal, not --port"));
    return valid;
}
