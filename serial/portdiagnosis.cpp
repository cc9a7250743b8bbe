#include "portdiagnosis.h"

#include "linesettings.h"
#include "portinfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>
#endif

namespace {

QString readFirstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(file.readLine(4096)).trimmed();
}

QString programOf(qint64 pid, const SystemFiles &system)
{
    return readFirstLine(QStringLiteral("%1/%2/comm").arg(system.procRoot).arg(pid));
}

bool processAlive(qint64 pid, const SystemFiles &system)
{
    return pid > 0 && QFileInfo::exists(QStringLiteral("%1/%2").arg(system.procRoot).arg(pid));
}

qint64 ownPid()
{
#ifdef Q_OS_UNIX
    return qint64(::getpid());
#else
    return 0;
#endif
}

// The processes in the /proc folder, this one left out.
QList<qint64> otherProcesses(const SystemFiles &system)
{
    QList<qint64> pids;
    const QStringList entries = QDir(system.procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok && pid != ownPid())
            pids.append(pid);
    }
    return pids;
}

QString holderText(const PortHolder &holder)
{
    return holder.program.isEmpty()
               ? QStringLiteral("process %1").arg(holder.pid)
               : QStringLiteral("%1 (PID %2)").arg(holder.program).arg(holder.pid);
}

#ifdef Q_OS_UNIX
// True when the device node is a terminal device, which every serial port is. A node that cannot
// be opened to ask (busy, no permission) counts as one: the other explanations take it from there.
bool isTerminal(const QString &devicePath)
{
    const int fd = ::open(QFile::encodeName(devicePath).constData(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;
    const bool terminal = ::isatty(fd) != 0;
    ::close(fd);
    return terminal;
}

PortAdvice notASerialPort(const QString &portName, const QString &devicePath,
                          const RetryAdvice &retry)
{
    return {QStringLiteral("Cannot open %1: not a serial port").arg(portName),
            QStringLiteral("%1 is not a serial port: it is no terminal device a serial adapter "
                           "would make. %2, then %3.")
                .arg(devicePath, retry.pickPort, retry.pressAgain)};
}
#endif

PortAdvice busyAdvice(const QString &portName, const QString &devicePath,
                      const std::optional<PortHolder> &holder, const RetryAdvice &retry)
{
    if (!holder) {
        return {QStringLiteral("Cannot open %1: in use by another program").arg(portName),
                QStringLiteral("Another program has %1 open. Close it (a serial monitor or "
                               "terminal left open is the usual case), then %2.")
                    .arg(devicePath, retry.pressAgain)};
    }
    const QString held = QStringLiteral("%1 is held by %2. ").arg(devicePath, holderText(*holder));
    return {QStringLiteral("Cannot open %1: in use by %2").arg(portName, holderText(*holder)),
            held + QStringLiteral("Close that program (a serial monitor or terminal left open is "
                                  "the usual case), then %1.")
                       .arg(retry.pressAgain),
            held};
}

#ifdef Q_OS_UNIX

QList<uint> processGroups()
{
    QList<uint> groups;
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> list(size_t(count), 0);
        const int got = ::getgroups(count, list.data());
        for (int i = 0; i < got; ++i)
            groups.append(uint(list[size_t(i)]));
    }
    groups.append(uint(::getegid()));
    return groups;
}

// A user's name, or the number where the system knows no name for it.
QString ownerName(uid_t uid)
{
    const passwd *owner = ::getpwuid(uid);
    return owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(uid);
}

PortAdvice permissionAdvice(const QString &portName, const QString &devicePath,
                            const SystemFiles &system, const RetryAdvice &retry)
{
    struct stat node = {};
    if (::stat(QFile::encodeName(devicePath).constData(), &node) != 0)
        return {};
    const group *owners = ::getgrgid(node.st_gid);
    const QString groupName =
        owners ? QString::fromLocal8Bit(owners->gr_name) : QString::number(node.st_gid);
    const passwd *user = ::getpwuid(::geteuid());
    const QString userName = user ? QString::fromLocal8Bit(user->pw_name) : QString();
    const bool groupMayUse = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);

    if (groupMayUse) {
        QFile groupFile(system.groupFile);
        const QByteArray groups =
            groupFile.open(QIODevice::ReadOnly) ? groupFile.readAll() : QByteArray();
        const GroupAccess access =
            groupAccess(groups, groupName, uint(node.st_gid), userName,
                        user ? uint(user->pw_gid) : uint(-1), processGroups());
        // Added to the group after logging in, the user needs a new login; not in it, the user
        // needs adding first.
        if (access != GroupAccess::Member) {
            const bool newLogin = access == GroupAccess::NeedsNewLogin;
            const QString summary =
                newLogin ? QStringLiteral("Cannot open %1: log out and in again to use group %2")
                         : QStringLiteral("Cannot open %1: permission denied (group %2)");
            const QString details =
                newLogin
                    ? QStringLiteral("%1 may be used by the group %2. Your user %3 was added to "
                                     "that group after logging in, so this program does not have "
                                     "it yet. Log out and in again (or restart the computer), "
                                     "then %4.")
                    : QStringLiteral("%1 may be used by the group %2, and your user %3 is not in "
                                     "it. Add yourself with\n    sudo usermod -aG %2 %3\nthen log "
                                     "out and in again and %4.");
            return {summary.arg(portName, groupName),
                    details.arg(devicePath, groupName, userName,
                                newLogin ? retry.pressAgain : retry.press)};
        }
    }
    return {QStringLiteral("Cannot open %1: permission denied").arg(portName),
            QStringLiteral("Your user %1 may not read and write %2 (owner %3, group %4, mode "
                           "%5). Ask the administrator for access, for example through a udev "
                           "rule for the adapter, then %6.")
                .arg(userName, devicePath, ownerName(node.st_uid), groupName)
                .arg(QString::number(node.st_mode & 07777, 8), retry.pressAgain)};
}

