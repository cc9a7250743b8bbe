// Complete firmware updates through the real window and the real QSerialPort on a
// pseudo-terminal: with the simulated device for whole transfers, and frame by frame where the
// exact bytes on the wire matter.
#include "simulateddevice.h"
#include "vantuupdate.h"
#include "windowsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace testing;

namespace {

const QString VersionText = QStringLiteral("Firm V01.00, hardware V05.07, click Download");
const QString Updated = QStringLiteral("Firmware is updated");
const QString InProgress = QStringLiteral("Please wait, in progressing...");
const QString TimedOut = QStringLiteral("device time out, re-start this program");

// The four image bytes a CMD_DATA carries.
QByteArray pieceOf(const FramePayload &payload)
{
    return QByteArray(reinterpret_cast<const char *>(payload.data() + 2), 4);
}

} // namespace

class TransferTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void completeUpdate_data();
    void completeUpdate();
    void requestPatterns_data();
    void requestPatterns();
    void secondDownloadAfterDeviceAnnounces();
    void cancelByDevice();

    void framesOnTheWire();
    void piecesAndEndOnTheWire();
    void emptyImage();
    void silenceDuringTransfer();
    void responsesOutsideTheirState();
    void downloadOutsideReadyDoesNothing();
    void lineLostMidTransfer();
    void imageChangedDuringTransfer_data();
    void imageChangedDuringTransfer();
    void imageRemovedBeforeDownload();
    void imageTooLargeForTheProtocol();
    void imageThatCannotBeOpened_data();
    void imageThatCannotBeOpened();
    void wireTraceNamesEveryCode();

private:
    void clickDownload()
    {
        QTest::mouseClick(widget<QPushButton>("pushButtonDownload"), Qt::LeftButton);
    }

    // The simulated device on its own pseudo-terminal; the window reaches Ready with it.
    void readyWithSimulatedDevice(const QString &image, const DeviceOptions &options = {});
    // The scripted device; the window reaches Ready with it.
    void readyWithScriptedDevice(const QString &image);
    // The same, and Download has sent CMD_START.
    void startedWithScriptedDevice(const QString &image);
    // Sends a data request and waits for the tool's answer; returns that frame.
    FramePayload request(quint32 offset);

    std::unique_ptr<vantuUpdate> dialog;
    std::unique_ptr<PseudoTerminal> line;
    std::unique_ptr<SimulatedDevice> simulated;
    std::unique_ptr<ScriptedDevice> scripted;
    std::unique_ptr<QTemporaryDir> dir;
};

void TransferTest::init()
{
    failOnQtWarnings();
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    dialog = std::make_unique<vantuUpdate>();
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
}

void TransferTest::cleanup()
{
    dialog.reset();
    simulated.reset();
    line.reset();
    scripted.reset();
    dir.reset();
}

void TransferTest::readyWithSimulatedDevice(const QString &image, const DeviceOptions &options)
{
    line = std::make_unique<PseudoTerminal>();
    QVERIFY2(line->open(), qPrintable(line->errorString()));
    simulated = std::make_unique<SimulatedDevice>(line.get(), options);
    startProcedure(*dialog, line->slavePath(), image);
    QTRY_COMPARE(status(), VersionText);
}

void TransferTest::readyWithScriptedDevice(const QString &image)
{
    scripted = std::make_unique<ScriptedDevice>();
    QVERIFY(scripted->open());
    reachReady(*dialog, *scripted, image);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(status(), VersionText);
}

void TransferTest::startedWithScriptedDevice(const QString &image)
{
    readyWithScriptedDevice(image);
    if (QTest::currentTestFailed())
        return;
    clickDownload();
    QVERIFY(scripted->waitForFrames(3));
    QCOMPARE(scripted->frames.last()[1], CMD_START);
}

FramePayload TransferTest::request(quint32 offset)
{
    return scripted->request(offset);
}

void TransferTest::completeUpdate_data()
{
    QTest::addColumn<int>("size");
    for (int size : {1, 4, 1023, 1024, 1030, 65536})
        QTest::addRow("%d bytes", size) << size;
}

