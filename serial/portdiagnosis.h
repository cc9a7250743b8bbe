#pragma once

#include "portinfo.h"

#include <QList>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QString>
#include <QStringList>

#include <optional>

// Why a serial port could not be opened or was lost, told in the tool's own words: a short
// summary for the status line and a full explanation, with what to do next, for its tooltip.
//
// QSerialPort reports a held lock file, a port busy elsewhere and a missing permission all as
// PermissionError, so the cause is read from the system itself: the device node, the lock file,
// the processes that hold the device, the user's groups.
struct PortAdvice
{
    QString summary;
    QString details;
    // The sentence of details that says again what the summary says (the ports present beside a
    // missing one, the program that holds a busy one): a message that shows both in one line
    // leaves it out.
    QString repeated = {};

    // The summary and the details as one message, each thing said once.
    QString oneLine() const
    {
        return summary + QStringLiteral(". ") + QString(details).remove(repeated);
    }
};

// Where the system's facts are read from. The tool reads the real ones; tests hand in their own.
struct SystemFiles
{
    QString procRoot = QStringLiteral("/proc");
    QString groupFile = QStringLiteral("/etc/group");
};

// The words the explanations use for "try again", which differ from program to program (a
// button of the window, a command line): each program gives its own.
struct RetryAdvice
{
    QString pressAgain; // the fields in this order: each program fills them all at once
    QString press;      // after "log out and in again and", and after a run that has ended
    QString startAgain;
    QString checkPort;
    QString pickPort;
    QString pickAgain;
    QString checkVersion; // how to read a device's versions again
};

struct PortHolder
{
    qint64 pid = 0;
    QString program; // empty when unknown
};

// How the running process stands to the group that may use a device.
enum class GroupAccess
{
    Member,        // the process has the group
    NeedsNewLogin, // the user was added to it after logging in: the process does not have it yet
    NotMember,
};

// Where QSerialPort keeps the lock file of the port at devicePath, whether it exists or not.
QString portLockFilePath(const QString &devicePath);

// The live process (other than this one) named in a lock file, if any.
std::optional<PortHolder> lockFileHolder(const QString &lockFilePath,
                                         const SystemFiles &system = {});

// Processes other than this one that have the device open, found through their file descriptors.
QList<PortHolder> processesHolding(const QString &devicePath, const SystemFiles &system = {});

// True when a process of that name runs.
bool programRunning(const QString &program, const SystemFiles &system = {});

// groupFileText is the content of an /etc/group-like file; processGroups the groups the running
// process has (its effective group included).
GroupAccess groupAccess(const QByteArray &groupFileText, const QString &groupName, uint groupId,
                        const QString &userName, uint userPrimaryGroup,
                        const QList<uint> &processGroups);

// The advice for a failed open of the port typed as portName. systemError is errno as left by the
// failed open (0 when not known), qtError and qtErrorText what QSerialPort reported.
PortAdvice diagnoseOpenFailure(const QString &portName, QSerialPort::SerialPortError qtError,
                               const QString &qtErrorText, int systemError,
                               const QList<QSerialPortInfo> &presentPorts,
                               const SystemFiles &system, const RetryAdvice &retry);

// The device node an open port came from, to tell later whether it is still there: a node made
// anew under the same name (the next pseudo-terminal, an adapter plugged in again) is another one.
struct DeviceNode
{
    QString path;
    bool known = false;
    quint64 device = 0;
    quint64 inode = 0;
    qint64 createdNs = 0;
};
// The node of a port just opened from devicePath: on Unix read through the open descriptor, so
// that it is the node the port really uses; on Windows the port's name, which is gone once the
// port list no longer has it.
DeviceNode openedDeviceNode(const QString &devicePath, const QSerialPort &port);
bool deviceNodeGone(const DeviceNode &opened);

// The explanation behind "Port lost: <port>"; nodeGone says the port's device node has gone.
QString lostPortDetails(const QString &portName, bool nodeGone, const SystemFiles &system,
                        const RetryAdvice &retry);

// A warning about the chosen port worth showing before anything goes wrong (a ttyACM port with
// ModemManager running), or empty.
QString portWarning(const QString &portName, const SystemFiles &system = {});

// text with its lines broken at spaces so that none is longer than columns (a longer word stays
// whole), for a tooltip that a screen can show.
QString wrapText(const QString &text, int columns = 72);
