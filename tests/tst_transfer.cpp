// Complete firmware updates through the real window and the real QSerialPort on a
// pseudo-terminal: with the simulated device for whole transfers, and frame by frame where the
// exact bytes on the wire matter.
#include "simulateddevice.h"
#include "vantuupdate.h"
#include "windowcase.h"

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace testing;

class TransferTest : public QObject, WindowCase
{
    Q_OBJECT

private slots:
    void init() { beginCase(); }
    void cleanup();

    void completeUpdate_data();
    void completeUpdate();
    void secondDownloadAfterDeviceAnnounces();

    void piecesAndEndOnTheWire();
    void silenceDuringTransfer();
    void responsesOutsideTheirState();
    void downloadOutsideReadyDoesNothing();
    void lineLostMidTransfer();
    void imageChangedDuringTransfer();
    void imageRemovedBeforeDownload();
    void imageUnusableAtDownload_data();
    void imageUnusableAtDownload();

private:
    // The simulated device on its own pseudo-terminal; the window reaches Ready with it.
    void readyWithSimulatedDevice(const QString &image, const DeviceOptions &options = {});
    // Sends a data request and waits for the tool's answer; returns that frame.
    FramePayload request(quint32 offset) { return device->request(offset); }

    std::unique_ptr<PseudoTerminal> line;
    std::unique_ptr<SimulatedDevice> simulated;
};

void TransferTest::cleanup()
{
    dialog.reset();
    simulated.reset();
    line.reset();
    endCase();
}

void TransferTest::readyWithSimulatedDevice(const QString &image, const DeviceOptions &options)
{
    line = std::make_unique<PseudoTerminal>();
    QVERIFY2(line->open(), qPrintable(line->errorString()));
    simulated = std::make_unique<SimulatedDevice>(line.get(), options);
    startProcedure(*dialog, line->slavePath(), image);
    QTRY_COMPARE(status(), VersionText);
}

void TransferTest::completeUpdate_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<DeviceOptions>("options");
    for (int size : {1, 4, 1023, 1024, 1030, 65536})
        QTest::addRow("%d bytes", size) << size << DeviceOptions{};
    DeviceOptions retries;
    retries.retryEvery = 7;
    DeviceOptions random;
    random.randomOrder = true;
    random.randomSeed = 42;
    random.imageSize = 5000;
    DeviceOptions unaligned;
    unaligned.unalignedRequests = true;
    QTest::newRow("re-requests across blocks") << 5000 << retries;
    QTest::newRow("random order") << 5000 << random;
    QTest::newRow("unaligned offsets") << 5000 << unaligned;
}

void TransferTest::completeUpdate()
{
    QFETCH(int, size);
    QFETCH(DeviceOptions, options);
    const QByteArray content = escapeHeavyBytes(size, quint32(size));
    const QString image = writeImage(dir->path(), QStringLiteral("fw.vuf"), content);
    readyWithSimulatedDevice(image, options);
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
    QCOMPARE(simulated->stats().retryMismatches, 0);
    QCOMPARE(progress->value(), 100);
    if (options.retryEvery == 0 && !options.randomOrder) // nothing asked again
        QVERIFY(std::is_sorted(progressSeen.cbegin(), progressSeen.cend()));
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
    QCOMPARE(dialog->updateState(), UpdateState::Probing);
}

void TransferTest::secondDownloadAfterDeviceAnnounces()
{
    DeviceOptions options;
    options.announceAfterDone = true;
    const QByteArray first = escapeHeavyBytes(3000, 1);
    const QString image = writeImage(dir->path(), QStringLiteral("fw.vuf"), first);
    readyWithSimulatedDevice(image, options);
    clickDownload();
    QTRY_COMPARE_WITH_TIMEOUT(status(), Updated, PatienceMs);

    // The device comes up again: versions, Download enabled for the same image, which was
    // rewritten in the meantime; the second download sends what the file holds now.
    QTRY_COMPARE(status(), VersionText);
    QVERIFY(widget<QPushButton>("pushButtonDownload")->isEnabled());
    const QByteArray second = escapeHeavyBytes(4100, 2);
    writeImage(dir->path(), QStringLiteral("fw.vuf"), second);
    clickDownload();
    QTRY_COMPARE_WITH_TIMEOUT(status(), Updated, PatienceMs);
    QCOMPARE(simulated->stats().updatesCompleted, 2);
    QCOMPARE(simulated->receivedImage(), padded(second));
}

