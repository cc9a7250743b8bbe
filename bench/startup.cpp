// Start-up harness: from main() to the window on screen, for the update window
// (BENCH_UPDATE_WINDOW, set up as the application's main does), for an empty QDialog built the same
// way as the baseline, or for a QDialog that shows one line of text (BENCH_TEXT_DIALOG): text is
// what makes a window load the fonts. Prints one line of steady-clock stamps in nanoseconds:
//   main <ns> app <ns> constructed <ns> exposed <ns> painted <ns>
// "exposed" is the window's first expose event, "painted" the next turn of the event loop after
// it, when the window's first frame has been drawn.
#include "steadyclock.h"

#include <QApplication>
#include <QDialog>
#include <QIcon>
#include <QTimer>
#include <QWindow>

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

namespace {

class ExposeWatch : public QObject
{
public:
    explicit ExposeWatch(QWidget *window) : window(window) {}

    std::int64_t exposedNs = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (exposedNs == 0 && event->type() == QEvent::Expose &&
            watched == window->windowHandle() && window->windowHandle()->isExposed()) {
            exposedNs = steadyNs();
            QTimer::singleShot(0, qApp, [this] {
                const std::int64_t paintedNs = steadyNs();
                std::printf("exposed %lld painted %lld\n", static_cast<long long>(exposedNs),
                            static_cast<long long>(paintedNs));
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget *window;
};

} // namespace

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
    ExposeWatch watch(&window);
    app.installEventFilter(&watch);
    window.show();
    return app.exec();
}
