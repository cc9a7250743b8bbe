#pragma once

#include "porttarget.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>

// What the programs' command lines and settings share about ports and guards: the ports given by
// name, serial number or USB IDs, and the versions the guards compare.

// One option of a program's table: its names, comma-separated ("p,port"), the name of its value
// (nullptr for a flag) and its line in --help.
struct OptionRow
{
    const char *names;
    const char *valueName;
    const char *help;
};

// The options of a table, in its order. A table's rows become code only here: a program's options
// cost it a loop, not a constructor call per option.
QList<QCommandLineOption> optionsOf(const OptionRow *rows, qsizetype count);
template <qsizetype N> QList<QCommandLineOption> optionsOf(const OptionRow (&rows)[N])
{
    return optionsOf(rows, N);
}

// What a command line asks for besides its options: a run, --help, --version, or nothing usable.
struct CommandLineRequest
{
    enum class Action
    {
        Run,
        Help,
        Version,
        UsageError,
    };
    Action action = Action::Run;
    QString error;    // for UsageError
    QString helpText; // for Help

    void refuse(const QString &why)
    {
        action = Action::UsageError;
        error = why;
    }
};

// Parses arguments (arguments()[0] is the program) into parser. False, with request set, for
// --help, --version or arguments that do not parse: there are no options to read then.
bool readRequest(QCommandLineParser &parser, const QStringList &arguments,
                 const QCommandLineOption &help, const QCommandLineOption &version,
                 CommandLineRequest *request);

// The ports in the order they were given, whatever option named them, appended to targets; usb
// may be null for a program without --usb. An error, or empty.
QString targetsFromOptions(const QCommandLineParser &parser, const QCommandLineOption &port,
                           const QCommandLineOption &serial, const QCommandLineOption *usb,
                           QList<PortTarget> *targets);

// The targets to run: --usb expanded to every port present with those IDs (kept as it is when none
// is present yet, to be waited for). A port named twice, directly or through a link to the same
// device node, or matched by two targets, is an error: the text says which.
QList<PortTarget> expandTargets(const QList<PortTarget> &targets,
                                const QList<QSerialPortInfo> &present, QString *error);

// A version as the records write it, "05.07": two two-digit hex numbers; in any case, kept in
// lowercase. Empty when the text is not one.
QString normalVersion(const QString &text);

// Each of values as a version, appended to versions; an error that names what gave them
// ("--hardware"), or empty.
QString readVersions(const QStringList &values, const QString &what, QStringList *versions);
