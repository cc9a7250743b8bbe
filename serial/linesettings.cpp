#include "linesettings.h"

#ifdef Q_OS_UNIX
#include <termios.h>
#endif

void applyLineSettings(QSerialPort &port)
{
    static_assert(LineBaudRate == QSerialPort::Baud57600);
    port.setBaudRate(LineBaudRate);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.setParity(QSerialPort::NoParity);
    port.setDataBits(QSerialPort::Data8);
    port.setStopBits(QSerialPort::OneStop);
}

QString devicePath(const QString &portName)
{
#ifdef Q_OS_WIN
    const QString deviceNamespace = QStringLiteral("\\\\.\\");
    return portName.startsWith(deviceNamespace) ? portName : deviceNamespace + portName;
#else
    return portName;
#endif
}

#ifdef Q_OS_UNIX
bool setRawLine(int fd)
{
    static_assert(LineBaudRate == 57600, "the termios speed below follows LineBaudRate");
    termios settings{};
    if (::tcgetattr(fd, &settings) < 0)
        return false;
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B57600);
    ::cfsetospeed(&settings, B57600);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}
#endif