void TransferTest::completeUpdate()
{
    QFETCH(int, size);
    const QByteArray content = escapeHeavyBytes(size, quint32(size));
    const QString image = writeImage(dir->path(), QStringLiteral("fw.vuf"), content);
    readyWithSimulatedDevice(image);
    QSignalSpy completed(simulated.get(), &SimulatedDevice::updateCompleted);

    auto *progress = widget<QProgressBar>("progressBarDownload");
    QList<int> progressSeen;
    connect(progress, &QProgressBar::valueChanged, this, [&](int v) { progressSeen.append(v); });

    clickDownload();
    QCOMPARE(status(), InProgress);
    QTRY_COMPARE_WITH_TIMEOUT(status(), Updated, 60000);
    QCOMPARE(completed.size(), 1);
    QCOMPARE(simulated->receivedImage(), padded(content));
    QCOMPARE(simulated->stats().offsetMismatches, 0);
    QCOMPARE(progress->value(), 100);
    QVERIFY(std::is_sorted(progressSeen.cbegin(), progressSeen.cend()));
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
    QCOMPARE(dialog->updateState(), UpdateState::Probing);
}

void TransferTest::requestPatterns_data()
{
    QTest::addColumn<DeviceOptions>("options");
    const int size = 5000;
    DeviceOptions retries;
    retries.retryEvery = 7;
    DeviceOptions random;
    random.randomOrder = true;
    random.randomSeed = 42;
    random.imageSize = size;
    DeviceOptions unaligned;
    unaligned.unalignedRequests = true;
    QTest::newRow("re-requests across blocks") << retries;
    QTest::newRow("random order") << random;
    QTest::newRow("unaligned offsets") << unaligned;
}

void TransferTest::requestPatterns()
{
    QFETCH(DeviceOptions, options);
    const QByteArray content = escapeHeavyBytes(5000, 7);
    readyWithSimulatedDevice(writeImage(dir->path(), QStringLiteral("fw.vuf"), content), options);
    clickDownload();
    QTRY_COMPARE_WITH_TIMEOUT(status(), Updated, 20000);
    QCOMPARE(simulated->receivedImage(), padded(content));
    QCOMPARE(simulated->stats().retryMismatches, 0);
    QCOMPARE(simulated->stats().offsetMismatches, 0);
}

void TransferTest::secondDownloadAfterDeviceAnnounces()
{
    DeviceOptions options;
    options.announceAfterDone = true;
    const QByteArray first = escapeHeavyBytes(3000, 1);
    const QString image = writeImage(dir->path(), QStringLiteral("fw.vuf"), first);
    readyWithSimulatedDevice(image, options);
    clickDownload();
    QTRY_COMPARE_WITH_TIMEOUT(status(), Updated, 20000);

    // The device comes up again: versions, Download enabled for the same image, which was
    // rewritten in the meantime; the second download sends what the file holds now.
    QTRY_COMPARE(status(), VersionText);
    QVERIFY(widget<QPushButton>("pushButtonDownload")->isEnabled());
    const QByteArray second = escapeHeavyBytes(4100, 2);
    writeImage(dir->path(), QStringLiteral("fw.vuf"), second);
    clickDownload();
    QTRY_COMPARE_WITH_TIMEOUT(status(), Updated, 20000);
    QCOMPARE(simulated->stats().updatesCompleted, 2);
    QCOMPARE(simulated->receivedImage(), padded(second));
}

void TransferTest::cancelByDevice()
{
    DeviceOptions options;
    options.cancelAt = 2048;
    readyWithSimulatedDevice(
        writeImage(dir->path(), QStringLiteral("fw.vuf"), escapeHeavyBytes(4096)), options);
    QSignalSpy received(simulated.get(), &SimulatedDevice::frameReceived);
    clickDownload();
    QTRY_COMPARE(status(), QStringLiteral("Device canncelled, please retry"));
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
    QCOMPARE(dialog->updateState(), UpdateState::Probing);
    // Nothing more goes out: the tool waits for the device to announce itself.
    const int sent = received.size();
    QVERIFY(neverWithin(PastTimeout, [&] { return received.size() > sent; }));
}