#endif

} // namespace

QString portLockFilePath(const QString &devicePath)
{
    // The same search as QSerialPort's: the first readable folder in which the lock file exists
    // or could be made; the name is the path below /dev with '/' made '_'.
    static const QStringList folders = {QStringLiteral("/var/lock"),
                                        QStringLiteral("/etc/locks"),
                                        QStringLiteral("/var/spool/locks"),
                                        QStringLiteral("/var/spool/uucp"),
                                        QStringLiteral("/tmp"),
                                        QStringLiteral("/var/tmp"),
                                        QStringLiteral("/var/lock/lockdev"),
                                        QStringLiteral("/run/lock")};
    QString name = devicePath;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString fileName = QStringLiteral("/LCK..") + name;
    for (const QString &folder : folders) {
        const QFileInfo info(folder);
        if (info.isReadable() && (QFile::exists(folder + fileName) || info.isWritable()))
            return folder + fileName;
    }
    return {};
}

std::optional<PortHolder> lockFileHolder(const QString &lockFilePath, const SystemFiles &system)
{
    if (lockFilePath.isEmpty())
        return std::nullopt;
    QFile lock(lockFilePath);
    if (!lock.open(QIODevice::ReadOnly))
        return std::nullopt;
    // Qt writes "pid\nprogram\nhost\n"; other programs write the PID alone, padded with spaces.
    const QList<QByteArray> lines = lock.read(4096).split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || pid == ownPid() || !processAlive(pid, system))
        return std::nullopt;
    PortHolder holder{pid, programOf(pid, system)};
    if (holder.program.isEmpty())
        holder.program = QString::fromLocal8Bit(lines.value(1).trimmed());
    return holder;
}

QList<PortHolder> processesHolding(const QString &devicePath, const SystemFiles &system)
{
    QList<PortHolder> holders;
    const QString target = QFileInfo(devicePath).canonicalFilePath();
    if (target.isEmpty())
        return holders;
    const QList<qint64> pids = otherProcesses(system);
    for (const qint64 pid : pids) {
        // Only the processes this user may look into are seen; that is where a forgotten serial
        // monitor of the same user is.
        const QDir fds(QStringLiteral("%1/%2/fd").arg(system.procRoot).arg(pid));
        const QStringList links = fds.entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : links) {
            if (QFileInfo(fds.filePath(fd)).symLinkTarget() == target) {
                holders.append({pid, programOf(pid, system)});
                break;
            }
        }
    }
    return holders;
}

