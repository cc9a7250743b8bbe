// The host side of one bench update, run as a child of the bench driver, which plays the device
// on the pseudo-terminal whose slave path it passes here.
//
//   vantu_bench_host --host window|minimal|port|raw --port /dev/pts/N --image FILE
//
// The driver talks to this process through its standard input and output, a line at a time:
//   driver -> host: "download" (the device has answered the version query), "report" (the device
//                   has sent RSP_DONE), "quit".
//   host -> driver: "report {json}" (procstats.h), "error <text>".
//
// The window and minimal hosts mark the transfer for a system call tracer: an empty writev on no
// descriptor (writev(-1, NULL, 0), which fails at once) right before the download starts and
// right after the device's RSP_DONE is seen, so that the X connection's writes can be counted
// between the two marks.
#include "exposewatch.h"
#include "procstats.h"

#include "framecodec.h"
#include "imagesource.h"
#include "linesettings.h"
#include "serialline.h"
#include "updateprotocol.h"
#include "vantuupdate.h"
#include "windowsupport.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int ConditionTimeoutMs = 10000;

void tellDriver(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

[[noreturn]] void fail(const QString &text)
{
    tellDriver("error " + text.toUtf8() + '\n');
    std::exit(2);
}

void markForTracer()
{
    [[maybe_unused]] const ssize_t ignored = ::writev(-1, nullptr, 0);
}

// Reads what the driver has sent on standard input and hands over each complete line; returns
// the read's result, 0 once the driver has gone.
ssize_t readCommands(QByteArray &pending, const std::function<void(const QByteArray &)> &take)
{
    char chunk[256];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0)
        return n < 0 && errno == EINTR ? 1 : n;
    pending.append(chunk, n);
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QByteArray line = pending.left(end).trimmed();
        pending.remove(0, end + 1);
        take(line);
    }
    return n;
}

// Reads the driver's commands from standard input without blocking the event loop.
class ControlChannel : public QObject
{
    Q_OBJECT

public:
    explicit ControlChannel(QObject *parent = nullptr)
        : QObject(parent), notifier(STDIN_FILENO, QSocketNotifier::Read, this)
    {
        connect(&notifier, &QSocketNotifier::activated, this, [this] {
            const ssize_t n =
                readCommands(pending, [this](const QByteArray &line) { emit command(line); });
            if (n <= 0) {
                notifier.setEnabled(false);
                QCoreApplication::exit(n == 0 ? 0 : 2); // the driver has gone
            }
        });
    }

signals:
    void command(const QByteArray &name);

private:
    QSocketNotifier notifier;
    QByteArray pending;
};

// Runs action once condition holds, checking every millisecond; fails the run after the timeout.
// Used only outside the transfer, so the checks never compete with the traffic measured.
void whenTrue(QObject *context, std::function<bool()> condition, std::function<void()> action,
              const QString &what)
{
    auto *timer = new QTimer(context);
    QElapsedTimer clock;
    clock.start();
    timer->setInterval(1);
    QObject::connect(timer, &QTimer::timeout, context, [=] {
        if (condition()) {
            timer->stop();
            timer->deleteLater();
            action();
        } else if (clock.hasExpired(ConditionTimeoutMs)) {
            fail(u"timed out waiting for %1"_s.arg(what));
        }
    });
    timer->start();
}

// What a Qt host does on the driver's commands: once ready() holds (waiting for readyText),
// download() after the figures at Download are taken; once done() holds (doneText), the report.
// mark: the transfer is marked for the tracer.
class CommandedHost : public QObject
{
public:
    explicit CommandedHost(bool mark) : mark(mark)
    {
        connect(&control, &ControlChannel::command, this, &CommandedHost::onCommand);
    }

protected:
    virtual bool ready() = 0;
    virtual void download() = 0;
    virtual bool done() = 0;
    virtual QString readyText() = 0;
    virtual QString doneText() = 0;

private:
    void onCommand(const QByteArray &name)
    {
        if (name == "download")
            whenTrue(
                this, [this] { return ready(); }, [this] { startDownload(); }, readyText());
        else if (name == "report")
            whenTrue(
                this, [this] { return done(); }, [this] { report(); }, doneText());
        else if (name == "quit")
            QCoreApplication::quit();
    }
    void startDownload()
    {
        atDownload.take();
        if (mark)
            markForTracer();
        download();
    }
    void report()
    {
        if (mark)
            markForTracer();
        tellDriver(atDownload.reportLine());
    }