void TransferTest::framesOnTheWire()
{
    const QByteArray content = QByteArray::fromHex("0001020311227E44");
    startedWithScriptedDevice(writeImage(dir->path(), QStringLiteral("fw.vuf"), content));
    const QByteArray handshake = QByteArray::fromHex("7EFF50000000000000977EFF50010000000000"
                                                     "37");
    QCOMPARE(scripted->raw, handshake + QByteArray::fromHex("7EFF5003000000000077"));

    scripted->raw.clear();
    request(4);
    QCOMPARE(scripted->raw, QByteArray::fromHex("7EFF500411227D5E44049E"));
    scripted->raw.clear();
    request(0);
    QCOMPARE(scripted->raw, QByteArray::fromHex("7EFF50040001020300B1"));
    QCOMPARE(widget<QProgressBar>("progressBarDownload")->value(), 0);
    scripted->raw.clear();
    request(8);
    QCOMPARE(scripted->raw, QByteArray::fromHex("7EFF50050000000000"
                                                "96"));
    QCOMPARE(widget<QProgressBar>("progressBarDownload")->value(), 100);
    QCOMPARE(dialog->updateState(), UpdateState::Finishing);
    scripted->send(RSP_DONE);
    QTRY_COMPARE(status(), Updated);
    QCOMPARE(scripted->badChecks, 0);
}

void TransferTest::piecesAndEndOnTheWire()
{
    // The rule behind each answer has its table with the image source; here, the window sends
    // what it gives: the short last block padded with zeros, then END for a request past the end.
    const QByteArray content = escapeHeavyBytes(1030, 3);
    startedWithScriptedDevice(writeImage(dir->path(), QStringLiteral("fw.vuf"), content));
    const FramePayload last = request(1029);
    QCOMPARE(pieceOf(last), content.right(2) + QByteArray(2, '\0'));
    QCOMPARE(last[6], quint8(1029 & 0xFF));
    QCOMPARE(request(1032)[1], CMD_END);
    QCOMPARE(dialog->updateState(), UpdateState::Finishing);
    QCOMPARE(widget<QProgressBar>("progressBarDownload")->value(), 100);
    scripted->send(RSP_DONE);
    QTRY_COMPARE(status(), Updated);
}

void TransferTest::emptyImage()
{
    const QString image = writeImage(dir->path(), QStringLiteral("empty.vuf"), QByteArray());
    readyWithScriptedDevice(image);

    clickDownload();
    QCOMPARE(status(), QStringLiteral("File is Vacant"));
    QVERIFY(neverWithin(PastTimeout, [&] { return scripted->frames.size() > 2; }));
    QCOMPARE(dialog->updateState(), UpdateState::Ready);
    QVERIFY(widget<QPushButton>("pushButtonDownload")->isEnabled());

    // The file was closed: a later Download opens it again by name and finds the new content.
    writeImage(dir->path(), QStringLiteral("empty.vuf"), QByteArray("\x01\x02\x03\x04", 4));
    clickDownload();
    QCOMPARE(status(), InProgress);
    QVERIFY(scripted->waitForFrames(3));
    QCOMPARE(scripted->frames.last()[1], CMD_START);
    QCOMPARE(request(0)[2], quint8(0x01));
}

void TransferTest::silenceDuringTransfer()
{
    startedWithScriptedDevice(
        writeImage(dir->path(), QStringLiteral("fw.vuf"), escapeHeavyBytes(8, 5)));
    QTRY_COMPARE(status(), TimedOut);
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
    // Only the transfer's first frame: nothing is re-sent.
    QVERIFY(neverWithin(PastTimeout, [&] { return scripted->frames.size() > 3; }));
    QCOMPARE(dialog->updateState(), UpdateState::Starting);

    // A late device is still served, and its success still reported.
    QCOMPARE(request(0)[1], CMD_DATA);
    QCOMPARE(request(4)[1], CMD_DATA);
    QCOMPARE(request(8)[1], CMD_END);
    scripted->send(RSP_DONE);
    QTRY_COMPARE(status(), Updated);
}

