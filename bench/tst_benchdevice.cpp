// The bench's device side: the answers and the checks of one line, the paced line's model, and
// the loop that plays several lines at once against a real host process on pseudo-terminals. A
// device that let a wrong piece through, mixed up its lines or ran ahead of the wire would give
// figures that look fine and mean nothing.
//
// The host of the several-line cases is this program itself, started again with --gang-host: a
// plain host on the slaves' descriptors that answers every request, optionally with one wrong
// byte on one line.
#include "benchline.h"

#include "framecodec.h"
#include "linesettings.h"
#include "updateprotocol.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryFile>
#include <QTest>

#include <memory>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr qint64 NoFault = -1;

// A host frame as the device reads it off the line.
QByteArray hostWire(FramePayload payload)
{
    const HostFrame frame = encodeHostFrame(payload);
    return QByteArray(reinterpret_cast<const char *>(frame.bytes.data()), frame.size);
}

QByteArray command(quint8 code)
{
    return hostWire(commandPayload(code));
}

// CMD_DATA for the piece at offset, one byte changed when wrongByte is in 0..3, the offset's low
// byte changed when wrongOffset is set.
QByteArray data(const QByteArray &image, quint32 offset, int wrongByte = -1,
                bool wrongOffset = false)
{
    quint8 piece[4];
    for (int i = 0; i < 4; ++i)
        piece[i] = offset + i < quint32(image.size()) ? quint8(image[offset + i]) : 0;
    if (wrongByte >= 0)
        piece[wrongByte] ^= 0x01;
    return hostWire(dataPayload(piece, wrongOffset ? offset + 1 : offset));
}

// What the device answered: response codes and, for requests, the offsets asked for.
struct Answers
{
    QList<int> codes;
    QList<quint32> offsets;
};

Answers drain(DeviceSide &side)
{
    Answers answers;
    FrameParser parser;
    std::int64_t writeNs = 0;
    while (side.hasOutput()) {
        const DeviceModel::Output out = side.front();
        writeNs = std::max(writeNs, out.dueNs);
        side.sent(writeNs);
        parser.feed(out.bytes.data(), out.size, [&](const DeviceFrame &frame) {
            answers.codes << frame[3];
            if (frame[3] == RSP_DATA_REQUEST)
                answers.offsets << requestedOffsetOf(frame);
            if (frame[3] == RSP_VERSION)
                QCOMPARE(requestedOffsetOf(frame), DeviceVersion);
        });
    }
    return answers;
}

void feed(DeviceSide &side, const QByteArray &bytes, std::int64_t readNs = 0)
{
    side.received(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size(), readNs);
}

QByteArray testImage(qint64 size)
{
    QByteArray image(qsizetype(size), Qt::Uninitialized);
    for (qsizetype i = 0; i < image.size(); ++i)
        image[i] = char(i * 37 + 0x7D); // 0x7D and 0x7E come up: some frames are escaped
    return image;
}

