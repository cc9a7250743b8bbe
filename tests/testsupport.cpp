#include "testsupport.h"

#include "updateprotocol.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace testing {

namespace {
WireTrace *activeTrace = nullptr;
} // namespace

WireTrace::WireTrace()
{
    activeTrace = this;
    m_clock.start();
    m_previous = qInstallMessageHandler(capture);
}

WireTrace::~WireTrace()
{
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(m_previous);
    activeTrace = nullptr;
}

void WireTrace::enable()
{
    QLoggingCategory::setFilterRules(QStringLiteral("vantu.wire.debug=true"));
}

int WireTrace::count(const char *direction) const
{
    return int(std::count_if(lines.begin(), lines.end(), [direction](const QString &line) {
        return line.contains(QLatin1String(direction));
    }));
}

void WireTrace::capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "vantu.wire") == 0) {
        activeTrace->lines.append(message);
        activeTrace->atMs.append(activeTrace->m_clock.elapsed());
        if (activeTrace->onLine)
            activeTrace->onLine(message);
        return;
    }
    if (activeTrace->m_previous)
        activeTrace->m_previous(type, context, message);
}

void failOnQtWarnings()
{
    // The offscreen platform's note on size hints; and under Wine, the two calls of Windows 10
    // that Wine 8 lacks (per-monitor DPI awareness, the title bar's scaling), without which Qt
    // goes on.
    QString allowed = QStringLiteral("This plugin does not support propagateSizeHints");
    if (underWine())
        allowed +=
            QStringLiteral("|SetProcessDpiAwarenessContext\\(DPI_AWARENESS_CONTEXT_PER_MONITOR_"
                           "AWARE_V2\\) failed|EnableNonClientDpiScaling\\(\\) failed");
    QTest::failOnWarning(QRegularExpression(QStringLiteral("^(?!%1)").arg(allowed)));
}

void FolderCase::beginCase()
{
    failOnQtWarnings();
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

QList<QJsonObject> logRecords(const QString &path)
{
    QFile file(path);
    QList<QJsonObject> records;
    if (!file.open(QIODevice::ReadOnly))
        return records;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            records.append(QJsonDocument::fromJson(line).object());
    }
    return records;
}

QString writeImage(const QString &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write test image %s", qPrintable(path));
    return path;
}

QByteArray padded(QByteArray bytes)
{
    while (bytes.size() % 4)
        bytes.append('\0');
    return bytes;
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

double cpuSeconds()
{
#ifdef Q_OS_WIN
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    const auto seconds = [](const FILETIME &time) {
        return double(quint64(time.dwHighDateTime) << 32 | time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
#endif
}

QByteArray escapeHeavyBytes(int count, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(count, Qt::Uninitialized);
    for (char &b : bytes) {
        const quint32 r = random.bounded(4u);
        b = char(r == 0 ? 0x7E : r == 1 ? 0x7D : random.bounded(256u));
    }
    return bytes;
}

bool runsAsRoot()
{
#ifdef Q_OS_UNIX
    return ::geteuid() == 0;
#else
    return false; // root and its rights are a Unix thing
#endif
}

bool underWine()
{
#ifdef Q_OS_WIN
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}

bool unprivilegedPass()
{
    return qEnvironmentVariableIsSet("VANTU_UNPRIVILEGED_PASS");
}

namespace {

// Runs the event loop until a precise timer started now for period has fired, or until a poll
// every 5 ms finds happened() true (without one, nothing is polled: the loop only waits).
void runUntilReference(std::chrono::milliseconds period, const std::function<bool()> &happened)
{
    QEventLoop loop;
    QTimer reference;
    reference.setSingleShot(true);
    reference.setTimerType(Qt::PreciseTimer);
    QObject::connect(&reference, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (happened())
            loop.quit();
    });
    // A period already over still runs the loop once: the tool's timers that are due fire first.
    reference.start(std::max(period, std::chrono::milliseconds(0)));
    if (happened)
        check.start();
    loop.exec();
}

} // namespace

void runPast(std::chrono::milliseconds period)
{
    runUntilReference(period, {});
}

bool neverWithin(std::chrono::milliseconds period, const std::function<bool()> &happened)
{
    if (happened())
        return false;
    runUntilReference(period, happened);
    return !happened();
}

bool pastFileClockTick(const QString &path)
{
    const QDateTime stamp = QFileInfo(path).lastModified();
    const QString probe = QFileInfo(path).absolutePath() + QStringLiteral("/.clock-tick");
    const bool moved = QTest::qWaitFor(
        [&] {
            QFile file(probe);
            return file.open(QIODevice::WriteOnly) && file.write("tick", 4) == 4 &&
                   (file.close(), QFileInfo(probe).lastModified() > stamp);
        },
        PatienceMs);
    QFile::remove(probe);
    return moved;
}

bool runUntil(const std::function<bool()> &predicate, int timeoutMs)
{
    if (predicate())
        return true;
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (predicate())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start();
    loop.exec();
    return predicate();
}

} // namespace testing
