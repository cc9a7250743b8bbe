// devicesim: plays the device on a pseudo-terminal (printed as "port: PATH") or on a real serial
// port, so the tool can be run and tested without hardware.

#include "interruptwatch.h"
#include "linesettings.h"
#include "pseudoterminal.h"
#include "simoptions.h"
#include "simulateddevice.h"
#include "updateprotocol.h"

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

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Time the host gets to read RSP_DONE before --exit-after-update closes the line.
constexpr int ExitGraceMs = 200;
// Time the host gets to read RSP_DONE before --restart-after-done takes the line away.
constexpr int RestartGraceMs = 50;
constexpr int FlushWaitMs = 1000;

void printLine(std::FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", qUtf8Printable(line));
    std::fflush(stream);
}

// SIGINT and SIGTERM end the event loop, so the device closes its line and exits 0. A reader of
// its output that goes away still ends it, as the default has it.
bool exitOnInterrupt(QCoreApplication &app)
{
    auto *watch = new InterruptWatch(&app);
    QObject::connect(watch, &InterruptWatch::interrupted, &app, [] { QCoreApplication::exit(0); });
    return watch->install() && std::signal(SIGPIPE, SIG_DFL) != SIG_ERR;
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

// The device's line: the serial port of --port, or a pseudo-terminal of its own, which --link
// names while it is there and --restart-after-done takes away and brings back. A device that has
// hung up its line (--hang-up-at) has nothing more to do.
struct Line
{
    explicit Line(const SimSettings &settings) : settings(settings) {}
    ~Line() { removeLink(); }
    QIODevice *device() { return settings.onPort ? static_cast<QIODevice *>(&serial) : &terminal; }
    bool open();
    bool openTerminal();
    void restart();
    void removeLink()
    {
        if (!settings.link.isEmpty())
            QFile::remove(settings.link);
    }

    const SimSettings &settings;
    PseudoTerminal terminal;
    QSerialPort serial;
    QString path;
    bool restarting = false;
};

bool Line::open()
{
    if (!settings.onPort && !openTerminal())
        return false;
    if (settings.onPort) {
        path = settings.port;
        serial.setPortName(devicePath(path));
        applyLineSettings(serial);
        if (!serial.open(QIODevice::ReadWrite)) {
            simFailure(QStringLiteral("cannot open %1: %2").arg(path, serial.errorString()));
            return false;
        }
        QObject::connect(
            &serial, &QSerialPort::errorOccurred, qApp, [this](QSerialPort::SerialPortError error) {
                if (error == QSerialPort::NoError)
                    return;
                simFailure(QStringLiteral("serial port: %1").arg(serial.errorString()));
                if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) {
                    serial.close();
                    QCoreApplication::exit(1);
                }
            });
    }
    QObject::connect(device(), &QIODevice::aboutToClose, qApp, [this] {
        if (!restarting)
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    });
    return true;
}

bool Line::openTerminal()
{
    if (!terminal.open()) {
        simFailure(QStringLiteral("cannot open a pseudo-terminal: %1").arg(terminal.errorString()));
        return false;
    }
    path = terminal.slavePath();
    if (!settings.link.isEmpty()) {
        QFile::remove(settings.link);
        if (!QFile::link(path, settings.link))
            simFailure(QStringLiteral("cannot make the link %1").arg(settings.link));
    }
    return true;
}

// Hangs up, as a USB device restarting takes its port along, and comes back later.
void Line::restart()
{
    restarting = true;
    removeLink();
    terminal.hangUp();
    restarting = false;
    printLine(stdout, QStringLiteral("restarting"));
    QTimer::singleShot(settings.restartMs, qApp, [this] {
        if (openTerminal())
            printLine(stdout, QStringLiteral("port: %1").arg(path));
        else
            QCoreApplication::exit(1);
    });
}

// A code's name from the protocol's table, or kind and number for a code it does not hold.
QString codeName(const char *name, const char *kind, quint8 code)
{
    return name ? QString::fromLatin1(name) : QString::asprintf("%s 0x%02x", kind, code);
}

void trace(const char *direction, const quint8 *bytes, int count, const QString &what)
{
    const QByteArray hex = QByteArray(reinterpret_cast<const char *>(bytes), count).toHex(' ');
    printLine(stderr, QStringLiteral("%1 %2 %3  %4")
                          .arg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")),
                               QLatin1String(direction), QLatin1String(hex), what));
}

