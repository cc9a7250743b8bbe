#include "textreport.h"

#include "records.h"
#include "updateprotocol.h"

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <qt_windows.h>
#endif

namespace {

constexpr int BarWidth = 20;
constexpr int MinimumBarWidth = 5;
constexpr int DefaultWidth = 80;
constexpr int ShortestName = 8;
constexpr int LongestName = 24;

int terminalWidth()
{
#ifdef Q_OS_UNIX
    winsize size = {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#elif defined(Q_OS_WIN)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#endif
    return DefaultWidth;
}

QString rateText(double bytesPerSecond)
{
    if (bytesPerSecond >= 1024 * 1024)
        return QStringLiteral("%1 MB/s").arg(bytesPerSecond / (1024 * 1024), 0, 'f', 1);
    if (bytesPerSecond >= 1024)
        return QStringLiteral("%1 kB/s").arg(bytesPerSecond / 1024, 0, 'f', 1);
    return QStringLiteral("%1 B/s").arg(qint64(bytesPerSecond));
}

QString stateText(UpdateSession::State state)
{
    switch (state) {
    case UpdateSession::State::WaitingForPort:
        return QStringLiteral("waiting for the port");
    case UpdateSession::State::Probing:
        return QStringLiteral("looking for the device");
    case UpdateSession::State::VersionQuery:
        return QStringLiteral("asking for the versions");
    case UpdateSession::State::Starting:
        return QStringLiteral("update started");
    case UpdateSession::State::Transferring:
        return QStringLiteral("sending the image");
    case UpdateSession::State::Finishing:
        return QStringLiteral("image sent, waiting for the device to confirm");
    case UpdateSession::State::AwaitingRemoval:
        return QStringLiteral("waiting for the device to leave");
    case UpdateSession::State::AwaitingNext:
        return QStringLiteral("waiting for the next device");
    case UpdateSession::State::Ended:
        break;
    }
    return {};
}

} // namespace

void printLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

ConsoleOutput::ConsoleOutput()
{
#ifdef Q_OS_WIN
    for (std::FILE *stream : {stdout, stderr})
        _setmode(_fileno(stream), _O_BINARY);
    DWORD mode = 0;
    const bool console = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ||
                         GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
    const UINT before = GetConsoleOutputCP();
    if (console && before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        m_codePage = before;
#endif
}

ConsoleOutput::~ConsoleOutput()
{
#ifdef Q_OS_WIN
    if (m_codePage != 0)
        SetConsoleOutputCP(m_codePage);
#endif
}

TextReport::TextReport(Style style, QObject *parent) : QObject(parent), m_style(style)
{
    m_redrawTimer.setSingleShot(true);
    m_redrawTimer.setInterval(RedrawIntervalMs);
    connect(&m_redrawTimer, &QTimer::timeout, this, &TextReport::redraw);
    if (m_style == Style::Terminal)
        m_width = terminalWidth();
}

bool TextReport::outputIsTerminal()
{
#ifdef Q_OS_UNIX
    return ::isatty(STDOUT_FILENO) == 1 && qgetenv("TERM") != "dumb";
#elif defined(Q_OS_WIN)
    if (!_isatty(_fileno(stdout)))
        return false;
    // Escape sequences need a console that interprets them (Windows 10 and later).
    const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) &&
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return false;
#endif
}

int TextReport::addPort(const QString &name)
{
    PortLine line;
    line.name = name;
    m_ports.push_back(std::move(line));
    return int(m_ports.size() - 1);
}

void TextReport::rename(int port, const QString &name)
{
    m_ports[port].name = name;
    changed();
}

void TextReport::plain(const PortLine &line, const QString &text)
{
    if (m_style == Style::Plain)
        printLine(stdout, line.name + QStringLiteral(": ") + text);
}

void TextReport::stateChanged(int port, UpdateSession::State state, bool portGone)
{
    PortLine &line = m_ports[port];
    line.transferring = state == UpdateSession::State::Transferring;
    if (state == UpdateSession::State::Ended)
        return;
    // A port that has gone has no device on it to wait for.
    line.status =
        portGone ? QStringLiteral("port gone, waiting for it to come back") : stateText(state);
    // In plain lines the transfer shows as its tenths.
    if (state != UpdateSession::State::Transferring)
        plain(line, line.status);
    if (state == UpdateSession::State::Starting || state == UpdateSession::State::Probing) {
        line.lastDecile = 0;
        line.offset = 0;
        line.pace.restart();
    }
    changed();
}

void TextReport::found(int port, const DeviceVersions &versions)
{
    PortLine &line = m_ports[port];
    line.versions = QStringLiteral("fw %1 hw %2").arg(versions.firmware, versions.hardware);
    plain(line,
          QStringLiteral("firmware %1, hardware %2").arg(versions.firmware, versions.hardware));
    changed();
}

void TextReport::progress(int port, quint32 offset, qint64 size)
{
    PortLine &line = m_ports[port];
    line.pace.progress(offset, size);
    line.offset = offset;
    line.size = size;
    const int decile = progressValue(offset, size) / 10;
    if (decile > line.lastDecile) {
        line.lastDecile = decile;
        plain(line, QStringLiteral("%1% (%2 of %3 bytes)")
                        .arg(decile * 10)
                        .arg(std::min<qint64>(offset, size))
                        .arg(size));
    }
    changed();
}

void TextReport::result(int port, const SessionResult &result)
{
    PortLine &line = m_ports[port];
    line.transferring = false;
    line.name = result.port;
    line.lastResult =
        QStringLiteral("%1 (%2 s)").arg(outcomeName(result.outcome)).arg(result.seconds, 0, 'f', 1);
    line.status = line.lastResult;
    plain(line, line.lastResult);
    if (exitCodeOf(result.outcome) != ExitCode::Success)
        error(result.port + QStringLiteral(": ") + result.message);
    changed();
}

void TextReport::error(const QString &text)
{
    if (m_style == Style::Terminal)
        eraseDrawing();
    printLine(stderr, QStringLiteral("vantuflash: ") + text);
    if (m_style == Style::Terminal)
        redraw();
}

QString TextReport::lineFor(const PortLine &line, int nameWidth) const
{
    // A long path (a /dev/serial/by-id link) keeps its end, where the adapters differ.
    const QString name = line.name.size() > nameWidth
                             ? QStringLiteral("\u2026") + line.name.right(nameWidth - 1)
                             : line.name.leftJustified(nameWidth);
    QString text = name + QStringLiteral("  ");
    text += line.versions.isEmpty() ? QString() : line.versions + QStringLiteral("  ");
    if (!line.transferring) {
        if (!line.lastResult.isEmpty() && line.status != line.lastResult)
            text += line.lastResult + QStringLiteral("; ");
        return text + line.status;
    }
    const int percent = progressValue(line.offset, line.size);
    QString figures = QStringLiteral("] %1%").arg(percent, 3);
    if (line.pace.known())
        figures += QStringLiteral("  ") + rateText(line.pace.bytesPerSecond()) +
                   QStringLiteral("  ") + durationText(line.pace.secondsLeft()) +
                   QStringLiteral(" left");
    // On a narrow terminal the bar gives way before the figures do.
    const int room = m_width - 1 - int(text.size() + 1 + figures.size());
    const int barWidth = std::clamp(room, MinimumBarWidth, BarWidth);
    const int filled = percent * barWidth / 100;
    return text + QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
           QString(barWidth - filled, QLatin1Char('-')) + figures;
}

void TextReport::changed()
{
    if (m_style == Style::Terminal && !m_redrawTimer.isActive())
        m_redrawTimer.start();
}

void TextReport::eraseDrawing()
{
    if (m_drawnLines > 0)
        std::printf("\x1b[%dA\r\x1b[J", m_drawnLines);
    std::fflush(stdout);
    m_drawnLines = 0;
}

void TextReport::redraw()
{
    if (m_style != Style::Terminal)
        return;
    // The terminal may have been resized since the last drawing.
    m_width = terminalWidth();
    int nameWidth = ShortestName;
    for (const PortLine &line : std::as_const(m_ports))
        nameWidth = std::max(nameWidth, int(line.name.size()));
    nameWidth = std::min(nameWidth, LongestName);
    QByteArray out;
    if (m_drawnLines > 0)
        out += "\x1b[" + QByteArray::number(m_drawnLines) + 'A';
    for (const PortLine &line : std::as_const(m_ports)) {
        // A line longer than the terminal would wrap and throw the redraw off by a line.
        out +=
            "\r\x1b[2K" + lineFor(line, nameWidth).left(std::max(1, m_width - 1)).toUtf8() + '\n';
    }
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    std::fflush(stdout);
    m_drawnLines = int(m_ports.size());
}

void TextReport::summary(const QList<const SessionResult *> &records)
{
    if (m_style == Style::Quiet)
        return;
    if (m_style == Style::Terminal) {
        m_redrawTimer.stop();
        redraw();
    }
    if (records.isEmpty())
        return;
    QList<QStringList> rows = {{QStringLiteral("PORT"), QStringLiteral("RESULT"),
                                QStringLiteral("FIRMWARE"), QStringLiteral("HARDWARE"),
                                QStringLiteral("SIZE"), QStringLiteral("SECONDS")}};
    for (const SessionResult *record : records) {
        const QString none = QStringLiteral("-");
        rows.append({record->port, outcomeName(record->outcome),
                     record->versions ? record->versions->firmware : none,
                     record->versions ? record->versions->hardware : none,
                     record->image ? QString::number(record->image->size) : none,
                     QString::number(record->seconds, 'f', 1)});
    }
    printTable(rows);
}

void TextReport::portSummary(const QList<QStringList> &rows)
{
    if (m_style == Style::Quiet)
        return;
    if (m_style == Style::Terminal) {
        m_redrawTimer.stop();
        redraw();
    }
    printTable(QList<QStringList>{{QStringLiteral("PORT"), QStringLiteral("UPDATED"),
                                   QStringLiteral("OTHER RESULTS")}} +
               rows);
}

void TextReport::printTable(const QList<QStringList> &rows)
{
    QList<int> widths(rows.first().size(), 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (int column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], int(row[column].size()));
    }
    printLine(stdout, QString());
    for (const QStringList &row : std::as_const(rows)) {
        QString text;
        for (int column = 0; column < row.size(); ++column) {
            const bool last = column == row.size() - 1;
            text += last ? row[column] : row[column].leftJustified(widths[column] + 2);
        }
        printLine(stdout, text);
    }
}