void TransferTest::responsesOutsideTheirState()
{
    startedWithScriptedDevice(
        writeImage(dir->path(), QStringLiteral("fw.vuf"), escapeHeavyBytes(16, 6)));
    request(0);
    // RSP_DONE while data is still being fetched: not acted on, but the timer stops and the
    // light flashes.
    auto *rx = widget<QLabel>("label_rx");
    QTRY_VERIFY(lightIs(rx, Qt::red));
    scripted->send(RSP_DONE);
    QTRY_VERIFY(lightIs(rx, Qt::green));
    QVERIFY(neverWithin(PastTimeout, [&] { return status() != InProgress; }));
    QCOMPARE(dialog->updateState(), UpdateState::Transferring);

    // A data request after the end was announced is not served.
    QCOMPARE(request(16)[1], CMD_END);
    const int sent = scripted->frames.size();
    scripted->send(RSP_DATA_REQUEST, 0);
    scripted->send(RSP_CANCELLED);
    QVERIFY(neverWithin(PastTimeout, [&] { return scripted->frames.size() > sent; }));
    QCOMPARE(dialog->updateState(), UpdateState::Finishing);
    scripted->send(RSP_DONE);
    QTRY_COMPARE(status(), Updated);
}

void TransferTest::downloadOutsideReadyDoesNothing()
{
    startedWithScriptedDevice(
        writeImage(dir->path(), QStringLiteral("fw.vuf"), escapeHeavyBytes(16, 8)));
    auto *download = widget<QPushButton>("pushButtonDownload");
    QVERIFY(download->isEnabled()); // stays enabled while the transfer runs
    clickDownload();
    request(0);
    clickDownload();
    QVERIFY(neverWithin(100ms, [&] { return scripted->frames.size() > 4; }));
    QCOMPARE(scripted->commands(), (QList<quint8>{CMD_PING, CMD_GET_VERSION, CMD_START, CMD_DATA}));
    QCOMPARE(dialog->updateState(), UpdateState::Transferring);
}

void TransferTest::lineLostMidTransfer()
{
    startedWithScriptedDevice(
        writeImage(dir->path(), QStringLiteral("fw.vuf"), escapeHeavyBytes(4096, 11)));
    QCOMPARE(request(0)[1], CMD_DATA);
    const QString port = scripted->path();
    QElapsedTimer noticed;
    noticed.start();
    scripted->terminal().hangUp();
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Port lost: ") + port, 1000);
    const qint64 noticedMs = noticed.elapsed();
    QVERIFY(widget<QPushButton>("pushButtonOK")->isEnabled());
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
    QCOMPARE(dialog->updateState(), UpdateState::Probing);

    // A dead line must not keep the event loop busy: a second of idling costs next to nothing.
    const double before = cpuSeconds();
    QEventLoop idle;
    QTimer::singleShot(1000, &idle, &QEventLoop::quit);
    idle.exec();
    const double used = cpuSeconds() - before;
    qInfo("lost line noticed after %lld ms; CPU over the next second: %.1f%%", noticedMs,
          used * 100);
    QVERIFY2(used < 0.05, qPrintable(QString::number(used)));
}

void TransferTest::imageChangedDuringTransfer_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<quint32>("nextRequest");
    QTest::newRow("cut shorter") << "shorter" << 1024u;
    QTest::newRow("rewritten in place, next block") << "rewritten" << 1024u;
    QTest::newRow("rewritten in place, then the end") << "rewritten" << 4096u;
    QTest::newRow("replaced by a new file") << "replaced" << 1024u;
}