// The host of the several-line cases: answers on every slave given until each has said RSP_DONE.
// --corrupt LINE:OFFSET sends the piece at OFFSET on line LINE with one byte wrong.
int runGangHost(const QStringList &arguments)
{
    QFile imageFile(arguments.value(arguments.indexOf(QStringLiteral("--image")) + 1));
    if (!imageFile.open(QIODevice::ReadOnly))
        return 2;
    const QByteArray image = imageFile.readAll();
    const QStringList corrupt =
        arguments.contains(QStringLiteral("--corrupt"))
            ? arguments.value(arguments.indexOf(QStringLiteral("--corrupt")) + 1).split(u':')
            : QStringList();
    const int corruptLine = corrupt.isEmpty() ? -1 : corrupt[0].toInt();
    const qint64 corruptOffset = corrupt.isEmpty() ? NoFault : corrupt[1].toLongLong();

    std::vector<pollfd> fds;
    for (const QString &path : arguments.mid(arguments.indexOf(QStringLiteral("--lines")) + 1)) {
        if (path.startsWith(QLatin1String("--")))
            break;
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || !setRawLine(fd))
            return 2;
        fds.push_back({fd, POLLIN, 0});
    }
    std::vector<FrameParser> parsers(fds.size());
    std::vector<bool> done(fds.size(), false);
    size_t finished = 0;
    const auto send = [](int fd, const QByteArray &bytes) {
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    };
    for (const pollfd &line : fds) {
        if (!send(line.fd, command(CMD_PING)))
            return 2;
    }
    while (finished < fds.size()) {
        if (::poll(fds.data(), nfds_t(fds.size()), 10000) <= 0)
            return 3;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            quint8 buffer[512];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0)
                return 4;
            bool sent = true;
            parsers[i].feed(buffer, n, [&](const DeviceFrame &frame) {
                switch (frame[3]) {
                case RSP_PRESENT:
                    sent = sent && send(fds[i].fd, command(CMD_GET_VERSION));
                    break;
                case RSP_VERSION:
                    sent = sent && send(fds[i].fd, command(CMD_START));
                    break;
                case RSP_DATA_REQUEST: {
                    const quint32 offset = requestedOffsetOf(frame);
                    const bool wrong = int(i) == corruptLine && offset == corruptOffset;
                    sent = sent && send(fds[i].fd, offset >= quint32(image.size())
                                                       ? command(CMD_END)
                                                       : data(image, offset, wrong ? 2 : -1));
                    break;
                }
                case RSP_DONE:
                    if (!done[i]) {
                        done[i] = true;
                        ++finished;
                    }
                    break;
                }
            });
            if (!sent)
                return 5;
        }
    }
    return 0;
}

} // namespace

class BenchDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void answersAndChecks_data();
    void answersAndChecks();
    void pacedDueTimes_data();
    void pacedDueTimes();
    void severalLines_data();
    void severalLines();
};

void BenchDeviceTest::answersAndChecks_data()
{
    QTest::addColumn<qint64>("imageSize");
    QTest::addColumn<quint32>("stride");
    QTest::addColumn<QList<QByteArray>>("hostFrames");
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<QList<quint32>>("offsets");
    QTest::addColumn<int>("dataFrames");
    QTest::addColumn<int>("dataErrors");
    QTest::addColumn<int>("badChecks");
    QTest::addColumn<int>("unexpected");

    const QByteArray ten = testImage(10);
    const QList<QByteArray> handshake = {command(CMD_PING), command(CMD_GET_VERSION),
                                         command(CMD_START)};
    const QList<int> handshakeCodes = {RSP_PRESENT, RSP_VERSION, RSP_DATA_REQUEST};
    const QList<int> whole =
        handshakeCodes + QList<int>{RSP_DATA_REQUEST, RSP_DATA_REQUEST, RSP_DATA_REQUEST, RSP_DONE};

    QTest::newRow("last piece short, padded with zeros")
        << qint64(10) << 4u
        << handshake + QList<QByteArray>{data(ten, 0), data(ten, 4), data(ten, 8), command(CMD_END)}
        << whole << QList<quint32>{0, 4, 8, 12} << 3 << 0 << 0 << 0;
    QTest::newRow("a wrong byte") << qint64(10) << 4u
                                  << handshake + QList<QByteArray>{data(ten, 0), data(ten, 4, 3),
                                                                   data(ten, 8), command(CMD_END)}
                                  << whole << QList<quint32>{0, 4, 8, 12} << 3 << 1 << 0 << 0;
    QTest::newRow("the offset's low byte wrong")
        << qint64(10) << 4u
        << handshake + QList<QByteArray>{data(ten, 0, -1, true), data(ten, 4), data(ten, 8),
                                         command(CMD_END)}
        << whole << QList<quint32>{0, 4, 8, 12} << 3 << 1 << 0 << 0;
    // The piece past the image's end carries zeros: anything else is a wrong piece.
    QByteArray padded = ten;
    padded.append('\x55');
    QTest::newRow("padding not zero")
        << qint64(10) << 4u
        << handshake +
               QList<QByteArray>{data(ten, 0), data(ten, 4), data(padded, 8), command(CMD_END)}
        << whole << QList<quint32>{0, 4, 8, 12} << 3 << 1 << 0 << 0;
    QByteArray badCheck = command(CMD_PING);
    badCheck[badCheck.size() - 1] = char(badCheck.back() ^ 0x01);
    QTest::newRow("a bad check byte is not answered")
        << qint64(10) << 4u << QList<QByteArray>{badCheck, command(CMD_PING)}
        << QList<int>{RSP_PRESENT} << QList<quint32>{} << 0 << 0 << 1 << 0;
    QTest::newRow("END before the last piece")
        << qint64(10) << 4u << handshake + QList<QByteArray>{data(ten, 0), command(CMD_END)}
        << handshakeCodes + QList<int>{RSP_DATA_REQUEST} << QList<quint32>{0, 4} << 1 << 0 << 0
        << 1;
    QTest::newRow("DATA before START")
        << qint64(10) << 4u << QList<QByteArray>{command(CMD_PING), data(ten, 0)}
        << QList<int>{RSP_PRESENT} << QList<quint32>{} << 0 << 0 << 0 << 1;
    QTest::newRow("PING during the transfer")
        << qint64(10) << 4u << handshake + QList<QByteArray>{command(CMD_PING)} << handshakeCodes
        << QList<quint32>{0} << 0 << 0 << 0 << 1;
    const QByteArray large = testImage(3000);
    QTest::newRow("one piece per 1024 bytes, end rounded up to whole pieces")
        << qint64(3000) << 1024u
        << handshake + QList<QByteArray>{data(large, 0), data(large, 1024), data(large, 2048),
                                         command(CMD_END)}
        << whole << QList<quint32>{0, 1024, 2048, 3000} << 3 << 0 << 0 << 0;
}

