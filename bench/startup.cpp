// Start-up harness: from main() to the window on screen, for the update window
// (BENCH_UPDATE_WINDOW, set up as the application's main does), for an empty QDialog built the same
// way as the baseline, or for a QDialog that shows one line of text (BENCH_TEXT_DIALOG): text is
// what makes a window load the fonts. Prints one line of steady-clock stamps in nanoseconds:
//   main <ns> app <ns> constructed <ns> exposed <ns> painted <ns>
// "exposed" is the window's first expose event, "painted" the next turn of the event loop after
// it, when the window's first frame has been drawn.
#include "exposewatch.h"
#include "steadyclock.h"

#include <QApplication>
#include <QDialog>
#include <QIcon>
#include <QTimer>

#include <cstdio>

#ifdef BENCH_UPDATE_WINDOW
#include "vantuupdate.h"
using Window = vantuUpdate;
#elif defined(BENCH_TEXT_DIALOG)
#include <QLabel>
class Window : public QDialog
{
public:
    Window() : label(QStringLiteral("Firmware is updated"), this) {}

private:
    QLabel label;
};
#else
using Window = QDialog;
#endif

int main(int argc, char *argv[])
{
    const std::int64_t mainNs = steadyNs();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#ifdef BENCH_UPDATE_WINDOW
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/vantuupdate.png")));
#endif
    const std::int64_t appNs = steadyNs();
    Window window;
    const std::int64_t constructedNs = steadyNs();
    std::printf("main %lld app %lld constructed %lld ", static_cast<long long>(mainNs),
                static_cast<long long>(appNs), static_cast<long long>(constructedNs));
    new ExposeWatch(window, [] {
        const std::int64_t exposedNs = steadyNs();
        QTimer::singleShot(0, qApp, [exposedNs] {
            std::printf("exposed %lld painted %lld\n", static_cast<long long>(exposedNs),
                        static_cast<long long>(steadyNs()));
            std::fflush(stdout);
            QCoreApplication::exit(0);
        });
    });
    return app.exec();
}