    bool mark;
    ControlChannel control;
    AtDownload atDownload;
};

// The real window, driven as a user would: port typed in, image chosen with File, Download
// clicked.
class WindowHost : public CommandedHost
{
public:
    WindowHost(const QString &portPath, const QString &imagePath)
        : CommandedHost(true), watch(dialog, [this, portPath, imagePath] {
              // From the event loop, as a user would start it: it may open the file dialog.
              QTimer::singleShot(0, &dialog,
                                 [=] { testing::startProcedure(dialog, portPath, imagePath); });
          })
    {}

private:
    bool ready() override { return dialog.updateState() == UpdateState::Ready; }
    void download() override
    {
        QTest::mouseClick(child<QPushButton>("pushButtonDownload"), Qt::LeftButton);
    }
    bool done() override { return status() == u"Firmware is updated"_s; }
    QString readyText() override { return u"the version text"_s; }
    QString doneText() override { return u"\"Firmware is updated\" (status: %1)"_s.arg(status()); }

    template <typename T> T *child(const char *name)
    {
        return dialog.findChild<T *>(QLatin1String(name));
    }
    QString status() { return child<QLabel>("labelStatusBar")->text(); }

    vantuUpdate dialog;
    ExposeWatch watch;
};

// Answers one device frame with the next host payload, as the update procedure does; shared by
// the stripped hosts. Each data request is answered by the image source the two programs use.
// Returns false when the frame asks for nothing to be sent.
class Procedure
{
public:
    explicit Procedure(const QString &imagePath) : image(imagePath)
    {
        if (image.open() != ImageSource::Problem::None)
            fail(u"cannot open %1"_s.arg(imagePath));
        image.beginUpdate();
    }

    bool answer(const DeviceFrame &frame, FramePayload &next)
    {
        if (!isDeviceFrame(frame))
            return false;
        switch (frame[3]) {
        case RSP_PRESENT:
            next = commandPayload(CMD_GET_VERSION);
            return true;
        case RSP_VERSION:
            ready = true;
            return false;
        case RSP_DATA_REQUEST: {
            const ImageSource::Answer answer = image.answer(requestedOffsetOf(frame), next);
            if (answer != ImageSource::Answer::Piece && answer != ImageSource::Answer::End)
                fail(u"cannot read the image"_s);
            return true;
        }
        case RSP_DONE:
            done = true;
            return false;
        default:
            return false;
        }
    }

    bool ready = false;
    bool done = false;

private:
    ImageSource image;
};

// The port host: no window, the same QSerialPort settings and the same image reading, answering
// each request from a readyRead slot: what Qt and the serial port cost without the window. The
// minimal host: the least a Qt host with a window can do, what the update window is held against
// on a real display: one progress bar set for every frame sent as the tool does, QSerialPort, one
// write per frame, no lights; it starts once the window is on screen, as the window host does.
class StrippedHost : public CommandedHost
{
public:
    StrippedHost(const QString &portPath, const QString &imagePath, bool minimal)
        : CommandedHost(minimal), procedure(imagePath), portPath(portPath),
          imageSize(QFile(imagePath).size())
    {
        connect(&line.serialPort(), &QSerialPort::readyRead, this, &StrippedHost::receive);
        if (!minimal) {
            openAndProbe();
            return;
        }
        window = std::make_unique<QWidget>();
        window->setWindowTitle(u"minimal host"_s);
        window->resize(296, 170);
        bar = new QProgressBar(window.get());
        bar->setGeometry(30, 70, 251, 23);
        bar->setValue(0);
        new ExposeWatch(*window,
                        [this] { QTimer::singleShot(0, this, [this] { openAndProbe(); }); });
    }

private:
    void openAndProbe()
    {
        // As the window opens it: 57600 8N1, no flow control.
        if (!line.open(portPath))
            fail(u"cannot open %1: %2"_s.arg(portPath, line.failure().errorText));
        send(commandPayload(CMD_PING));
    }