void BenchDeviceTest::answersAndChecks()
{
    QFETCH(qint64, imageSize);
    QFETCH(quint32, stride);
    QFETCH(QList<QByteArray>, hostFrames);
    QFETCH(QList<int>, codes);
    QFETCH(QList<quint32>, offsets);

    UpdateFigures figures;
    DeviceSide side(testImage(imageSize), LineTiming{}, stride, figures);
    Answers answers;
    for (const QByteArray &frame : hostFrames) {
        feed(side, frame);
        const Answers some = drain(side);
        answers.codes += some.codes;
        answers.offsets += some.offsets;
    }
    QCOMPARE(answers.codes, codes);
    QCOMPARE(answers.offsets, offsets);
    QTEST(figures.dataFrames, "dataFrames");
    QTEST(figures.dataErrors, "dataErrors");
    QTEST(figures.badChecks, "badChecks");
    QTEST(figures.unexpected, "unexpected");
    QCOMPARE(side.doneSent(), codes.endsWith(RSP_DONE));
    QCOMPARE(int(figures.turnaroundNs.size()), figures.dataFrames);
}

void BenchDeviceTest::pacedDueTimes_data()
{
    QTest::addColumn<qint64>("baud");
    QTest::addColumn<qint64>("secondReadNs");
    QTest::addColumn<qint64>("firstDueNs");
    QTest::addColumn<qint64>("secondDueNs");

    // A PING and a GET_VERSION (10 wire bytes each, as are the answers), both read from the
    // pseudo-terminal at once or the second well after the first. 10 bits a byte: 10 bytes take
    // 1736111 ns at 57600 baud and 108506 ns at 921600. An answer is in the host's hands its own
    // line time after the frame it answers has arrived, or after the answer before it.
    QTest::newRow("57600, read together: the second waits for the line")
        << qint64(57600) << qint64(0) << qint64(3472222) << qint64(5208333);
    QTest::newRow("57600, read apart: no wait")
        << qint64(57600) << qint64(10000000) << qint64(3472222) << qint64(13472222);
    QTest::newRow("921600, read together")
        << qint64(921600) << qint64(0) << qint64(217012) << qint64(325518);
    QTest::newRow("unpaced: at once") << qint64(0) << qint64(0) << qint64(0) << qint64(0);
}

