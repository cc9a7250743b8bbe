#pragma once

#include <QString>

// A USB serial adapter plugged in by a test, as the system's port list sees one: listed under its
// name with its serial number and USB IDs, its node /dev/NAME leading to a pseudo-terminal's
// slave. It stays plugged in for as long as the object lives.
//
// It works only inside tests/with-fake-adapters.sh, whose private mount namespace gives an empty
// /sys/class/tty, an empty /run/udev and a /dev that takes new entries in memory; anywhere else it
// refuses and changes nothing. What it writes is what libudev reads for a port:
// - /sys/class/tty/NAME, a real sysfs directory (libudev takes none on another file system)
//   mounted there, the /dev/tty device's; it has the tty subsystem link;
// - that directory's uevent file, overmounted with MAJOR and MINOR of the node and DEVNAME;
// - the udev database entry /run/udev/data/cMAJOR:MINOR with ID_SERIAL_SHORT, ID_VENDOR_ID,
//   ID_MODEL_ID, ID_VENDOR and ID_MODEL.
class FakeAdapter
{
public:
    struct Identity
    {
        QString serialNumber;
        QString vendorId = QStringLiteral("0403");
        QString productId = QStringLiteral("6001");
        QString vendor = QStringLiteral("FTDI");
        QString model = QStringLiteral("FT232R_USB_UART");
    };

    // Plugs in an adapter called name (such as ttyUSB7) whose node leads to node.
    FakeAdapter(const QString &name, const Identity &identity, const QString &node);
    ~FakeAdapter();
    FakeAdapter(const FakeAdapter &) = delete;
    FakeAdapter &operator=(const FakeAdapter &) = delete;

    bool isPlugged() const { return m_made && m_error.isEmpty(); }
    // What went wrong while plugging it in or pulling it out; empty when nothing did.
    QString error() const { return m_error; }

    // Why no adapter can be plugged in here; empty inside tests/with-fake-adapters.sh.
    static QString unavailableReason();

private:
    void plug(const QString &node);
    void unplug();
    void fail(const QString &what); // what, and what errno says

    QString m_name;
    Identity m_identity;
    QString m_devicePath; // /sys/class/tty/NAME
    QString m_databasePath;
    QString m_ueventPath; // the staged uevent file mounted over the device's
    bool m_made = false;  // something was made that unplugging takes away
    QString m_error;
};
