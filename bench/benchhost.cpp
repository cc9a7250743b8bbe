// The host side of one bench update, run as a child of the bench driver, which plays the device
// on the pseudo-terminal whose slave path it passes here.
//
//   vantu_bench_host --host window|minimal|port|raw --port /dev/pts/N --image FILE
//
// window: the real update window, driven as a user would: port typed in, image chosen with File,
//         Download clicked.
// minimal: the least a Qt host with a window can do: a window with one progress bar, QSerialPort,
//         one write per frame, the bar set for every frame as the tool does, no activity lights.
//         What the update window is held against on a real display.
// port:   no window, the same QSerialPort settings and the same image reading, answering each
//         request from a readyRead slot: what Qt and the serial port cost without the window.
// raw:    no Qt event loop, blocking reads and writes on the slave descriptor: what the
//         pseudo-terminal itself costs.
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
#include <QWindow>

#include <functional>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

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

// Reads the driver's commands from standard input without blocking the event loop.
class ControlChannel : public QObject
{
    Q_OBJECT

public:
    explicit ControlChannel(QObject *parent = nullptr)
        : QObject(parent), notifier(STDIN_FILENO, QSocketNotifier::Read, this)
    {
        connect(&notifier, &QSocketNotifier::activated, this, &ControlChannel::readInput);
    }

signals:
    void command(const QByteArray &name);

private:
    void readInput()
    {
        char chunk[256];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                return;
            notifier.setEnabled(false);
            QCoreApplication::exit(n == 0 ? 0 : 2); // the driver has gone
            return;
        }
        pending.append(chunk, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray line = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            emit command(line);
        }
    }

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
            fail(QStringLiteral("timed out waiting for %1").arg(what));
        }
    });
    timer->start();
}

// Opens the line as the window does: 57600 8N1, no flow control; fails the run otherwise.
void openLine(SerialLine &line, const QString &portPath)
{
    if (!line.open(portPath))
        fail(QStringLiteral("cannot open %1: %2").arg(portPath, line.failure().errorText));
}

// What the host had used when Download was pressed, for the report.
struct AtDownload
{
    CpuTime cpu;
    qint64 rssKb = 0;

    void take()
    {
        rssKb = selfStatusKb("VmRSS");
        cpu = selfCpuTime();
    }
};

