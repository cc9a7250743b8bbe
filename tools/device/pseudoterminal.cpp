#include "pseudoterminal.h"

#include "linesettings.h"

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr qint64 ReadChunk = 4096;

// Milliseconds left for poll(), -1 for a deadline that never expires.
int pollTimeout(const QDeadlineTimer &deadline)
{
    return deadline.isForever() ? -1 : int(std::min<qint64>(deadline.remainingTime(), 1 << 30));
}

} // namespace

bool PtyPair::open(QString &error)
{
    const auto fail = [&](const char *step) {
        error = QStringLiteral("%1: %2").arg(QLatin1String(step),
                                             QString::fromLocal8Bit(std::strerror(errno)));
        close();
        return false;
    };
    close();
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0)
        return fail("posix_openpt");
    if (::grantpt(m_master) < 0)
        return fail("grantpt");
    if (::unlockpt(m_master) < 0)
        return fail("unlockpt");
    char name[128];
    if (::ptsname_r(m_master, name, sizeof name) != 0)
        return fail("ptsname");
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0)
        return fail("open slave");
    if (!setRawLine(m_slave))
        return fail("tcsetattr");
    m_slavePath = QString::fromLocal8Bit(name);
    return true;
}

void PtyPair::close()
{
    for (int *fd : {&m_slave, &m_master}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_slavePath.clear();
}

PseudoTerminal::PseudoTerminal(QObject *parent) : QIODevice(parent) {}

PseudoTerminal::~PseudoTerminal()
{
    closeDescriptors();
}

bool PseudoTerminal::open()
{
    return open(ReadWrite);
}

bool PseudoTerminal::open(OpenMode mode)
{
    if (isOpen()) {
        setErrorString(QStringLiteral("The pseudo-terminal is already open"));
        return false;
    }
    if ((mode & ReadWrite) != ReadWrite) {
        setErrorString(QStringLiteral("A pseudo-terminal opens for reading and writing only"));
        return false;
    }

    QString error;
    if (!m_pty.open(error)) {
        setErrorString(error);
        return false;
    }
    const int masterFd = m_pty.masterFd();

    m_readNotifier = new QSocketNotifier(qintptr(masterFd), QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PseudoTerminal::onReadActivated);
    m_writeNotifier = new QSocketNotifier(qintptr(masterFd), QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { flushPending(); });

    m_readBuffer.clear();
    m_writeBuffer.clear();
    setErrorString(QString());
    return QIODevice::open(ReadWrite | Unbuffered);
}

void PseudoTerminal::close()
{
    if (!isOpen())
        return;
    flushWriteBuffer();
    QIODevice::close();
    closeDescriptors();
}

void PseudoTerminal::hangUp()
{
    m_writeBuffer.clear();
    close();
}

qint64 PseudoTerminal::bytesAvailable() const
{
    int pending = 0;
    if (reading() && ::ioctl(m_pty.masterFd(), FIONREAD, &pending) < 0)
        pending = 0;
    return m_readBuffer.size() + qint64(pending) + QIODevice::bytesAvailable();
}

qint64 PseudoTerminal::bytesToWrite() const
{
    return m_writeBuffer.size() + QIODevice::bytesToWrite();
}

template <typename Attempt> bool PseudoTerminal::pollUntil(short events, int msecs, Attempt attempt)
{
    const QDeadlineTimer deadline(msecs);
    for (;;) {
        pollfd entry{m_pty.masterFd(), events, 0};
        const int ready = ::poll(&entry, 1, pollTimeout(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const int outcome = attempt();
        if (outcome != 0 || deadline.hasExpired())
            return outcome > 0;
    }
}

bool PseudoTerminal::waitForReadyRead(int msecs)
{
    return isOpen() && reading() && pollUntil(POLLIN, msecs, [this] {
               if (!fillReadBuffer())
                   return reading() ? 0 : -1; // -1: the line went away
               onReadActivated();
               return 1;
           });
}

bool PseudoTerminal::waitForBytesWritten(int msecs)
{
    return isOpen() && !m_writeBuffer.isEmpty() && pollUntil(POLLOUT, msecs, [this] {
               const qint64 written = flushPending();
               return written > 0 ? 1 : written < 0 ? -1 : 0;
           });
}

qint64 PseudoTerminal::readData(char *data, qint64 maxSize)
{
    if (reading() && m_readBuffer.size() < maxSize)
        fillReadBuffer();
    const qint64 copied = std::min<qint64>(maxSize, m_readBuffer.size());
    std::memcpy(data, m_readBuffer.constData(), size_t(copied));
    m_readBuffer.remove(0, copied);
    return copied == 0 && !reading() ? -1 : copied;
}

qint64 PseudoTerminal::writeData(const char *data, qint64 maxSize)
{
    if (m_pty.masterFd() < 0 || !m_writeNotifier)
        return -1;
    const bool wasEmpty = m_writeBuffer.isEmpty();
    m_writeBuffer.append(data, maxSize);
    if (!flushWriteBuffer())
        return -1;
    if (!m_writeBuffer.isEmpty()) {
        m_writeNotifier->setEnabled(true);
    } else if (wasEmpty) {
        // Everything went out at once; report it from the event loop, as a socket would, so a
        // bytesWritten() handler never runs inside the caller's write().
        QMetaObject::invokeMethod(
            this, [this, maxSize] { emit bytesWritten(maxSize); }, Qt::QueuedConnection);
    }
    return maxSize;
}

bool PseudoTerminal::fillReadBuffer()
{
    if (m_pty.masterFd() < 0)
        return false;
    bool received = false;
    char chunk[ReadChunk];
    for (;;) {
        const ssize_t n = ::read(m_pty.masterFd(), chunk, sizeof chunk);
        if (n > 0) {
            m_readBuffer.append(chunk, n);
            received = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            lineLost(n == 0 ? EIO : errno);
        return received;
    }
}

bool PseudoTerminal::flushWriteBuffer()
{
    if (m_pty.masterFd() < 0)
        return false;
    qint64 done = 0;
    while (done < m_writeBuffer.size()) {
        const ssize_t n = ::write(m_pty.masterFd(), m_writeBuffer.constData() + done,
                                  size_t(m_writeBuffer.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        m_writeBuffer.remove(0, done);
        lineLost(n < 0 ? errno : EIO);
        return false;
    }
    m_writeBuffer.remove(0, done);
    return true;
}

void PseudoTerminal::onReadActivated()
{
    fillReadBuffer();
    if (m_readBuffer.isEmpty() || m_emittingReadyRead)
        return;
    m_emittingReadyRead = true;
    emit readyRead();
    m_emittingReadyRead = false;
}

bool PseudoTerminal::reading() const
{
    return m_readNotifier && m_readNotifier->isEnabled();
}

qint64 PseudoTerminal::flushPending()
{
    const qint64 before = m_writeBuffer.size();
    const bool ok = flushWriteBuffer();
    if (m_writeBuffer.isEmpty() && m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    const qint64 written = ok ? before - m_writeBuffer.size() : -1;
    if (written > 0)
        emit bytesWritten(written);
    return written;
}

void PseudoTerminal::lineLost(int error)
{
    // A master whose slave side is gone reads EIO and stays readable; stop listening so the event
    // loop does not spin on it. The device stays open until its owner closes it.
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    setErrorString(QString::fromLocal8Bit(std::strerror(error)));
    emit readChannelFinished();
}

void PseudoTerminal::closeDescriptors()
{
    // The notifiers may be the sender of the slot that got us here: never delete them directly.
    for (QSocketNotifier *notifier : {m_readNotifier, m_writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    m_pty.close();
    m_readBuffer.clear();
    m_writeBuffer.clear();
}