// --verbose: every frame received and sent, on standard error.
void traceFrames(SimulatedDevice &device)
{
    QObject::connect(&device, &SimulatedDevice::frameReceived, qApp, [](const FramePayload &p) {
        trace("<-", p.data(), PayloadSize, codeName(commandName(p[1]), "command", p[1]));
    });
    QObject::connect(&device, &SimulatedDevice::frameDropped, qApp, [](const FramePayload &p) {
        trace("<-", p.data(), PayloadSize, QStringLiteral("bad check byte, dropped"));
    });
    QObject::connect(&device, &SimulatedDevice::frameSent, qApp, [](const DeviceFrame &frame) {
        QString what = codeName(responseName(frame[3]), "response", frame[3]);
        if (frame[3] == RSP_DATA_REQUEST)
            what += QStringLiteral(" %1").arg(requestedOffsetOf(frame));
        trace("->", frame.data(), DeviceFrameSize, what);
    });
}

QString digest(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The image received, on standard output: as it came, and without the host's padding. The host
// pads the last piece with zeros: unless --image-size gives the length, the trailing zeros of that
// piece are taken for padding.
void reportImage(const QByteArray &image, qint64 imageSize)
{
    printLine(stdout,
              QStringLiteral("image: %1 bytes sha256 %2").arg(image.size()).arg(digest(image)));
    qsizetype length = image.size();
    if (imageSize >= 0 && imageSize <= image.size() && image.size() - imageSize < 4) {
        length = qsizetype(imageSize);
    } else {
        const qsizetype lastPiece = std::max<qsizetype>(0, image.size() - 4);
        while (length > lastPiece && image.at(length - 1) == '\0')
            --length;
    }
    const QByteArray unpadded = image.left(length);
    printLine(
        stdout,
        QStringLiteral("unpadded: %1 bytes sha256 %2").arg(unpadded.size()).arg(digest(unpadded)));
}

// What an update's end leads to: a report, and with --exit-after-update or --restart-after-done
// the line's end.
void followUpdates(SimulatedDevice &device, Line &line, const SimSettings &settings)
{
    QObject::connect(&device, &SimulatedDevice::updateCancelled, qApp, [](quint32 offset) {
        printLine(stdout, QStringLiteral("cancelled: %1").arg(offset));
    });
    QObject::connect(
        &device, &SimulatedDevice::updateCompleted, qApp, [&](const QByteArray &image) {
            reportImage(image, settings.device.imageSize);
            if (settings.exitAfterUpdate || settings.restartMs >= 0)
                line.device()->waitForBytesWritten(FlushWaitMs);
            if (settings.exitAfterUpdate)
                QTimer::singleShot(ExitGraceMs, qApp, [] { QCoreApplication::exit(0); });
            else if (settings.restartMs >= 0)
                QTimer::singleShot(RestartGraceMs, qApp, [&line] { line.restart(); });
        });
}

void printStats(const DeviceStats &s)
{
    printLine(stderr, QString::asprintf("devicesim: %d frames, %d bad check bytes, %d unexpected, "
                                        "%d offset mismatches, %d retry mismatches, "
                                        "%d updates completed, %d cancelled",
                                        s.framesReceived, s.badCheckFrames, s.unexpectedFrames,
                                        s.offsetMismatches, s.retryMismatches, s.updatesCompleted,
                                        s.updatesCancelled));
    printLine(stderr,
              QString::asprintf("devicesim: faults: %d noise bursts, %d split frames, "
                                "%d corrupted extra bytes, %d foreign frames, "
                                "%d duplicated requests (%d second answers), "
                                "%d stale requests, %d delayed frames, "
                                "%d stray frame starts, %d hang-ups",
                                s.noiseBursts, s.splitFrames, s.corruptedExtras, s.foreignFrames,
                                s.duplicatedRequests, s.duplicateAnswers, s.staleRequests,
                                s.delayedFrames, s.strayStarts, s.hangUps));
}

} // namespace

int main(int argc, char *argv[])
{
    // From the first instruction on, so that a starter that stops the device at once (a test, a
    // script's clean-up) never finds it ignoring the signal: one that comes now waits for the loop.
    if (!InterruptWatch::catchSignals()) {
        std::fprintf(stderr, "devicesim: cannot install signal handlers\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("devicesim"));
    SimSettings settings;
    if (!parseSettings(app, settings))
        return 1;
    if (!exitOnInterrupt(app)) {
        simFailure(QStringLiteral("cannot install signal handlers"));
        return 1;
    }
    exitAtEndOfPipedInput(app);

    Line line(settings);
    if (!line.open())
        return 1;
    SimulatedDevice device(line.device(), settings.device);
    QObject::connect(&device, &SimulatedDevice::logLine, &app,
                     [](const QString &text) { simFailure(text); });
    if (settings.verbose)
        traceFrames(device);
    followUpdates(device, line, settings);

    printLine(stdout, QStringLiteral("port: %1").arg(line.path));
    const int status = app.exec();
    if (settings.verbose)
        printStats(device.stats());
    if (line.device()->isOpen())
        line.device()->close();
    return status;
}
