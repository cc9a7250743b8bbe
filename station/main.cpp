// vantustation: the update of a fixture of boards for an operator who looks rather than types.

#include "interruptwatch.h"
#include "stationoptions.h"
#include "stationwindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QIcon>

#include <cstdio>

int main(int argc, char *argv[])
{
    // Read before the window's application is made, so that --help and --version need no
    // display.
    StationCommandLine parsed;
    {
        const QCoreApplication reader(argc, argv);
        parsed = parseStationCommandLine(QCoreApplication::arguments());
    }
    switch (parsed.action) {
    case StationCommandLine::Action::UsageError:
        std::fprintf(stderr, "vantustation: %s\nTry 'vantustation --help' for more.\n",
                     qPrintable(parsed.error));
        return 1;
    case StationCommandLine::Action::Help:
        std::fputs(qPrintable(parsed.helpText), stdout);
        return 0;
    case StationCommandLine::Action::Version:
        std::printf("vantustation %s\n", VANTU_VERSION);
        return 0;
    case StationCommandLine::Action::Run:
        break;
    }

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("vantu"));
    QApplication::setApplicationName(QStringLiteral("vantustation"));
    QApplication::setApplicationVersion(QStringLiteral(VANTU_VERSION));
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/vantustation.png")));
    StationWindow window;
    // A station started at boot is stopped by the system: its records are written first.
    InterruptWatch interrupts;
    if (!interrupts.install())
        std::fputs("vantustation: cannot catch SIGTERM; a station stopped by the system will not "
                   "record the boards it was updating\n",
                   stderr);
    QObject::connect(&interrupts, &InterruptWatch::interrupted, &window, &StationWindow::quitNow);
    window.show();
    window.applyCommandLine(parsed);
    return app.exec();
}
