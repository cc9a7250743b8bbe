#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

class QSocketNotifier;

// The master side of a Linux pseudo-terminal as a sequential QIODevice: the simulated device
// writes and reads here, the tool opens slavePath() as its serial port. The line is raw, and one
// slave descriptor stays open inside this object so that the tool can close and reopen its port
// without the master seeing a hang-up. Writes never lose bytes: what the line refuses now is kept
// and written when it has room.
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

    // The path the tool opens, such as /dev/pts/3; empty when not open.
    QString slavePath() const { return m_slavePath; }

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
    void onReadActivated();
    void onWriteActivated();
    void lineLost(int error);
    void closeDescriptors();

    int m_masterFd = -1;
    int m_slaveFd = -1;
    QString m_slavePath;
    QByteArray m_readBuffer;
    QByteArray m_writeBuffer;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    bool m_emittingReadyRead = false;
};