    void send(const FramePayload &payload)
    {
        if (!bar)
            return line.send(payload);
        // One write per frame, left to the port's write notifier: the least a Qt host does.
        const HostFrame frame = encodeHostFrame(payload);
        line.serialPort().write(reinterpret_cast<const char *>(frame.bytes.data()), frame.size);
        bar->setValue(progressValue(offset, imageSize));
    }

    void receive()
    {
        line.drain(parser, [this](const DeviceFrame &frame) {
            if (bar && isDeviceFrame(frame) && frame[3] == RSP_DATA_REQUEST)
                offset = requestedOffsetOf(frame);
            FramePayload next;
            if (procedure.answer(frame, next))
                send(next);
        });
    }

    bool ready() override { return procedure.ready; }
    void download() override { send(commandPayload(CMD_START)); }
    bool done() override { return procedure.done; }
    QString readyText() override { return u"RSP_VERSION"_s; }
    QString doneText() override { return u"RSP_DONE"_s; }

    Procedure procedure;
    QString portPath;
    qint64 imageSize = 0;
    quint32 offset = 0;
    SerialLine line;
    FrameParser parser;
    std::unique_ptr<QWidget> window;
    QProgressBar *bar = nullptr;
};

// No Qt event loop, blocking reads and writes on the slave descriptor, one write per frame: what
// the pseudo-terminal itself costs.
int runRawHost(const QString &portPath, const QString &imagePath)
{
    Procedure procedure(imagePath);
    const int fd = ::open(QFile::encodeName(portPath).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        fail(u"cannot open %1"_s.arg(portPath));
    setRawLine(fd);

    const auto send = [fd](const FramePayload &payload) {
        const HostFrame frame = encodeHostFrame(payload);
        if (::write(fd, frame.bytes.data(), size_t(frame.size)) != frame.size)
            fail(u"short write"_s);
    };
    send(commandPayload(CMD_PING));

    FrameParser parser;
    AtDownload atDownload;
    QByteArray commands;
    // The driver's commands can overtake the frames they follow: act on them once both are in.
    bool downloadAsked = false;
    bool startSent = false;
    bool reportAsked = false;
    bool quit = false;
    while (!quit) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail(u"poll failed"_s);
        }
        if (fds[0].revents & POLLIN) {
            quint8 buffer[1024];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                fail(u"line lost"_s);
            parser.feed(buffer, n, [&](const DeviceFrame &frame) {
                FramePayload next;
                if (procedure.answer(frame, next))
                    send(next);
            });
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) &&
            readCommands(commands, [&](const QByteArray &name) {
                downloadAsked = downloadAsked || name == "download";
                reportAsked = reportAsked || name == "report";
                quit = quit || name == "quit";
            }) <= 0)
            return 0;
        if (downloadAsked && procedure.ready && !startSent) {
            startSent = true;
            atDownload.take();
            send(commandPayload(CMD_START));
        }
        if (reportAsked && procedure.done) {
            reportAsked = false;
            tellDriver(atDownload.reportLine());
        }
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser options;
    const QCommandLineOption hostOption(u"host"_s, u"Host kind."_s, u"window|minimal|port|raw"_s,
                                        u"window"_s);
    const QCommandLineOption portOption(u"port"_s, u"Slave path."_s, u"path"_s);
    const QCommandLineOption imageOption(u"image"_s, u"Image file."_s, u"path"_s);
    options.addOptions({hostOption, portOption, imageOption});
    options.process(arguments);
    const QString host = options.value(hostOption);
    const QString port = options.value(portOption);
    const QString image = options.value(imageOption);
    if (port.isEmpty() || image.isEmpty())
        fail(u"--port and --image are needed"_s);

    if (host == QLatin1String("raw"))
        return runRawHost(port, image);

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::unique_ptr<CommandedHost> running;
    if (host == QLatin1String("window"))
        running = std::make_unique<WindowHost>(port, image);
    else if (host == QLatin1String("minimal") || host == QLatin1String("port"))
        running = std::make_unique<StrippedHost>(port, image, host == QLatin1String("minimal"));
    else
        fail(u"unknown host %1"_s.arg(host));
    return app.exec();
}

#include "benchhost.moc"