bool programRunning(const QString &program, const SystemFiles &system)
{
    const QList<qint64> pids = otherProcesses(system);
    return std::any_of(pids.begin(), pids.end(),
                       [&](qint64 pid) { return programOf(pid, system) == program; });
}

GroupAccess groupAccess(const QByteArray &groupFileText, const QString &groupName, uint groupId,
                        const QString &userName, uint userPrimaryGroup,
                        const QList<uint> &processGroups)
{
    if (processGroups.contains(groupId))
        return GroupAccess::Member;
    if (userPrimaryGroup == groupId)
        return GroupAccess::NeedsNewLogin;
    // name:password:gid:member,member,...
    const QList<QByteArray> lines = groupFileText.split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.trimmed().split(':');
        if (fields.size() < 4 || QString::fromLocal8Bit(fields[0]) != groupName)
            continue;
        const QList<QByteArray> members = fields[3].split(',');
        for (const QByteArray &member : members) {
            if (!userName.isEmpty() && QString::fromLocal8Bit(member.trimmed()) == userName)
                return GroupAccess::NeedsNewLogin;
        }
    }
    return GroupAccess::NotMember;
}

PortAdvice diagnoseOpenFailure(const QString &portName, QSerialPort::SerialPortError qtError,
                               const QString &qtErrorText, int systemError,
                               const QList<QSerialPortInfo> &presentPorts,
                               const SystemFiles &system, const RetryAdvice &retry)
{
    const PortAdvice generic{QStringLiteral("Cannot open port %1: %2").arg(portName, qtErrorText),
                             QStringLiteral("The system could not open %1: %2. %3, then %4.")
                                 .arg(portName, qtErrorText, retry.checkPort, retry.pressAgain)};
    const QString present = presentPortNames(presentPorts);
    const auto noSuchPort = [&] {
        const QString portsNote = present.isEmpty()
                                      ? QStringLiteral("No serial ports are present. ")
                                      : QStringLiteral("Present now: %1. ").arg(present);
        return PortAdvice{
            present.isEmpty()
                ? QStringLiteral("Cannot open %1: no such port (no serial ports present)")
                      .arg(portName)
                : QStringLiteral("Cannot open %1: no such port (present: %2)")
                      .arg(portName, present),
            QStringLiteral("There is no serial port %1 on this computer. %2Plug the adapter in or "
                           "%3, then %4.")
                .arg(portName, portsNote, retry.pickPort, retry.pressAgain),
            portsNote};
    };

#ifdef Q_OS_UNIX
    Q_UNUSED(qtError)
    // The node itself, links resolved: that is what the port is locked and held under.
    const QString devicePath = resolvedPortNode(portName);
    struct stat node = {};
    if (portName.isEmpty() || ::stat(QFile::encodeName(devicePath).constData(), &node) != 0)
        return noSuchPort();
    if (!S_ISCHR(node.st_mode) || !isTerminal(devicePath))
        return notASerialPort(portName, devicePath, retry);
    if (const auto holder = lockFileHolder(portLockFilePath(devicePath), system))
        return busyAdvice(portName, devicePath, holder, retry);
    if (::access(QFile::encodeName(devicePath).constData(), R_OK | W_OK) != 0 &&
        (errno == EACCES || errno == EPERM)) {
        const PortAdvice advice = permissionAdvice(portName, devicePath, system, retry);
        if (!advice.summary.isEmpty())
            return advice;
    }
    const QList<PortHolder> holders = processesHolding(devicePath, system);
    if (!holders.isEmpty())
        return busyAdvice(portName, devicePath, holders.first(), retry);
    if (systemError == EBUSY)
        return busyAdvice(portName, devicePath, std::nullopt, retry);
    return generic;
#else
    Q_UNUSED(systemError)
    Q_UNUSED(system)
    // Windows opens a COM port for one program at a time and answers ERROR_ACCESS_DENIED to the
    // next, which QSerialPort reports as PermissionError.
    if (qtError == QSerialPort::DeviceNotFoundError)
        return noSuchPort();
    if (qtError == QSerialPort::PermissionError)
        return busyAdvice(portName, portName, std::nullopt, retry);
    return generic;
#endif
}