void TransferTest::piecesAndEndOnTheWire()
{
    // How a frame is framed and escaped has its table with the protocol, the rule behind each
    // answer its table with the image source; here, the window sends what they give: the pieces
    // asked for, the short last one padded with zeros, then END for a request past the end.
    const QByteArray content = escapeHeavyBytes(1030, 3);
    startDownload(*dialog, *device, writeImage(dir->path(), QStringLiteral("fw.vuf"), content));
    QCOMPARE(pieceOf(request(4)), content.mid(4, 4));
    QCOMPARE(pieceOf(request(0)), content.left(4));
    QCOMPARE(widget<QProgressBar>("progressBarDownload")->value(), 0);
    const FramePayload last = request(1029);
    QCOMPARE(pieceOf(last), content.right(2) + QByteArray(2, '\0'));
    QCOMPARE(last[6], quint8(1029 & 0xFF));
    QCOMPARE(request(1032)[1], CMD_END);
    QCOMPARE(dialog->updateState(), UpdateState::Finishing);
    QCOMPARE(widget<QProgressBar>("progressBarDownload")->value(), 100);
    device->send(RSP_DONE);
    QTRY_COMPARE(status(), Updated);
    QCOMPARE(device->badChecks, 0);
}

void TransferTest::silenceDuringTransfer()
{
    startDownload(*dialog, *device,
                  writeImage(dir->path(), QStringLiteral("fw.vuf"), escapeHeavyBytes(8, 5)));
    WireTrace trace;
    trace.enable();
    QTRY_COMPARE(status(), TimedOut);
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
    // Only the transfer's first frame: nothing is re-sent, at the next time-out either.
    QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > 0; }));
    QCOMPARE(device->frames.size(), 3);
    QCOMPARE(dialog->updateState(), UpdateState::Starting);

    // A late device is still served, and its success still reported.
    QCOMPARE(request(0)[1], CMD_DATA);
    QCOMPARE(request(4)[1], CMD_DATA);
    QCOMPARE(request(8)[1], CMD_END);
    device->send(RSP_DONE);
    QTRY_COMPARE(status(), Updated);
}

void TransferTest::responsesOutsideTheirState()
{
    startDownload(*dialog, *device,
                  writeImage(dir->path(), QStringLiteral("fw.vuf"), escapeHeavyBytes(16, 6)));
    request(0);
    // RSP_DONE while data is still being fetched: not acted on, but the timer stops and the
    // light flashes.
    auto *rx = widget<QLabel>("label_rx");
    QTRY_VERIFY(lightIs(rx, Qt::red));
    WireTrace trace;
    trace.enable();
    ReceiveLight light(trace);
    device->send(RSP_DONE);
    QVERIFY(QTest::qWaitFor([&] { return light.litByFrame.size() == 1; }, PatienceMs));
    QVERIFY(light.litByFrame.first());
    QVERIFY(neverWithin(PastTimeout, [&] { return status() != InProgress; }));
    QCOMPARE(dialog->updateState(), UpdateState::Transferring);

    // A data request after the end was announced is not served.
    QCOMPARE(request(16)[1], CMD_END);
    const int sent = trace.sent();
    device->send(RSP_DATA_REQUEST, 0);
    device->send(RSP_CANCELLED);
    // Both read by the tool, then one time-out more: nothing went out.
    QTRY_COMPARE(light.litByFrame.size(), 4);
    QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > sent; }));
    QCOMPARE(dialog->updateState(), UpdateState::Finishing);
    device->send(RSP_DONE);
    QTRY_COMPARE(status(), Updated);
}

void TransferTest::downloadOutsideReadyDoesNothing()
{
    startDownload(*dialog, *device,
                  writeImage(dir->path(), QStringLiteral("fw.vuf"), escapeHeavyBytes(16, 8)));
    auto *download = widget<QPushButton>("pushButtonDownload");
    QVERIFY(download->isEnabled()); // stays enabled while the transfer runs
    WireTrace trace;
    trace.enable();
    clickDownload();
    QCOMPARE(trace.sent(), 0); // a click sends at once, or not at all
    request(0);
    clickDownload();
    QCOMPARE(trace.sent(), 1);
    QCOMPARE(device->steps(), (QList<quint8>{CMD_PING, CMD_GET_VERSION, CMD_START, CMD_DATA}));
    QCOMPARE(dialog->updateState(), UpdateState::Transferring);
}

void TransferTest::lineLostMidTransfer()
{
    startDownload(*dialog, *device,
                  writeImage(dir->path(), QStringLiteral("fw.vuf"), escapeHeavyBytes(4096, 11)));
    QCOMPARE(request(0)[1], CMD_DATA);
    const QString port = device->path();
    QElapsedTimer noticed;
    noticed.start();
    device->terminal().hangUp();
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Port lost: ") + port, PatienceMs);
    const qint64 noticedMs = noticed.elapsed();

    // A dead line must not keep the event loop busy: a second of idling costs next to nothing.
    const double before = cpuSeconds();
    runPast(1000ms);
    const double used = cpuSeconds() - before;
    qInfo("lost line noticed after %lld ms; CPU over the next second: %.1f%%", noticedMs,
          used * 100);
    QVERIFY2(used < 0.05, qPrintable(QString::number(used)));
}

