#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

class QSocketNotifier;

// A pseudo-terminal for the device's side, the one opener of them all: the master, non-blocking
// and close-on-exec, for the device, and the slave path for the host. The slave is kept open with
// the pair, raw, so that the host can close and reopen its port without the master seeing a
// hang-up, and the line settings last.
class PtyPair
{
public:
    PtyPair() = default;
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;
    ~PtyPair() { close(); }

    // A new pseudo-terminal; false with error, and nothing open, when the system refuses.
    bool open(QString &error);
    void close();
    int masterFd() const { return m_master; }
    QString slavePath() const { return m_slavePath; } // such as /dev/pts/3; empty when closed

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};

// The master side of a Linux pseudo-terminal as a sequential QIODevice: the simulated device
// writes and reads here, the tool opens slavePath() as its serial port (PtyPair). Writes never
// lose bytes: what the line refuses now is kept and written when it has room.
class PseudoTerminal : public QIODevice
{
    Q_OBJECT

public:
    explicit PseudoTerminal(QObject *parent = nullptr);
    ~PseudoTerminal() override;

    // Creates a new pseudo-terminal and opens this device read-write. False (with errorString())
    // when the system refuses, or when already open.
    bool open();
    // Same as open(); any mode other than ReadWrite is refused.
    bool open(OpenMode mode) override;

    // Closes the master after one last attempt to write what is still buffered.
    void close() override;
    // Drops what is still buffered and closes the master and the kept slave descriptor: the tool's
    // side sees the line vanish (reads fail, poll reports a hang-up).
    void hangUp();

    QString slavePath() const { return m_pty.slavePath(); }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override;
    bool waitForReadyRead(int msecs) override;
    bool waitForBytesWritten(int msecs) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    // Moves what the line holds into m_readBuffer; true when anything arrived.
    bool fillReadBuffer();
    // Writes as much of m_writeBuffer as the line takes; false on a write error.
    bool flushWriteBuffer();
    // The same, the write notifier off once all is out, and bytesWritten(): the bytes written, -1
    // on an error.
    qint64 flushPending();
    bool reading() const; // the read notifier is on: the line is there
    // Polls the master for events and tries attempt() at each, until it says done (1) or failed
    // (-1), or msecs have passed.
    template <typename Attempt> bool pollUntil(short events, int msecs, Attempt attempt);
    void onReadActivated();
    void lineLost(int error);
    void closeDescriptors();

    PtyPair m_pty;
    QByteArray m_readBuffer;
    QByteArray m_writeBuffer;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    bool m_emittingReadyRead = false;
};