#ifdef Q_OS_UNIX
static DeviceNode deviceNode(const QString &devicePath, const struct stat &node)
{
    return {devicePath, true, quint64(node.st_dev), quint64(node.st_ino),
            qint64(node.st_ctim.tv_sec) * 1000000000 + node.st_ctim.tv_nsec};
}
#endif

DeviceNode openedDeviceNode(const QString &devicePath, const QSerialPort &port)
{
#ifdef Q_OS_UNIX
    // QSerialPort's handle is a descriptor here, a Windows HANDLE there.
    const int fd = port.handle();
    struct stat node = {};
    if (fd >= 0 && ::fstat(fd, &node) == 0)
        return deviceNode(devicePath, node);
    return {devicePath};
#else
    Q_UNUSED(port)
    // A COM port has no node to look at: it is known by its name, which goes from the list of
    // ports when its adapter is unplugged.
    return {devicePath, true};
#endif
}

bool deviceNodeGone(const DeviceNode &opened)
{
#ifdef Q_OS_UNIX
    if (!opened.known)
        return false;
    struct stat node = {};
    if (::stat(QFile::encodeName(opened.path).constData(), &node) != 0)
        return true;
    const DeviceNode now = deviceNode(opened.path, node);
    return now.device != opened.device || now.inode != opened.inode ||
           now.createdNs != opened.createdNs;
#else
    if (!opened.known)
        return false;
    const QString path = devicePath(opened.path);
    const QList<QSerialPortInfo> present = QSerialPortInfo::availablePorts();
    return std::none_of(present.begin(), present.end(), [&](const QSerialPortInfo &port) {
        return devicePath(port.portName()).compare(path, Qt::CaseInsensitive) == 0;
    });
#endif
}

QString lostPortDetails(const QString &portName, bool nodeGone, const SystemFiles &system,
                        const RetryAdvice &retry)
{
    const QString devicePath = portNodePath(portName);
    if (!nodeGone) {
        return QStringLiteral("%1 stopped working while in use. Check the cable and the adapter, "
                              "then %2.")
            .arg(devicePath, retry.startAgain);
    }
    QString details = QStringLiteral("%1 is gone: the USB serial adapter was unplugged or reset. "
                                     "Plug it in again, %2.")
                          .arg(devicePath, retry.pickAgain);
#ifdef Q_OS_LINUX
    if (programRunning(QStringLiteral("brltty"), system)) {
        details += QStringLiteral(
            "\nbrltty, a braille display service, is running: it takes some USB serial adapters "
            "(CH340, CP210x) for itself as soon as they are plugged in. If you use no braille "
            "display, remove it (sudo apt remove brltty) or stop it.");
    }
#else
    Q_UNUSED(system)
#endif
    return details;
}

QString portWarning(const QString &portName, const SystemFiles &system)
{
#ifdef Q_OS_LINUX
    // A /dev/serial/by-id link names the adapter, not the kind of device behind it.
    const QFileInfo path(portNodePath(portName));
    const QString real = path.canonicalFilePath();
    const QString device = QFileInfo(real.isEmpty() ? path.filePath() : real).fileName();
    if (!device.startsWith(QLatin1String("ttyACM")) ||
        !programRunning(QStringLiteral("ModemManager"), system))
        return {};
    return QStringLiteral("ModemManager is running: it sends modem commands to a newly plugged "
                          "ttyACM device for several seconds, which can upset the device's boot "
                          "loader. Tell it to leave the adapter alone with a udev rule setting "
                          "ENV{ID_MM_DEVICE_IGNORE}=\"1\" (see the README), or stop it: sudo "
                          "systemctl stop ModemManager.");
#else
    Q_UNUSED(portName)
    Q_UNUSED(system)
    return {};
#endif
}

QString wrapText(const QString &text, int columns)
{
    QStringList out;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        QString current;
        bool first = true;
        const QStringList words = line.split(QLatin1Char(' '));
        for (const QString &word : words) {
            if (!first && current.size() + 1 + word.size() > columns &&
                !current.trimmed().isEmpty()) {
                out.append(current);
                current = word;
            } else {
                current += (first ? QString() : QStringLiteral(" ")) + word;
            }
            first = false;
        }
        out.append(current);
    }
    return out.join(QLatin1Char('\n'));
}