void TransferTest::imageChangedDuringTransfer()
{
    // A build that finishes during an update rewrites the image: the device must never get a mix
    // of two images, and the tooltip goes on naming the bytes that went out. Each kind of change
    // has its row with the image source; here, the window stops on one.
    const QByteArray content = escapeHeavyBytes(4096, 9);
    const QString image = writeImage(dir->path(), QStringLiteral("fw.vuf"), content);
    startDownload(*dialog, *device, image);
    const QString hashLine = QStringLiteral("SHA-256 ") + QString::fromLatin1(sha256Hex(content));
    QTRY_VERIFY(widget<QLabel>("labelStatusBar")->toolTip().contains(hashLine));
    QCOMPARE(request(0)[1], CMD_DATA);
    QVERIFY(pastFileClockTick(image)); // so that the write shows in the file's times
    const QByteArray other = escapeHeavyBytes(4096, 10);
    QFile file(image);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QCOMPARE(file.write(other), qint64(other.size()));
    file.close();
    const int sent = device->frames.size();
    WireTrace trace;
    trace.enable();
    device->send(RSP_DATA_REQUEST, 1024);
    QTRY_VERIFY(
        status().startsWith(QLatin1String("The image file changed on disk during the download")));
    // Nothing more goes out, not even END.
    QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > 0; }));
    QCOMPARE(device->frames.size(), sent);
    QVERIFY(!widget<QPushButton>("pushButtonDownload")->isEnabled());
    QCOMPARE(dialog->updateState(), UpdateState::Probing);
    const QString tip = widget<QLabel>("labelStatusBar")->toolTip();
    QVERIFY2(tip.contains(hashLine), qPrintable(tip));
    QVERIFY2(tip.contains(QLatin1String("restart the device")), qPrintable(tip));

    // The device starts again: the next Download sends the image as it is now, and names it.
    device->send(RSP_PRESENT);
    QVERIFY(QTest::qWaitFor([&] { return device->commands().endsWith(CMD_GET_VERSION); }));
    device->send(RSP_VERSION, DeviceVersion);
    QTRY_COMPARE(status(), VersionText);
    clickDownload();
    QVERIFY(QTest::qWaitFor([&] { return device->commands().endsWith(CMD_START); }));
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
    QTRY_COMPARE_WITH_TIMEOUT(status(), Updated, PatienceMs);
    QCOMPARE(simulated->receivedImage(), padded(content));
}

void TransferTest::imageUnusableAtDownload_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("shown"); // how the status line starts
    QTest::newRow("empty") << "empty"
                           << "File is Vacant";
    QTest::newRow("too large for the protocol") << "huge"
                                                << "Image too large: more than 2147483647 bytes";
    // An empty image makes Download close the file; then the path stops being readable, and
    // the next Download has to open it again by name.
    QTest::newRow("empty, then a folder") << "folder"
                                          << "Cannot open the image file: ";
    QTest::newRow("empty, then no read permission") << "unreadable"
                                                    << "Cannot open the image file: ";
}

void TransferTest::imageUnusableAtDownload()
{
    QFETCH(QString, kind);
    QFETCH(QString, shown);
    if (kind == QLatin1String("unreadable"))
        VANTU_SKIP_AS_ROOT("root reads any file whatever its permissions: run as another user");
    const QString image = writeImage(dir->path(), QStringLiteral("fw.vuf"), QByteArray());
    if (kind == QLatin1String("huge"))
        QVERIFY(QFile::resize(image, MaxImageSize + 1)); // sparse: no disk space is used
    reachReady(*dialog, *device, image);
    WireTrace trace;
    trace.enable();
    clickDownload();
    if (kind == QLatin1String("folder") || kind == QLatin1String("unreadable")) {
        QCOMPARE(status(), QStringLiteral("File is Vacant"));
        if (kind == QLatin1String("folder")) {
            QVERIFY(QFile::remove(image));
            QVERIFY(QDir().mkdir(image));
        } else {
            writeImage(dir->path(), QStringLiteral("fw.vuf"), QByteArray(16, 'x'));
            QVERIFY(QFile::setPermissions(image, QFile::WriteOwner));
        }
        clickDownload();
    }
    QVERIFY2(status().startsWith(shown), qPrintable(status()));
    QVERIFY(neverWithin(PastTimeout, [&] { return trace.sent() > 0; }));
    QCOMPARE(dialog->updateState(), UpdateState::Ready);
    QVERIFY(widget<QPushButton>("pushButtonDownload")->isEnabled());
    if (kind != QLatin1String("empty"))
        return;
    // The file was closed: a later Download opens it again by name and finds the new content.
    writeImage(dir->path(), QStringLiteral("fw.vuf"), QByteArray("\x01\x02\x03\x04", 4));
    clickDownload();
    QCOMPARE(status(), InProgress);
    QVERIFY(device->waitForCommand(CMD_START));
    QCOMPARE(request(0)[2], quint8(0x01));
}

QTEST_MAIN(TransferTest)
#include "tst_transfer.moc"
