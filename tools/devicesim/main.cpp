// devicesim: plays the device on a pseudo-terminal (printed as "port: PATH") or on a real serial
// port, so the tool can be run and tested without hardware.

#include "linesettings.h"
#include "pseudoterminal.h"
#include "simulateddevice.h"
#include "timing.h"
#include "updateprotocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/stat.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Time the host gets to read RSP_DONE before --exit-after-update closes the line.
constexpr int ExitGraceMs = 200;
// Time the host gets to read RSP_DONE before --restart-after-done takes the line away.
constexpr int RestartGraceMs = 50;
constexpr int FlushWaitMs = 1000;

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the event loop through a self-pipe, so the device closes its line and
// exits 0.
bool installSignalHandlers(QCoreApplication &app)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto *notifier = new QSocketNotifier(qintptr(signalPipe[0]), QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char drain[16];
        while (::read(signalPipe[0], drain, sizeof drain) > 0) {
        }
        QCoreApplication::exit(0);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// When standard input is a pipe (a test or script that started the device), its end means the
// starter is gone: exit 0 rather than linger. A terminal or /dev/null as input is left alone, so
// the device keeps running in the background of a shell.
void exitAtEndOfPipedInput(QCoreApplication &app)
{
    struct stat info = {};
    if (::fstat(STDIN_FILENO, &info) != 0 || !S_ISFIFO(info.st_mode))
        return;
    auto *notifier = new QSocketNotifier(qintptr(STDIN_FILENO), QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        char drain[256];
        const ssize_t got = ::read(STDIN_FILENO, drain, sizeof drain);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            notifier->setEnabled(false);
            QCoreApplication::exit(0);
        }
    });
}

void printLine(std::FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", qUtf8Printable(line));
    std::fflush(stream);
}

void fail(const QString &message)
{
    printLine(stderr, QStringLiteral("devicesim: %1").arg(message));
}

// Decimal, or hexadecimal with 0x.
std::optional<qint64> parseNumber(const QString &text)
{
    bool ok = false;
    const qint64 value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                             ? text.mid(2).toLongLong(&ok, 16)
                             : text.toLongLong(&ok, 10);
    if (!ok || value < 0)
        return std::nullopt;
    return value;
}

// A chance from 0 to 1.
std::optional<double> parseRate(const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value >= 0 && value <= 1))
        return std::nullopt;
    return value;
}

// "MAJOR.MINOR" in hexadecimal digits, as the tool shows them: "5.7" and "05.07" are V05.07.
bool parseVersion(const QString &text, quint8 &major, quint8 &minor)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 2)
        return false;
    bool okMajor = false;
    bool okMinor = false;
    const uint majorValue = parts[0].toUInt(&okMajor, 16);
    const uint minorValue = parts[1].toUInt(&okMinor, 16);
    if (!okMajor || !okMinor || majorValue > 0xFF || minorValue > 0xFF)
        return false;
    major = quint8(majorValue);
    minor = quint8(minorValue);
    return true;
}

QString hex(const quint8 *bytes, int count)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes), count).toHex(' '));
}

// A code's name from the protocol's table, or kind and number for a code it does not hold.
QString codeName(const char *name, const char *kind, quint8 code)
{
    if (name)
        return QString::fromLatin1(name);
    return QStringLiteral("%1 0x%2").arg(QLatin1String(kind)).arg(code, 2, 16, QLatin1Char('0'));
}

void trace(const char *direction, const QString &bytes, const QString &what)
{
    printLine(stderr, QStringLiteral("%1 %2 %3  %4")
                          .arg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")),
                               QLatin1String(direction), bytes, what));
}

