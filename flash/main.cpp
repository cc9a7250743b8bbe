// vantuflash: the firmware update from a terminal, a script or a production line, on one port or
// many at once.

#include "flashoptions.h"
#include "flashrun.h"
#include "imagesource.h"
#include "interruptwatch.h"
#include "portlist.h"
#include "recordlog.h"
#include "records.h"
#include "textreport.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSerialPortInfo>

#include <memory>
#include <optional>

namespace {

int usageError(const QString &text)
{
    printLine(stderr, QStringLiteral("vantuflash: %1").arg(text));
    printLine(stderr, QStringLiteral("Try 'vantuflash --help' for more."));
    return ExitCode::Usage;
}

// Qt's settings that only take effect before the application object is made.
void setQtEnvironment()
{
    // Qt's own event loop on Unix rather than GLib's: with a frame on every port every few hundred
    // microseconds, it costs a third less processor time per frame (measured with the bench's
    // gang section), and nothing here needs GLib. Set QT_NO_GLIB=0 to have GLib's.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    // The wire trace (-v) goes to standard error, also on Windows where a program started without
    // a console of its own (by a CI runner, a service, another program) would have Qt hand it to
    // the debugger instead.
    if (!qEnvironmentVariableIsSet("QT_FORCE_STDERR_LOGGING"))
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
}

// The exit code of a command line that asks for no run (a usage error, --help, --version,
// --list), after its answer is printed; nothing when it asks for a run.
std::optional<int> answerWithoutRun(const ParsedCommandLine &parsed)
{
    switch (parsed.action) {
    case ParsedCommandLine::Action::UsageError:
        return usageError(parsed.error);
    case ParsedCommandLine::Action::Help:
        printLine(stdout, parsed.helpText.trimmed());
        return ExitCode::Success;
    case ParsedCommandLine::Action::Version:
        printLine(stdout,
                  QStringLiteral("vantuflash %1").arg(QCoreApplication::applicationVersion()));
        return ExitCode::Success;
    case ParsedCommandLine::Action::Run:
        break;
    }
    if (parsed.options.mode == FlashOptions::Mode::List) {
        printPortList(QSerialPortInfo::availablePorts(), parsed.options.json);
        return ExitCode::Success;
    }
    return std::nullopt;
}

// Hashes the image once, before any port is opened (each port's update hashes again only a file
// that has changed); false, with the run's records of it written, when it cannot be used.
bool imageUsable(ImageSource &image, FlashRun &run)
{
    ImageSource::Problem problem = image.open();
    if (problem == ImageSource::Problem::None)
        problem = image.hashNow();
    image.close();
    if (problem == ImageSource::Problem::None)
        return true;
    run.recordWithoutStarting(
        Outcome::ImageError,
        QStringLiteral("Cannot use the image %1. Nothing was sent to any port.")
            .arg(image.describe(problem)));
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    setQtEnvironment();
    QCoreApplication app(argc, argv);
    const ConsoleOutput console;
    QCoreApplication::setApplicationName(QStringLiteral("vantuflash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTU_VERSION));

    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments());
    if (const std::optional<int> exitCode = answerWithoutRun(parsed))
        return *exitCode;
    const FlashOptions &options = parsed.options;

    // Everything that can be wrong with the command line, the log or the image is found before
    // any port is opened: nothing goes out on the wire then.
    QString problem;
    const QList<PortTarget> targets = expandTargets(options.targets, presentPorts(), &problem);
    if (targets.isEmpty())
        return usageError(problem);
    RecordLog log;
    if (!options.logPath.isEmpty() && !log.open(options.logPath, &problem)) {
        printLine(stderr, QStringLiteral("vantuflash: %1").arg(problem));
        return ExitCode::Usage;
    }
    std::shared_ptr<ImageSource> image;
    if (options.mode == FlashOptions::Mode::Update)
        image = std::make_shared<ImageSource>(options.imagePath);

    FlashRun run(options, targets, image, log.isOpen() ? &log : nullptr);
    if (image && !imageUsable(*image, run))
        return ExitCode::ImageUnusable;

    InterruptWatch interrupts;
    if (!interrupts.install())
        printLine(stderr, QStringLiteral("vantuflash: cannot catch interruptions; an interrupted "
                                         "run will not write its records"));
    QObject::connect(&interrupts, &InterruptWatch::interrupted, &run, &FlashRun::interrupt);
    QObject::connect(&run, &FlashRun::finished, &app, [&interrupts](int code) {
        interrupts.released();
        QCoreApplication::exit(code);
    });
    if (options.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("vantu.wire.debug=true"));

    run.start();
    return app.exec();
}
