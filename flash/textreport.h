#pragma once

#include "sessionresult.h"
#include "transferpace.h"
#include "updatesession.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>
#include <vector>

// What the program prints for people. On a terminal, one line per port redrawn in place at most
// ten times a second (port, versions, a bar, percent, rate, time left); anywhere else, plain lines
// without carriage returns or escape sequences, one per state change and per 10 %. Then a summary
// table. Errors go to standard error in every style.
class TextReport : public QObject
{
    Q_OBJECT

public:
    enum class Style
    {
        Terminal,
        Plain,
        Quiet, // errors only
    };

    static constexpr int RedrawIntervalMs = 100;

    explicit TextReport(Style style, QObject *parent = nullptr);

    // True when standard output is a terminal that understands escape sequences.
    static bool outputIsTerminal();

    int addPort(const QString &name);
    void rename(int port, const QString &name);
    // portGone: the port has gone while its session waits between boards
    // (UpdateSession::portGoneBetweenBoards).
    void stateChanged(int port, UpdateSession::State state, bool portGone = false);
    void found(int port, const DeviceVersions &versions);
    void progress(int port, quint32 offset, qint64 size);
    void result(int port, const SessionResult &result);
    // "vantuflash: text" on standard error.
    void error(const QString &text);
    // The last drawing, then the table of every record.
    void summary(const QList<const SessionResult *> &records);
    // The end of a --repeat run: a row per port (name, boards updated, the other results counted
    // by name); the records themselves are in the log.
    void portSummary(const QList<QStringList> &rows);

private:
    struct PortLine
    {
        QString name;
        QString versions;
        QString status; // shown when no transfer is under way
        bool transferring = false;
        quint32 offset = 0;
        qint64 size = 0;
        TransferPace pace;
        int lastDecile = 0;
        QString lastResult; // "updated (3.2 s)", kept beside what the port does next
    };

    QString lineFor(const PortLine &line, int nameWidth) const;
    void printTable(const QList<QStringList> &rows);
    void plain(const PortLine &line, const QString &text);
    void changed();
    void redraw();
    void eraseDrawing();

    Style m_style;
    std::vector<PortLine> m_ports;
    QTimer m_redrawTimer;
    int m_drawnLines = 0;
    int m_width = 80;
};

// Writes text and a line end to a stream, in UTF-8, and flushes it.
void printLine(std::FILE *stream, const QString &text);

// Makes standard output and error take printLine()'s bytes as they are, for the life of the
// object. On Windows: no line end turned into CR LF (a script reads the same lines as on Linux),
// and a console shows UTF-8 (its code page is given back at the end). Nothing to do elsewhere.
class ConsoleOutput
{
public:
    ConsoleOutput();
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput &) = delete;
    ConsoleOutput &operator=(const ConsoleOutput &) = delete;

private:
    unsigned m_codePage = 0; // the console's before, 0 where it was not changed
};
