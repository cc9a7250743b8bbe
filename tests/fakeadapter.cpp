#include "fakeadapter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

const char *const TtyClass = "/sys/class/tty";
const char *const UdevDatabase = "/run/udev/data";
// A tty device every Linux system has; its directory stands in for the adapter's.
const char *const StandInDevice = "/sys/devices/virtual/tty/tty";
const char *const StageVariable = "VANTU_FAKE_ADAPTERS";

bool onFileSystem(const char *path, unsigned long type)
{
    struct statfs info
    {
    };
    return ::statfs(path, &info) == 0 && static_cast<unsigned long>(info.f_type) == type;
}

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush();
}

} // namespace

QString FakeAdapter::unavailableReason()
{
    if (qEnvironmentVariableIsEmpty(StageVariable))
        return QStringLiteral("%1 is not set: run the test through tests/with-fake-adapters.sh")
            .arg(QLatin1String(StageVariable));
    // Never outside the namespace: these are the file systems the wrapper mounted.
    if (!onFileSystem(TtyClass, TMPFS_MAGIC) || !onFileSystem("/run/udev", TMPFS_MAGIC) ||
        !onFileSystem("/dev", OVERLAYFS_SUPER_MAGIC))
        return QStringLiteral("/sys/class/tty, /run/udev or /dev is not the wrapper's");
    if (!QFileInfo(QLatin1String(StandInDevice)).isDir())
        return QStringLiteral("%1 is missing").arg(QLatin1String(StandInDevice));
    return {};
}

FakeAdapter::FakeAdapter(const QString &name, const Identity &identity, const QString &node)
    : m_name(name), m_identity(identity)
{
    m_error = unavailableReason();
    if (m_error.isEmpty())
        plug(node);
}

FakeAdapter::~FakeAdapter()
{
    unplug();
}

void FakeAdapter::fail(const QString &what)
{
    const int code = errno;
    if (m_error.isEmpty())
        m_error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(code)));
}

void FakeAdapter::plug(const QString &node)
{
    struct stat nodeInfo
    {
    };
    if (::stat(encoded(node).constData(), &nodeInfo) != 0 || !S_ISCHR(nodeInfo.st_mode)) {
        m_error = QStringLiteral("%1 is not a character device").arg(node);
        return;
    }
    const uint major = ::major(nodeInfo.st_rdev);
    const uint minor = ::minor(nodeInfo.st_rdev);
    m_made = true; // from here on, unplug() takes away whatever was made

    // The node and what udev knows first, the listing last: a port is listed once it is whole.
    const QString link = QStringLiteral("/dev/") + m_name;
    if (::symlink(encoded(node).constData(), encoded(link).constData()) != 0) {
        fail(QStringLiteral("cannot make %1").arg(link));
        return;
    }
    m_databasePath =
        QStringLiteral("%1/c%2:%3").arg(QLatin1String(UdevDatabase)).arg(major).arg(minor);
    const QByteArray properties =
        QStringLiteral("E:ID_SERIAL_SHORT=%1\nE:ID_VENDOR_ID=%2\n"
                       "E:ID_MODEL_ID=%3\nE:ID_VENDOR=%4\nE:ID_MODEL=%5\n")
            .arg(m_identity.serialNumber, m_identity.vendorId, m_identity.productId,
                 m_identity.vendor, m_identity.model)
            .toUtf8();
    if (!QDir().mkpath(QLatin1String(UdevDatabase)) || !writeFile(m_databasePath, properties)) {
        fail(QStringLiteral("cannot write %1").arg(m_databasePath));
        return;
    }

    const QString stage = qEnvironmentVariable(StageVariable);
    m_ueventPath = stage + QStringLiteral("/") + m_name + QStringLiteral(".uevent");
    const QByteArray uevent = QStringLiteral("MAJOR=%1\nMINOR=%2\nDEVNAME=%3\n")
                                  .arg(major)
                                  .arg(minor)
                                  .arg(m_name)
                                  .toUtf8();
    if (!QDir().mkpath(stage) || !writeFile(m_ueventPath, uevent)) {
        fail(QStringLiteral("cannot write %1").arg(m_ueventPath));
        return;
    }
    m_devicePath = QLatin1String(TtyClass) + QStringLiteral("/") + m_name;
    const QByteArray device = encoded(m_devicePath);
    if (::mkdir(device.constData(), 0755) != 0 ||
        ::mount(StandInDevice, device.constData(), nullptr, MS_BIND, nullptr) != 0) {
        fail(QStringLiteral("cannot make %1").arg(m_devicePath));
        return;
    }
    const QByteArray deviceUevent = device + "/uevent";
    if (::mount(encoded(m_ueventPath).constData(), deviceUevent.constData(), nullptr, MS_BIND,
                nullptr) != 0)
        fail(QStringLiteral("cannot mount %1's uevent").arg(m_devicePath));
}

void FakeAdapter::unplug()
{
    if (!m_made)
        return;
    m_made = false;
    if (!m_devicePath.isEmpty()) {
        const QByteArray device = encoded(m_devicePath);
        const QByteArray deviceUevent = device + "/uevent";
        // Where a mount was not made, umount2() finds no mount point and leaves the path be.
        ::umount2(deviceUevent.constData(), MNT_DETACH);
        ::umount2(device.constData(), MNT_DETACH);
        if (::rmdir(device.constData()) != 0 && errno != ENOENT)
            fail(QStringLiteral("cannot remove %1").arg(m_devicePath));
    }
    if (!m_ueventPath.isEmpty())
        QFile::remove(m_ueventPath);
    if (!m_databasePath.isEmpty())
        QFile::remove(m_databasePath);
    const QByteArray link = encoded(QStringLiteral("/dev/") + m_name);
    if (::unlink(link.constData()) != 0 && errno != ENOENT)
        fail(QStringLiteral("cannot remove /dev/%1").arg(m_name));
}