// The real window, driven through its widgets.
class WindowHost : public QObject
{
    Q_OBJECT

public:
    WindowHost(const QString &portPath, const QString &imagePath)
        : portPath(portPath), imagePath(imagePath)
    {
        connect(&control, &ControlChannel::command, this, &WindowHost::onCommand);
        qApp->installEventFilter(this);
        dialog.show();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // The procedure starts as a user would start it: once the window is on screen.
        if (!started && event->type() == QEvent::Expose && watched == dialog.windowHandle() &&
            dialog.windowHandle()->isExposed()) {
            started = true;
            qApp->removeEventFilter(this);
            QTimer::singleShot(0, this,
                               [this] { testing::startProcedure(dialog, portPath, imagePath); });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void onCommand(const QByteArray &name)
    {
        if (name == "download") {
            whenTrue(
                this, [this] { return dialog.updateState() == UpdateState::Ready; },
                [this] {
                    atDownload.take();
                    markForTracer();
                    QTest::mouseClick(child<QPushButton>("pushButtonDownload"), Qt::LeftButton);
                },
                QStringLiteral("the version text"));
        } else if (name == "report") {
            whenTrue(
                this, [this] { return status() == QStringLiteral("Firmware is updated"); },
                [this] {
                    markForTracer();
                    tellDriver(reportLine(atDownload.cpu, atDownload.rssKb, status()));
                },
                QStringLiteral("\"Firmware is updated\" (status: %1)").arg(status()));
        } else if (name == "quit") {
            QCoreApplication::quit();
        }
    }

    template <typename T> T *child(const char *name)
    {
        return dialog.findChild<T *>(QLatin1String(name));
    }
    QString status() { return child<QLabel>("labelStatusBar")->text(); }

    QString portPath;
    QString imagePath;
    vantuUpdate dialog;
    ControlChannel control;
    bool started = false;
    AtDownload atDownload;
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
            fail(QStringLiteral("cannot open %1").arg(imagePath));
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
                fail(QStringLiteral("cannot read the image"));
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

// What a stripped host does on the driver's commands: START once the device has given its
// versions, the report once it has sent RSP_DONE. mark: the transfer is marked for the tracer.
void followCommand(QObject *host, const QByteArray &name, Procedure &procedure,
                   AtDownload &atDownload, bool mark, const std::function<void()> &sendStart)
{
    if (name == "download") {
        whenTrue(
            host, [&procedure] { return procedure.ready; },
            [&atDownload, mark, sendStart] {
                atDownload.take();
                if (mark)
                    markForTracer();
                sendStart();
            },
            QStringLiteral("RSP_VERSION"));
    } else if (name == "report") {
        whenTrue(
            host, [&procedure] { return procedure.done; },
            [&atDownload, mark] {
                if (mark)
                    markForTracer();
                tellDriver(reportLine(atDownload.cpu, atDownload.rssKb,
                                      QStringLiteral("Firmware is updated")));
            },
            QStringLiteral("RSP_DONE"));
    } else if (name == "quit") {
        QCoreApplication::quit();
    }
}

// QSerialPort and the event loop, without the window.
class PortHost : public QObject
{
    Q_OBJECT

public:
    PortHost(const QString &portPath, const QString &imagePath) : procedure(imagePath)
    {
        connect(&control, &ControlChannel::command, this, &PortHost::onCommand);
        openLine(line, portPath);
        connect(&line.serialPort(), &QSerialPort::readyRead, this, &PortHost::receive);
        send(commandPayload(CMD_PING));
    }

private:
    void send(FramePayload payload) { line.send(payload); }

    void receive()
    {
        line.drain(parser, [this](const DeviceFrame &frame) {
            FramePayload next;
            if (procedure.answer(frame, next))
                send(next);
        });
    }

    void onCommand(const QByteArray &name)
    {
        followCommand(this, name, procedure, atDownload, false,
                      [this] { send(commandPayload(CMD_START)); });
    }

    Procedure procedure;
    SerialLine line;
    FrameParser parser;
    ControlChannel control;
    AtDownload atDownload;
};

// A window with one progress bar and QSerialPort: one write per frame, the bar set for every
// frame sent, no lights. Starts once the window is on screen, as the window host does.
class MinimalHost : public QWidget
{
    Q_OBJECT

public:
    MinimalHost(const QString &portPath, const QString &imagePath)
        : procedure(imagePath), portPath(portPath), imageSize(QFile(imagePath).size()), bar(this)
    {
        setWindowTitle(QStringLiteral("minimal host"));
        resize(296, 170);
        bar.setGeometry(30, 70, 251, 23);
        bar.setValue(0);
        connect(&control, &ControlChannel::command, this, &MinimalHost::onCommand);
        connect(&line.serialPort(), &QSerialPort::readyRead, this, &MinimalHost::receive);
        qApp->installEventFilter(this);
        show();
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!started && event->type() == QEvent::Expose && watched == windowHandle() &&
            windowHandle()->isExposed()) {
            started = true;
            qApp->removeEventFilter(this);
            QTimer::singleShot(0, this, &MinimalHost::openAndProbe);
        }
        return QWidget::eventFilter(watched, event);
    }

private:
    void openAndProbe()
    {
        openLine(line, portPath);
        send(commandPayload(CMD_PING));
    }

    // One write per frame, left to the port's write notifier: the least a Qt host does.
    void send(FramePayload payload)
    {
        const HostFrame frame = encodeHostFrame(payload);
        line.serialPort().write(reinterpret_cast<const char *>(frame.bytes.data()), frame.size);
        bar.setValue(progressValue(offset, imageSize));
    }

    void receive()
    {
        line.drain(parser, [this](const DeviceFrame &frame) {
            if (isDeviceFrame(frame) && frame[3] == RSP_DATA_REQUEST)
                offset = requestedOffsetOf(frame);
            FramePayload next;
            if (procedure.answer(frame, next))
                send(next);
        });
    }

    void onCommand(const QByteArray &name)
    {
        followCommand(this, name, procedure, atDownload, true,
                      [this] { send(commandPayload(CMD_START)); });
    }

    Procedure procedure;
    QString portPath;
    qint64 imageSize = 0;
    quint32 offset = 0;
    SerialLine line;
    FrameParser parser;
    QProgressBar bar;
    ControlChannel control;
    bool started = false;
    AtDownload atDownload;
};

// Blocking reads and writes on the slave descriptor, one write per frame.
int runRawHost(const QString &portPath, const QString &imagePath)
{
    Procedure procedure(imagePath);
    const int fd = ::open(QFile::encodeName(portPath).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        fail(QStringLiteral("cannot open %1").arg(portPath));
    setRawLine(fd);

    const auto send = [fd](const FramePayload &payload) {
        const HostFrame frame = encodeHostFrame(payload);
        if (::write(fd, frame.bytes.data(), size_t(frame.size)) != frame.size)
            fail(QStringLiteral("short write"));
    };
    send(commandPayload(CMD_PING));

    FrameParser parser;
    AtDownload atDownload;
    QByteArray commands;
    // The driver's commands can overtake the frames they follow: act on them once both are in.
    bool downloadAsked = false;
    bool startSent = false;
    bool reportAsked = false;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail(QStringLiteral("poll failed"));
        }
        if (fds[0].revents & POLLIN) {
            quint8 buffer[1024];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                fail(QStringLiteral("line lost"));
            parser.feed(buffer, n, [&](const DeviceFrame &frame) {
                FramePayload next;
                if (procedure.answer(frame, next))
                    send(next);
            });
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            char chunk[256];
            const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0)
                return 0;
            commands.append(chunk, n);
            qsizetype end;
            while ((end = commands.indexOf('\n')) >= 0) {
                const QByteArray name = commands.left(end).trimmed();
                commands.remove(0, end + 1);
                if (name == "download")
                    downloadAsked = true;
                else if (name == "report")
                    reportAsked = true;
                else if (name == "quit")
                    return 0;
            }
        }
        if (downloadAsked && procedure.ready && !startSent) {
            startSent = true;
            atDownload.take();
            send(commandPayload(CMD_START));
        }
        if (reportAsked && procedure.done) {
            reportAsked = false;
            tellDriver(reportLine(atDownload.cpu, atDownload.rssKb,
                                  QStringLiteral("Firmware is updated")));
        }
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser options;
    const QCommandLineOption hostOption(QStringLiteral("host"), QStringLiteral("Host kind."),
                                        QStringLiteral("window|minimal|port|raw"),
                                        QStringLiteral("window"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Slave path."),
                                        QStringLiteral("path"));
    const QCommandLineOption imageOption(QStringLiteral("image"), QStringLiteral("Image file."),
                                         QStringLiteral("path"));
    options.addOptions({hostOption, portOption, imageOption});
    options.process(arguments);
    const QString host = options.value(hostOption);
    const QString port = options.value(portOption);
    const QString image = options.value(imageOption);
    if (port.isEmpty() || image.isEmpty())
        fail(QStringLiteral("--port and --image are needed"));

    if (host == QLatin1String("raw"))
        return runRawHost(port, image);

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (host == QLatin1String("window")) {
        WindowHost window(port, image);
        return app.exec();
    }
    if (host == QLatin1String("minimal")) {
        MinimalHost minimal(port, image);
        return app.exec();
    }
    if (host == QLatin1String("port")) {
        PortHost portHost(port, image);
        return app.exec();
    }
    fail(QStringLiteral("unknown host %1").arg(host));
}

#include "benchhost.moc"