void BenchDeviceTest::pacedDueTimes()
{
    QFETCH(qint64, baud);
    QFETCH(qint64, secondReadNs);

    UpdateFigures figures;
    DeviceSide side(testImage(10), LineTiming{baud}, 4, figures);
    QCOMPARE(command(CMD_PING).size(), 10);
    feed(side, command(CMD_PING), 0);
    feed(side, command(CMD_GET_VERSION), secondReadNs);
    QVERIFY(side.hasOutput());
    QTEST(qint64(side.front().dueNs), "firstDueNs");
    QCOMPARE(side.front().size, 10);
    // Written 5 us late: the lateness is counted, the next answer's time does not move.
    QCOMPARE(side.sent(side.front().dueNs + 5000), quint8(RSP_PRESENT));
    QTEST(qint64(side.front().dueNs), "secondDueNs");
    QCOMPARE(side.sent(side.front().dueNs), quint8(RSP_VERSION));
    QCOMPARE(qint64(figures.lateSumNs), baud > 0 ? qint64(5000) : qint64(0));
    QVERIFY(!side.hasOutput());
}

void BenchDeviceTest::severalLines_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<qint64>("baud");
    QTest::addColumn<int>("corruptLine");
    QTest::addColumn<qint64>("corruptOffset");

    QTest::newRow("three lines, unpaced") << 3 << qint64(0) << -1 << NoFault;
    QTest::newRow("three lines, a wrong piece on the second") << 3 << qint64(0) << 1 << qint64(400);
    QTest::newRow("two lines paced at 921600") << 2 << qint64(921600) << -1 << NoFault;
}

void BenchDeviceTest::severalLines()
{
    QFETCH(int, lines);
    QFETCH(qint64, baud);
    QFETCH(int, corruptLine);
    QFETCH(qint64, corruptOffset);

    constexpr qint64 ImageSize = 1026; // the last piece padded
    const QByteArray image = testImage(ImageSize);
    QTemporaryFile imageFile;
    QVERIFY(imageFile.open());
    QCOMPARE(imageFile.write(image), ImageSize);
    imageFile.close();

    QString error;
    std::vector<std::unique_ptr<PtyLine>> owned;
    std::vector<PtyLine *> ptys;
    QStringList arguments = {QCoreApplication::applicationFilePath(), QStringLiteral("--gang-host"),
                             QStringLiteral("--image"), imageFile.fileName()};
    if (corruptLine >= 0)
        arguments << QStringLiteral("--corrupt")
                  << QStringLiteral("%1:%2").arg(corruptLine).arg(corruptOffset);
    arguments << QStringLiteral("--lines");
    for (int i = 0; i < lines; ++i) {
        owned.push_back(std::make_unique<PtyLine>());
        QVERIFY2(owned.back()->open(error), qPrintable(error));
        ptys.push_back(owned.back().get());
        arguments << owned.back()->slavePath();
    }
    HostProcess host;
    QVERIFY2(host.start(arguments, QString(), error), qPrintable(error));
    GangFigures figures;
    GangDevice device(ptys, host, image, LineTiming{baud});
    QVERIFY2(device.run(figures, error), qPrintable(error));
    QCOMPARE(host.finish(5000), 0);

    QCOMPARE(int(figures.lines.size()), lines);
    const LineTiming timing{baud};
    for (int i = 0; i < lines; ++i) {
        const UpdateFigures &line = figures.lines[size_t(i)];
        QCOMPARE(line.dataFrames, int((ImageSize + 3) / 4));
        QCOMPARE(line.dataErrors, i == corruptLine ? 1 : 0);
        QCOMPARE(line.badChecks, 0);
        QCOMPARE(line.unexpected, 0);
        QVERIFY(line.doneNs > line.startNs);
        QVERIFY(line.startNs >= figures.firstStartNs);
        QVERIFY(line.doneNs <= figures.lastDoneNs);
        // The device never runs ahead of the wire: every byte both ways took its line time.
        QVERIFY2(line.elapsedNs() >= timing.lineNs(line.hostBytes + line.deviceBytes),
                 qPrintable(QStringLiteral("line %1: %2 ns for %3 ns of line time")
                                .arg(i)
                                .arg(line.elapsedNs())
                                .arg(timing.lineNs(line.hostBytes + line.deviceBytes))));
    }
    QVERIFY(figures.hostUse.transferCpuNs() >= 0);
    QVERIFY(figures.hostUse.peakKb > 0);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--gang-host")))
        return runGangHost(app.arguments());
    BenchDeviceTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_benchdevice.moc"