void TransferTest::imageChangedDuringTransfer()
{
    // A build that finishes during an update rewrites the image: the device must never get a mix
    // of two images, and the tooltip goes on naming the bytes that went out.
    QFETCH(QString, change);
    QFETCH(quint32, nextRequest);
    const QByteArray content = escapeHeavyBytes(4096, 9);
    const QString image = writeImage(dir->path(), QStringLiteral("fw.vuf"), content);
    startedWithScriptedDevice(image);
    const QString hashLine = QStringLiteral("SHA-256 ") + QString::fromLatin1(sha256Hex(content));
    QTRY_VERIFY(widget<QLabel>("labelStatusBar")->toolTip().contains(hashLine));
    QCOMPARE(request(0)[1], CMD_DATA);
    // Past the file system's clock tick, so that the write shows in the file's times.
    QTest::qWait(20);
    const QByteArray other = escapeHeavyBytes(4096, 10);
    if (change == QLatin1String("shorter")) {
        QVERIFY(QFile::resize(image, 100));
    } else if (change == QLatin1String("rewritten")) {
        QFile file(image);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QCOMPARE(file.write(other), qint64(other.size()));
    } else {
        const QString fresh = writeImage(dir->path(), QStringLiteral("new.vuf"), other);
        QVERIFY(QFile::remove(image));
        QVERIFY(QFile::rename(fresh, image));
    }
    if (change == QLatin1String("replaced")) {
        // The open file still holds the chosen image: the update goes on with it.
        const FramePayload piece = request(nextRequest);
        QCOMPARE(pieceOf(piece), content.mid(int(nextRequest), 4));
        QCOMPARE(request(4096)[1], CMD_END);
        scripted->send(RSP_DONE);
        QTRY_COMPARE(status(), Updated);
        QVERIFY(widget<QLabel>("labelStatusBar")->toolTip().contains(hashLine));
        return;
    }
    const int sent = scripted->frames.size();
    scripted->send(RSP_DATA_REQUEST, nextRequest);
    QTRY_VERIFY(
        status().startsWith(QLatin1String("The image file changed on disk during the download")));
    // Nothing more goes out, not even END.
    QVERIFY(neverWithin(PastTimeout, [&] { return scripted->frames.size() > sent; }));
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
    QCOMPARE(dialog->updateState(), UpdateState::Probing);
    const QString tip = widget<QLabel>("labelStatusBar")->toolTip();
    QVERIFY2(tip.contains(hashLine), qPrintable(tip));
    QVERIFY2(tip.contains(QLatin1String("restart the device")), qPrintable(tip));

    // The device starts again: the next Download sends the image as it is now, and names it.
    if (change == QLatin1String("shorter"))
        return;
    scripted->send(RSP_PRESENT);
    QVERIFY(QTest::qWaitFor([&] { return scripted->commands().endsWith(CMD_GET_VERSION); }));
    scripted->send(RSP_VERSION, 0x01000507);
    QTRY_COMPARE(status(), VersionText);
    clickDownload();
    QVERIFY(QTest::qWaitFor([&] { return scripted->commands().endsWith(CMD_START); }));
    QCOMPARE(pieceOf(request(1024)), other.mid(1024, 4));
    QTRY_VERIFY(widget<QLabel>("labelStatusBar")
                    ->toolTip()
                    .contains(QStringLiteral("SHA-256 ") + QString::fromLatin1(sha256Hex(other))));
}

void TransferTest::imageRemovedBeforeDownload()
{
    // The image was chosen and opened, then deleted: what was chosen is what goes out.
    const QByteArray content = escapeHeavyBytes(2000, 10);
    const QString image = writeImage(dir->path(), QStringLiteral("fw.vuf"), content);
    readyWithSimulatedDevice(image);
    QVERIFY(QFile::remove(image));
    clickDownload();
    QTRY_COMPARE_WITH_TIMEOUT(status(), Updated, 20000);
    QCOMPARE(simulated->receivedImage(), padded(content));
}

void TransferTest::imageTooLargeForTheProtocol()
{
    const QString image = writeImage(dir->path(), QStringLiteral("huge.vuf"), QByteArray("x"));
    QVERIFY(QFile::resize(image, MaxImageSize + 1)); // sparse: no disk space is used
    readyWithScriptedDevice(image);
    clickDownload();
    QCOMPARE(status(), QStringLiteral("Image too large: more than 2147483647 bytes"));
    QVERIFY(neverWithin(PastTimeout, [&] { return scripted->frames.size() > 2; }));
}