QString digest(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("devicesim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated device for the firmware update tool. Without --port it creates a "
                       "pseudo-terminal and prints \"port: PATH\" for the tool to open."));
    parser.addHelpOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("Serial port to play the device on (57600 8N1)."),
        QStringLiteral("PATH"));
    const QCommandLineOption firmwareOption(
        QStringLiteral("firmware"),
        QStringLiteral("Firmware version to report, MAJOR.MINOR in hex digits (default 1.0)."),
        QStringLiteral("VERSION"));
    const QCommandLineOption hardwareOption(
        QStringLiteral("hardware"),
        QStringLiteral("Hardware version to report, MAJOR.MINOR in hex digits (default 5.7)."),
        QStringLiteral("VERSION"));
    const QCommandLineOption versionBytesOption(
        QStringLiteral("version-bytes"),
        QStringLiteral("RSP_VERSION frame bytes 4..7 as 8 hex digits (default 07050001)."),
        QStringLiteral("HEX"));
    const QCommandLineOption silentProbesOption(
        QStringLiteral("silent-probes"), QStringLiteral("Leave the first N pings unanswered."),
        QStringLiteral("N"));
    const QCommandLineOption noVersionOption(QStringLiteral("no-version"),
                                             QStringLiteral("Never answer CMD_GET_VERSION."));
    const QCommandLineOption badIdOption(
        QStringLiteral("bad-id"),
        QStringLiteral("Send every frame with a wrong byte 1 or byte 2, alternately."));
    const QCommandLineOption cancelAtOption(
        QStringLiteral("cancel-at"),
        QStringLiteral("In the first update, send RSP_CANCELLED instead of the first request at "
                       "or past OFFSET. Every OFFSET may be \"random\": drawn from --seed below "
                       "the image end (--image-size, else 4096)."),
        QStringLiteral("OFFSET"));
    const QCommandLineOption silentAtOption(
        QStringLiteral("silent-at"),
        QStringLiteral("Fall silent for good instead of the first request at or past OFFSET."),
        QStringLiteral("OFFSET"));
    const QCommandLineOption hangUpAtOption(
        QStringLiteral("hang-up-at"),
        QStringLiteral("At the first request at or past OFFSET, write part of it and close the "
                       "line."),
        QStringLiteral("OFFSET"));
    const QCommandLineOption strayStartAtOption(
        QStringLiteral("stray-start-at"),
        QStringLiteral("In the first update, send a lone 0x7E right before the first request at "
                       "or past OFFSET, which makes the tool drop that request."),
        QStringLiteral("OFFSET"));
    const QCommandLineOption seedOption(
        QStringLiteral("seed"),
        QStringLiteral("Seed of every random fault, so a run can be repeated (default 0)."),
        QStringLiteral("N"));
    const QCommandLineOption noiseOption(
        QStringLiteral("noise"),
        QStringLiteral("Chance per frame (0 to 1) of junk bytes before it that the tool must "
                       "drop."),
        QStringLiteral("RATE"));
    const QCommandLineOption splitOption(
        QStringLiteral("split"),
        QStringLiteral("Chance per frame of sending it in single bytes or random chunks, a few "
                       "ms apart."),
        QStringLiteral("RATE"));
    const QCommandLineOption splitGapOption(
        QStringLiteral("split-gap"),
        QStringLiteral("Longest pause between the chunks of a split frame (default 3 ms; 40 ms "
                       "in all at most)."),
        QStringLiteral("MS"));
    const QCommandLineOption corruptExtraOption(
        QStringLiteral("corrupt-extra"),
        QStringLiteral("Chance per frame of random bytes 8 and 9."), QStringLiteral("RATE"));
    const QCommandLineOption foreignOption(
        QStringLiteral("foreign-frames"),
        QStringLiteral("Chance per frame of a frame with a wrong byte 2 going out before it."),
        QStringLiteral("RATE"));
    const QCommandLineOption duplicateOption(
        QStringLiteral("duplicate"),
        QStringLiteral("Chance per data request of sending it twice; the second answer is "
                       "checked and dropped."),
        QStringLiteral("RATE"));
    const QCommandLineOption staleOption(
        QStringLiteral("stale"),
        QStringLiteral("Chance per new piece of asking again for an old one, at a random offset "
                       "inside it."),
        QStringLiteral("RATE"));
    const QCommandLineOption delayOption(
        QStringLiteral("delay"),
        QStringLiteral("Chance per frame of holding it back 1 to --max-delay ms."),
        QStringLiteral("RATE"));
    const QCommandLineOption maxDelayOption(
        QStringLiteral("max-delay"),
        QStringLiteral("Longest hold-back of --delay (default %1 ms; the tool waits %2 ms).")
            .arg(DeviceOptions::DefaultMaxDelayMs)
            .arg(ResponseTimeout.count()),
        QStringLiteral("MS"));
    const QCommandLineOption retryEveryOption(
        QStringLiteral("retry-every"),
        QStringLiteral("After every Nth new piece, ask again for the piece 1028 bytes back."),
        QStringLiteral("N"));
    const QCommandLineOption randomOrderOption(
        QStringLiteral("random-order"),
        QStringLiteral("Ask for the pieces in an order shuffled with SEED (needs --image-size)."),
        QStringLiteral("SEED"));
    const QCommandLineOption imageSizeOption(
        QStringLiteral("image-size"),
        QStringLiteral("Image length the device expects; also trims the reported image."),
        QStringLiteral("BYTES"));
    const QCommandLineOption unalignedOption(
        QStringLiteral("unaligned"),
        QStringLiteral("Ask again for every second piece at an offset 1 to 3 past its start."));
    const QCommandLineOption announceOption(
        QStringLiteral("announce-after-done"),
        QStringLiteral("Send RSP_PRESENT 50 ms after RSP_DONE or RSP_CANCELLED."));
    const QCommandLineOption maxImageSizeOption(
        QStringLiteral("max-image-size"),
        QStringLiteral("Cancel a transfer that asks at or past BYTES (default 16 MiB)."),
        QStringLiteral("BYTES"));
    const QCommandLineOption outputOption(QStringLiteral("output"),
                                          QStringLiteral("Write each received image to FILE."),
                                          QStringLiteral("FILE"));
    const QCommandLineOption exitAfterUpdateOption(
        QStringLiteral("exit-after-update"),
        QStringLiteral("Exit with code 0 after the first completed update."));
    const QCommandLineOption linkOption(
        QStringLiteral("link"),
        QStringLiteral("Keep a symbolic link at PATH to the pseudo-terminal while it is there, a "
                       "name that stays the same when the device comes back on a new one."),
        QStringLiteral("PATH"));
    const QCommandLineOption restartOption(
        QStringLiteral("restart-after-done"),
        QStringLiteral("After each completed update, hang up the line (as a USB device restarting "
                       "takes its port along), then come back MS later on a new pseudo-terminal "
                       "as the next board and print its \"port: PATH\" again."),
        QStringLiteral("MS"));
    const QCommandLineOption quietAfterDoneOption(
        QStringLiteral("quiet-after-done"),
        QStringLiteral("After each completed update, answer nothing for MS, then answer again "
                       "as the next board (one taken off a fixture, the next put on)."),
        QStringLiteral("MS"));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"),
        QStringLiteral("Trace every frame received and sent on standard error."));
    parser.addOptions({portOption,         firmwareOption,        hardwareOption,
                       versionBytesOption, silentProbesOption,    noVersionOption,
                       badIdOption,        cancelAtOption,        silentAtOption,
                       retryEveryOption,   randomOrderOption,     imageSizeOption,
                       unalignedOption,    announceOption,        maxImageSizeOption,
                       outputOption,       exitAfterUpdateOption, verboseOption,
                       hangUpAtOption,     strayStartAtOption,    seedOption,
                       noiseOption,        splitOption,           splitGapOption,
                       corruptExtraOption, foreignOption,         duplicateOption,
                       staleOption,        delayOption,           maxDelayOption,
                       linkOption,         restartOption,         quietAfterDoneOption});
    parser.process(app);

    DeviceOptions options;
    bool valid = true;
    const auto number = [&](const QCommandLineOption &option, qint64 max) -> qint64 {
        const std::optional<qint64> value = parseNumber(parser.value(option));
        if (!value || *value > max) {
            fail(QStringLiteral("bad value for --%1: %2")
                     .arg(option.names().constFirst(), parser.value(option)));
            valid = false;
            return -1;
        }
        return *value;
    };
    const auto offset = [&](const QCommandLineOption &option) -> qint64 {
        if (parser.value(option) == QLatin1String("random"))
            return DeviceOptions::RandomOffset;
        return number(option, MaxImageSize);
    };
    const auto rate = [&](const QCommandLineOption &option) -> double {
        const std::optional<double> value = parseRate(parser.value(option));
        if (!value) {
            fail(QStringLiteral("bad value for --%1 (0 to 1): %2")
                     .arg(option.names().constFirst(), parser.value(option)));
            valid = false;
            return 0;
        }
        return *value;
    };
    if (parser.isSet(versionBytesOption)) {
        const QByteArray bytes = QByteArray::fromHex(parser.value(versionBytesOption).toLatin1());
        if (bytes.size() != 4 || parser.value(versionBytesOption).size() != 8) {
            fail(QStringLiteral("--version-bytes wants 8 hex digits"));
            valid = false;
        } else {
            options.hardwareMinor = quint8(bytes[0]);
            options.hardwareMajor = quint8(bytes[1]);
            options.firmwareMinor = quint8(bytes[2]);
            options.firmwareMajor = quint8(bytes[3]);
        }
    }
    if (parser.isSet(firmwareOption) &&
        !parseVersion(parser.value(firmwareOption), options.firmwareMajor, options.firmwareMinor)) {
        fail(QStringLiteral("--firmware wants MAJOR.MINOR in hex digits"));
        valid = false;
    }
    if (parser.isSet(hardwareOption) &&
        !parseVersion(parser.value(hardwareOption), options.hardwareMajor, options.hardwareMinor)) {
        fail(QStringLiteral("--hardware wants MAJOR.MINOR in hex digits"));
        valid = false;
    }
    const qint64 maxOffset = MaxImageSize;
    if (parser.isSet(silentProbesOption))
        options.silentProbes = int(number(silentProbesOption, 1 << 30));
    options.noVersionReply = parser.isSet(noVersionOption);
    options.badIdentification = parser.isSet(badIdOption);
    if (parser.isSet(cancelAtOption))
        options.cancelAt = offset(cancelAtOption);
    if (parser.isSet(silentAtOption))
        options.silentAt = offset(silentAtOption);
    if (parser.isSet(hangUpAtOption))
        options.hangUpAt = offset(hangUpAtOption);
    if (parser.isSet(strayStartAtOption))
        options.strayStartAt = offset(strayStartAtOption);
    if (parser.isSet(seedOption))
        options.seed = quint32(number(seedOption, 0xFFFFFFFF));
    if (parser.isSet(noiseOption))
        options.noiseRate = rate(noiseOption);
    if (parser.isSet(splitOption))
        options.splitRate = rate(splitOption);
    if (parser.isSet(splitGapOption))
        options.splitGapMs = int(number(splitGapOption, DeviceOptions::SplitBudgetMs));
    if (parser.isSet(corruptExtraOption))
        options.corruptExtraRate = rate(corruptExtraOption);
    if (parser.isSet(foreignOption))
        options.foreignFrameRate = rate(foreignOption);
    if (parser.isSet(duplicateOption))
        options.duplicateRate = rate(duplicateOption);
    if (parser.isSet(staleOption))
        options.staleRate = rate(staleOption);
    if (parser.isSet(delayOption))
        options.delayRate = rate(delayOption);
    if (parser.isSet(maxDelayOption))
        options.maxDelayMs = int(number(maxDelayOption, 10000));
    if (parser.isSet(retryEveryOption))
        options.retryEvery = int(number(retryEveryOption, 1 << 30));
    if (parser.isSet(randomOrderOption)) {
        options.randomOrder = true;
        options.randomSeed = quint32(number(randomOrderOption, 0xFFFFFFFF));
        if (!parser.isSet(imageSizeOption)) {
            fail(QStringLiteral("--random-order needs --image-size"));
            valid = false;
        }
    }
    if (parser.isSet(imageSizeOption))
        options.imageSize = number(imageSizeOption, maxOffset);
    options.unalignedRequests = parser.isSet(unalignedOption);
    options.announceAfterDone = parser.isSet(announceOption);
    if (parser.isSet(maxImageSizeOption))
        options.maxImageSize = number(maxImageSizeOption, maxOffset);
    options.outputPath = parser.value(outputOption);
    if (parser.isSet(quietAfterDoneOption))
        options.quietAfterDoneMs = int(number(quietAfterDoneOption, 1 << 30));
    const int restartMs = parser.isSet(restartOption) ? int(number(restartOption, 1 << 30)) : -1;
    const QString linkPath = parser.value(linkOption);
    if ((restartMs >= 0 || !linkPath.isEmpty()) && parser.isSet(portOption)) {
        fail(QStringLiteral("--link and --restart-after-done need the device's own "
                            "pseudo-terminal, not --port"));
        valid = false;
    }
    if (!valid)
        return 1;
    const bool verbose = parser.isSet(verboseOption);
    const bool exitAfterUpdate = parser.isSet(exitAfterUpdateOption);

    if (!installSignalHandlers(app)) {
        fail(QStringLiteral("cannot install signal handlers"));
        return 1;
    }
    exitAtEndOfPipedInput(app);

    // The line: a pseudo-terminal of our own, or the serial port asked for.
    PseudoTerminal pseudoTerminal;
    QSerialPort serialPort;
    QIODevice *line = nullptr;
    QString portPath;
    if (parser.isSet(portOption)) {
        portPath = parser.value(portOption);
        serialPort.setPortName(devicePath(portPath));
        applyLineSettings(serialPort);
        if (!serialPort.open(QIODevice::ReadWrite)) {
            fail(QStringLiteral("cannot open %1: %2").arg(portPath, serialPort.errorString()));
            return 1;
        }
        QObject::connect(&serialPort, &QSerialPort::errorOccurred, &app,
                         [&serialPort](QSerialPort::SerialPortError error) {
                             if (error == QSerialPort::NoError)
                                 return;
                             fail(QStringLiteral("serial port: %1").arg(serialPort.errorString()));
                             if (error == QSerialPort::ResourceError ||
                                 error == QSerialPort::ReadError) {
                                 serialPort.close();
                                 QCoreApplication::exit(1);
                             }
                         });
        line = &serialPort;
    } else {
        if (!pseudoTerminal.open()) {
            fail(QStringLiteral("cannot open a pseudo-terminal: %1")
                     .arg(pseudoTerminal.errorString()));
            return 1;
        }
        portPath = pseudoTerminal.slavePath();
        line = &pseudoTerminal;
    }

    // The link follows the pseudo-terminal: made when it opens, gone while it is away.
    const auto makeLink = [&] {
        if (linkPath.isEmpty())
            return;
        QFile::remove(linkPath);
        if (!QFile::link(portPath, linkPath))
            fail(QStringLiteral("cannot make the link %1").arg(linkPath));
    };
    const auto removeLink = [&] {
        if (!linkPath.isEmpty())
            QFile::remove(linkPath);
    };
    makeLink();
    bool restarting = false;

    SimulatedDevice device(line, options);
    QObject::connect(&device, &SimulatedDevice::logLine, &app, [](const QString &text) {
        printLine(stderr, QStringLiteral("devicesim: %1").arg(text));
    });
    if (verbose) {
        QObject::connect(&device, &SimulatedDevice::frameReceived, &app,
                         [](const FramePayload &payload) {
                             trace("<-", hex(payload.data(), PayloadSize),
                                   codeName(commandName(payload[1]), "command", payload[1]));
                         });
        QObject::connect(&device, &SimulatedDevice::frameDropped, &app,
                         [](const FramePayload &payload) {
                             trace("<-", hex(payload.data(), PayloadSize),
                                   QStringLiteral("bad check byte, dropped"));
                         });
        QObject::connect(&device, &SimulatedDevice::frameSent, &app, [](const DeviceFrame &frame) {
            QString what = codeName(responseName(frame[3]), "response", frame[3]);
            if (frame[3] == RSP_DATA_REQUEST)
                what += QStringLiteral(" %1").arg(requestedOffsetOf(frame));
            trace("->", hex(frame.data(), DeviceFrameSize), what);
        });
    }
    QObject::connect(&device, &SimulatedDevice::updateCancelled, &app, [](quint32 offset) {
        printLine(stdout, QStringLiteral("cancelled: %1").arg(offset));
    });
    QObject::connect(
        &device, &SimulatedDevice::updateCompleted, &app, [&](const QByteArray &image) {
            printLine(
                stdout,
                QStringLiteral("image: %1 bytes sha256 %2").arg(image.size()).arg(digest(image)));
            // The host pads the last piece with zeros. Unless --image-size gives the length, the
            // trailing zeros of that piece are taken for padding.
            qsizetype length = image.size();
            if (options.imageSize >= 0 && options.imageSize <= image.size() &&
                image.size() - options.imageSize < 4) {
                length = qsizetype(options.imageSize);
            } else {
                const qsizetype lastPiece = std::max<qsizetype>(0, image.size() - 4);
                while (length > lastPiece && image.at(length - 1) == '\0')
                    --length;
            }
            const QByteArray unpadded = image.left(length);
            printLine(stdout, QStringLiteral("unpadded: %1 bytes sha256 %2")
                                  .arg(unpadded.size())
                                  .arg(digest(unpadded)));
            if (exitAfterUpdate) {
                line->waitForBytesWritten(FlushWaitMs);
                QTimer::singleShot(ExitGraceMs, &app, [] { QCoreApplication::exit(0); });
            } else if (restartMs >= 0) {
                line->waitForBytesWritten(FlushWaitMs);
                QTimer::singleShot(RestartGraceMs, &app, [&] {
                    restarting = true;
                    removeLink();
                    pseudoTerminal.hangUp();
                    restarting = false;
                    printLine(stdout, QStringLiteral("restarting"));
                    QTimer::singleShot(restartMs, &app, [&] {
                        if (!pseudoTerminal.open()) {
                            fail(QStringLiteral("cannot open a pseudo-terminal: %1")
                                     .arg(pseudoTerminal.errorString()));
                            QCoreApplication::exit(1);
                            return;
                        }
                        portPath = pseudoTerminal.slavePath();
                        makeLink();
                        printLine(stdout, QStringLiteral("port: %1").arg(portPath));
                    });
                });
            }
        });

    // A device that has hung up its line (--hang-up-at) has nothing more to do.
    QObject::connect(line, &QIODevice::aboutToClose, &app, [&restarting] {
        if (!restarting)
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    });

    printLine(stdout, QStringLiteral("port: %1").arg(portPath));
    const int status = app.exec();

    const DeviceStats &stats = device.stats();
    if (verbose) {
        printLine(stderr, QStringLiteral("devicesim: %1 frames, %2 bad check bytes, %3 unexpected, "
                                         "%4 offset mismatches, %5 retry mismatches, "
                                         "%6 updates completed, %7 cancelled")
                              .arg(stats.framesReceived)
                              .arg(stats.badCheckFrames)
                              .arg(stats.unexpectedFrames)
                              .arg(stats.offsetMismatches)
                              .arg(stats.retryMismatches)
                              .arg(stats.updatesCompleted)
                              .arg(stats.updatesCancelled));
        printLine(stderr, QStringLiteral("devicesim: faults: %1 noise bursts, %2 split frames, "
                                         "%3 corrupted extra bytes, %4 foreign frames, "
                                         "%5 duplicated requests (%6 second answers), "
                                         "%7 stale requests, %8 delayed frames, "
                                         "%9 stray frame starts, %10 hang-ups")
                              .arg(stats.noiseBursts)
                              .arg(stats.splitFrames)
                              .arg(stats.corruptedExtras)
                              .arg(stats.foreignFrames)
                              .arg(stats.duplicatedRequests)
                              .arg(stats.duplicateAnswers)
                              .arg(stats.staleRequests)
                              .arg(stats.delayedFrames)
                              .arg(stats.strayStarts)
                              .arg(stats.hangUps));
    }
    if (line->isOpen())
        line->close();
    removeLink();
    return status;
}