void TransferTest::imageThatCannotBeOpened_data()
{
    QTest::addColumn<bool>("directory");
    QTest::newRow("replaced by a directory") << true;
    QTest::newRow("no read permission") << false;
}

void TransferTest::imageThatCannotBeOpened()
{
    QFETCH(bool, directory);
    if (!directory)
        VANTU_SKIP_AS_ROOT("root reads any file whatever its permissions: run as another user");

    // An empty image makes Download close the file; then the path stops being readable, and
    // the next Download has to open it again by name.
    const QString image = writeImage(dir->path(), QStringLiteral("fw.vuf"), QByteArray());
    readyWithScriptedDevice(image);
    clickDownload();
    QCOMPARE(status(), QStringLiteral("File is Vacant"));

    if (directory) {
        QVERIFY(QFile::remove(image));
        QVERIFY(QDir().mkdir(image));
    } else {
        writeImage(dir->path(), QStringLiteral("fw.vuf"), QByteArray(16, 'x'));
        QVERIFY(QFile::setPermissions(image, QFile::WriteOwner));
    }
    clickDownload();
    QVERIFY2(status().startsWith(QStringLiteral("Cannot open the image file: ")),
             qPrintable(status()));
    QVERIFY(neverWithin(PastTimeout, [&] { return scripted->frames.size() > 2; }));
    QCOMPARE(dialog->updateState(), UpdateState::Ready);
}

void TransferTest::wireTraceNamesEveryCode()
{
    WireTrace trace;
    trace.enable();
    startedWithScriptedDevice(
        writeImage(dir->path(), QStringLiteral("fw.vuf"), QByteArray::fromHex("7E7D0102")));
    QCOMPARE(request(0)[1], CMD_DATA);
    QCOMPARE(request(4)[1], CMD_END);
    // Frames the tool ignores in Finishing are traced all the same; a code without a name is
    // shown in hex.
    scripted->send(0x90);
    scripted->send(RSP_CANCELLED);
    scripted->send(RSP_DONE);
    QTRY_COMPARE(status(), Updated);

    // A probe the device was slow to answer may have gone out twice.
    QStringList named;
    const QRegularExpression line(QStringLiteral(
        "^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d ((tx|rx) \\S+) ([0-9a-f]{2}(?: [0-9a-f]{2})*)$"));
    for (const QString &message : std::as_const(trace.lines)) {
        const QRegularExpressionMatch match = line.match(message);
        QVERIFY2(match.hasMatch(), qPrintable(message));
        QCOMPARE(match.captured(3).size(), match.captured(2) == QLatin1String("tx") ? 23 : 29);
        if (named.isEmpty() || named.constLast() != match.captured(1))
            named.append(match.captured(1));
    }
    const QStringList expected = {
        QStringLiteral("tx PING"),          QStringLiteral("rx RSP_PRESENT"),
        QStringLiteral("tx GET_VERSION"),   QStringLiteral("rx RSP_VERSION"),
        QStringLiteral("tx START"),         QStringLiteral("rx RSP_DATA_REQUEST"),
        QStringLiteral("tx DATA"),          QStringLiteral("rx RSP_DATA_REQUEST"),
        QStringLiteral("tx END"),           QStringLiteral("rx 0x90"),
        QStringLiteral("rx RSP_CANCELLED"), QStringLiteral("rx RSP_DONE"),
    };
    QCOMPARE(named, expected);
    // Payload bytes that travel escaped are traced as they are, before escaping.
    const QString joined = trace.lines.join(QLatin1Char('\n'));
    QVERIFY2(joined.contains(QLatin1String(" tx DATA 50 04 7e 7d 01 02 00 ")), qPrintable(joined));
}

QTEST_MAIN(TransferTest)
#include "tst_transfer.moc"
