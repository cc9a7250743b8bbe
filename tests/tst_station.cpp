// The station window as an operator and a supervisor meet it: the real window (offscreen, and
// under Xvfb with xcb), each slot on a pseudo-terminal played by the devicesim program, the log
// and the CSV export read back, the lock with its real password dialogs.
#include "csvexport.h"
#include "fakeadapter.h"
#include "filedialoganswer.h"
#include "linesupport.h"
#include "slotpanel.h"
#include "stationoptions.h"
#include "stationwindow.h"
#include "supervisorlock.h"
#include "updateprotocol.h"
#include "updatesession.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

using namespace testing;

namespace {

constexpr int UpdateTimeoutMs = 20000;

// Waits for an update's outcome with the event loop running freely (testing::runUntil).
#define WAIT_COMPARE(actual, expected)                                                             \
    do {                                                                                           \
        runUntil([&] { return (actual) == (expected); }, UpdateTimeoutMs);                         \
        QCOMPARE(actual, expected);                                                                \
    } while (false)
#define WAIT_VERIFY(condition)                                                                     \
    do {                                                                                           \
        runUntil([&] { return bool(condition); }, UpdateTimeoutMs);                                \
        QVERIFY(condition);                                                                        \
    } while (false)

struct AccessibleChange
{
    QObject *object;
    QAccessible::Event type;
};
std::vector<AccessibleChange> accessibleChanges;

void captureAccessibility(QAccessibleEvent *event)
{
    accessibleChanges.push_back({event->object(), event->type()});
}

// The polls of answerModal() still waiting, ended with the test that started them.
QObject *pendingAnswers = nullptr;

// Answers the next modal dialog with answer(dialog).
void answerModal(std::function<void(QWidget *)> answer)
{
    testing::answerModal(pendingAnswers, [answer = std::move(answer)](QWidget *modal) {
        answer(modal);
        return true;
    });
}

void answerPassword(const QString &password)
{
    answerModal([password](QWidget *modal) {
        auto *dialog = qobject_cast<QInputDialog *>(modal);
        QVERIFY(dialog);
        dialog->setTextValue(password);
        dialog->accept();
    });
}

void clickButton(const QString &text)
{
    answerModal([text](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        for (QAbstractButton *button : box->buttons()) {
            if (button->text() == text) {
                button->click();
                return;
            }
        }
        QFAIL(qPrintable(QStringLiteral("no button ") + text));
    });
}

QList<QJsonObject> logRecords(const QString &path)
{
    QFile file(path);
    QList<QJsonObject> records;
    if (!file.open(QIODevice::ReadOnly))
        return records;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            records.append(QJsonDocument::fromJson(line).object());
    }
    return records;
}

} // namespace

class tst_Station : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commandLine_data();
    void commandLine();
    void stationFile();
    void nothingBeforeStart();
    void oneSlotFailsOthersGoOn();
    void nextBoardOnASlot();
    void slotFollowsItsAdapter();
    void recordThatCannotBeWritten();
    void csvForASpreadsheet();
    void quitInTheMiddle();
    void lock();
    void sixteenSlotsFitTheScreen();

private:
    // A simulated device on a pseudo-terminal; its port.
    QString simulator(const QStringList &options);
    // A window with one slot per port, the image, the log in the temporary folder.
    void openWindow(const QStringList &ports);
    void openWindow(const QList<PortTarget> &targets);

    QTemporaryDir m_dir;
    QString m_image;
    QString m_log;
    std::vector<std::unique_ptr<QProcess>> m_simulators;
    std::unique_ptr<StationWindow> m_window;
};

void tst_Station::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The supervisor's password and the default log stay in the test's own folders.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("data"))));
    QCoreApplication::setOrganizationName(QStringLiteral("vantu-test"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_station"));
    m_image = writeImage(m_dir.path(), QStringLiteral("board.vuf"), escapeHeavyBytes(6000));
    // Takes the events a screen reader's bridge would get, where the platform has one active: on
    // xcb with an accessibility bus (tests/under-xvfb.sh), which comes up with the event loop.
    QAccessible::installUpdateHandler(captureAccessibility);
    if (qEnvironmentVariableIsSet("VANTU_EXPECT_ACCESSIBILITY")) {
        QWidget probe;
        probe.show();
        QTRY_VERIFY_WITH_TIMEOUT(QAccessible::isActive(), 10000);
    }
}

void tst_Station::init()
{
    failOnQtWarnings();
    pendingAnswers = new QObject;
    accessibleChanges.clear();
    static int run = 0;
    m_log = m_dir.filePath(QStringLiteral("records-%1.jsonl").arg(++run));
}

void tst_Station::cleanup()
{
    delete pendingAnswers;
    pendingAnswers = nullptr;
    m_window.reset();
    for (auto &process : m_simulators) {
        process->kill();
        process->waitForFinished(3000);
    }
    m_simulators.clear();
}

QString tst_Station::simulator(const QStringList &options)
{
    m_simulators.push_back(std::make_unique<QProcess>());
    return startSimulator(*m_simulators.back(), options);
}

void tst_Station::openWindow(const QStringList &ports)
{
    QList<PortTarget> targets;
    for (const QString &port : ports)
        targets.append(PortTarget::named(port));
    openWindow(targets);
}

void tst_Station::openWindow(const QList<PortTarget> &targets)
{
    StationConfig config;
    for (int index = 0; index < targets.size(); ++index)
        config.fixture.append({defaultSlotName(index), targets[index]});
    config.imagePath = m_image;
    config.logPath = m_log;
    m_window = std::make_unique<StationWindow>();
    QVERIFY(m_window->setConfig(config));
    m_window->show();
    // Keys reach the window's shortcuts only while it is the active window (xcb).
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
}

void tst_Station::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("slotLabels");

    QTest::newRow("ports and serial numbers become slots in order")
        << QStringList{"--serial", "A1", "-p", "ttyUSB3", "--port", "/dev/x", "image.vuf"}
        << QString() << QStringList{"serial:A1", "ttyUSB3", "/dev/x"};
    QTest::newRow("a station file") << QStringList{"fixture.station"} << QString() << QStringList{};
    QTest::newRow("a version the records do not write")
        << QStringList{"--hardware", "5.7", "image.vuf"}
        << "--hardware wants a version as the records write it, such as 05.07, not 5.7"
        << QStringList{};
    QTest::newRow("a serial number twice") << QStringList{"--serial", "A", "--serial", "A"}
                                           << "--serial A given twice" << QStringList{};
    QTest::newRow("two images") << QStringList{"a.vuf", "b.vuf"}
                                << "one image or station file only, not a.vuf b.vuf"
                                << QStringList{};
}

void tst_Station::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFETCH(QStringList, slotLabels);
    const StationCommandLine line =
        parseStationCommandLine(QStringList{QStringLiteral("vantustation")} + arguments);
    QCOMPARE(line.error, error);
    QCOMPARE(line.action, error.isEmpty() ? StationCommandLine::Action::Run
                                          : StationCommandLine::Action::UsageError);
    QStringList labels;
    for (const SlotConfig &slot : line.config.fixture)
        labels.append(slot.target.label());
    QCOMPARE(labels, slotLabels);
    if (arguments.contains(QStringLiteral("fixture.station")))
        QCOMPARE(line.stationFile, QStringLiteral("fixture.station"));
}

void tst_Station::stationFile()
{
    openWindow({QStringLiteral("/dev/ttyNONE")});
    StationConfig config = m_window->config();
    config.fixture = {{QStringLiteral("Left, front"), PortTarget::bySerialNumber("FT12")},
                      {QStringLiteral("Right"), PortTarget::named("/dev/serial/by-id/x")}};
    config.hardware = {QStringLiteral("05.07")};
    config.skipFirmware = {QStringLiteral("02.00")};
    QVERIFY(m_window->setConfig(config));
    const QString path = m_dir.filePath(QStringLiteral("fixture.station"));
    QVERIFY(m_window->saveStation(path));

    m_window = std::make_unique<StationWindow>();
    QVERIFY(m_window->openStation(path));
    const StationConfig &read = m_window->config();
    QCOMPARE(read.fixture.size(), 2);
    QCOMPARE(read.fixture[0].name, QStringLiteral("Left, front"));
    QCOMPARE(read.fixture[0].target.kind, PortTarget::Kind::SerialNumber);
    QCOMPARE(read.fixture[1].target.value, QStringLiteral("/dev/serial/by-id/x"));
    QCOMPARE(read.hardware, QStringList{"05.07"});
    QCOMPARE(read.skipFirmware, QStringList{"02.00"});
    QCOMPARE(m_window->panel()->tile(0)->findChild<QLabel *>("slotName")->text(),
             QStringLiteral("Left, front"));

    // A damaged file, and one with a bad version: said so, nothing changed.
    for (const QByteArray &bad : {QByteArray(R"({"slots": [{"name": "A", "port": )"),
                                  QByteArray(R"({"slots": [], "hardware": ["5.7"]})"),
                                  QByteArray(R"({"slots": [{"name": "A"}]})")}) {
        const QString badPath = m_dir.filePath(QStringLiteral("bad.station"));
        QFile file(badPath);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bad);
        file.close();
        QVERIFY(!m_window->openStation(badPath));
        QVERIFY2(m_window->message().contains(QLatin1String("Nothing was changed")),
                 qPrintable(m_window->message()));
        QCOMPARE(m_window->config().fixture.size(), 2);
    }
}

void tst_Station::nothingBeforeStart()
{
    ScriptedDevice device;
    QVERIFY(device.open());
    openWindow({device.path()});
    QVERIFY(neverWithin(3 * PastTimeout, [&] { return !device.raw.isEmpty(); }));
    QCOMPARE(m_window->panel()->tile(0)->look(), SlotTile::Look::Stopped);
    QTest::keyClick(m_window.get(), Qt::Key_F5);
    QVERIFY(device.waitForCommand(CMD_PING));
    QVERIFY(m_window->isRunning());
}

void tst_Station::oneSlotFailsOthersGoOn()
{
    const QString good = simulator({});
    const QString refusing = simulator({QStringLiteral("--cancel-at"), QStringLiteral("2048")});
    QVERIFY(!good.isEmpty() && !refusing.isEmpty());
    openWindow({good, refusing});
    SlotPanel *panel = m_window->panel();
    m_window->start();

    WAIT_COMPARE(panel->tile(0)->look(), SlotTile::Look::Updated);
    WAIT_COMPARE(panel->tile(1)->look(), SlotTile::Look::Failed);
    QCOMPARE(panel->tile(0)->stateText(), QStringLiteral("\u2714 Updated"));
    QCOMPARE(panel->tile(1)->stateText(),
             QStringLiteral("\u2716 Failed: the board refused the image"));
    QCOMPARE(panel->tile(1)->toolTip().contains(QLatin1String("press Retry failed")), true);
    QCOMPARE(panel->tile(0)->updatedCount(), 1);
    QCOMPARE(panel->tile(1)->failedCount(), 1);
    // What assistive technology reads for each tile, through the tile's accessible interface.
    const auto spoken = [](QWidget *tile, QAccessible::Text text) {
        return QAccessible::queryAccessibleInterface(tile)->text(text);
    };
    QCOMPARE(spoken(panel->tile(0), QAccessible::Name), QStringLiteral("Slot 1: Updated"));
    QCOMPARE(spoken(panel->tile(1), QAccessible::Name),
             QStringLiteral("Slot 2: Failed: the board refused the image"));
    QVERIFY(spoken(panel->tile(1), QAccessible::Description).contains(QLatin1String("cancelled")));
    QVERIFY(QAccessible::isActive() || !qEnvironmentVariableIsSet("VANTU_EXPECT_ACCESSIBILITY"));
    if (QAccessible::isActive()) {
        // Each change of state was announced: waiting, updating, failed.
        const auto announced = std::count_if(
            accessibleChanges.begin(), accessibleChanges.end(), [&](const AccessibleChange &c) {
                return c.object == panel->tile(1) && c.type == QAccessible::NameChanged;
            });
        QVERIFY(announced >= 3);
    }

    // The failed board is still on its slot: F6 updates it again (it cancels only once).
    QTest::keyClick(m_window.get(), Qt::Key_F6);
    WAIT_COMPARE(panel->tile(1)->look(), SlotTile::Look::Updated);
    QCOMPARE(panel->tile(1)->updatedCount(), 1);
    QCOMPARE(panel->tile(1)->failedCount(), 1);
    // Nothing failed on the first slot: the retry left it alone.
    QCOMPARE(panel->tile(0)->updatedCount(), 1);

    const QList<QJsonObject> records = logRecords(m_log);
    QCOMPARE(records.size(), 3);
    QStringList results;
    for (const QJsonObject &record : records)
        results.append(record.value("port").toString() + ' ' + record.value("result").toString());
    results.sort();
    QStringList expected{good + " updated", refusing + " cancelled", refusing + " updated"};
    expected.sort();
    QCOMPARE(results, expected);
    QCOMPARE(m_window->records().size(), 3);
}

void tst_Station::nextBoardOnASlot()
{
    const QString port = simulator({QStringLiteral("--quiet-after-done"), QStringLiteral("1500")});
    QVERIFY(!port.isEmpty());
    openWindow({port});
    SlotTile *tile = m_window->panel()->tile(0);
    m_window->start();
    WAIT_COMPARE(tile->updatedCount(), 1);
    // The board stays until it leaves: it is not updated twice in a row.
    QCOMPARE(tile->look(), SlotTile::Look::Updated);
    WAIT_COMPARE(tile->stateText(), QStringLiteral("\u25cb Waiting for a board"));
    WAIT_COMPARE(tile->updatedCount(), 2);
    QCOMPARE(logRecords(m_log).size(), 2);
}

void tst_Station::slotFollowsItsAdapter()
{
    const QString unavailable = FakeAdapter::unavailableReason();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no USB adapter can be plugged in: ") + unavailable));
    const FakeAdapter::Identity identity{QStringLiteral("A1B2C3")};
    auto adapter =
        std::make_unique<FakeAdapter>(QStringLiteral("ttyUSBa"), identity, simulator({}));
    QVERIFY2(adapter->isPlugged(), qPrintable(adapter->error()));
    openWindow(QList<PortTarget>{PortTarget::bySerialNumber(identity.serialNumber)});
    SlotTile *tile = m_window->panel()->tile(0);
    const auto shownPort = [tile] {
        return tile->findChild<QLabel *>("slotPort")->toolTip();
    };
    m_window->start();
    WAIT_COMPARE(tile->updatedCount(), 1);
    QCOMPARE(shownPort(), QStringLiteral("ttyUSBa \u2013 FT232R USB UART SN A1B2C3"));

    // Pulled out with its board, and back under another name. The next board is put on a moment
    // later: on the same adapter only a silence tells a new board from the one just updated.
    auto *session = m_window->findChild<UpdateSession *>();
    QVERIFY(session && session->portOpen());
    adapter.reset();
    m_simulators.back()->kill();
    WAIT_VERIFY(!session->portOpen());
    adapter = std::make_unique<FakeAdapter>(
        QStringLiteral("ttyUSBb"), identity,
        simulator({QStringLiteral("--silent-probes"), QStringLiteral("8")}));
    QVERIFY2(adapter->isPlugged(), qPrintable(adapter->error()));
    WAIT_COMPARE(tile->updatedCount(), 2);
    QCOMPARE(shownPort(), QStringLiteral("ttyUSBb \u2013 FT232R USB UART SN A1B2C3"));

    QStringList ports;
    for (const QJsonObject &record : logRecords(m_log)) {
        QCOMPARE(record.value("result").toString(), QStringLiteral("updated"));
        QCOMPARE(record.value("adapter")["serial_number"].toString(), identity.serialNumber);
        ports.append(record.value("port").toString());
    }
    QCOMPARE(ports, (QStringList{"ttyUSBa", "ttyUSBb"}));
}

void tst_Station::recordThatCannotBeWritten()
{
    const QString first = simulator({QStringLiteral("--quiet-after-done"), QStringLiteral("1000")});
    QVERIFY(!first.isEmpty());
    openWindow({first});
    m_window->start();
    QVERIFY(m_window->isRunning());
    // The log opened at Start; a directory now stands where the first record goes.
    QVERIFY(QFile::remove(m_log));
    QVERIFY(QDir().mkdir(m_log));
    WAIT_VERIFY(m_window->message().startsWith(
        QStringLiteral("Cannot write the record to %1: ").arg(m_log)));
    QVERIFY(m_window->message().contains(QLatin1String("no new board will be started")));
    // The run ends: the next board is not started, and Start is offered again.
    QTRY_VERIFY(!m_window->isRunning());
    QVERIFY(m_window->findChild<QAction *>("startAction")->isEnabled());
    // The board itself was updated, and its tile says so; the board that comes next is not.
    QCOMPARE(m_window->panel()->tile(0)->look(), SlotTile::Look::Updated);
    QVERIFY(neverWithin(std::chrono::milliseconds(2500),
                        [this] { return m_window->records().size() > 1; }));
    QCOMPARE(m_window->records().size(), 1);
}

void tst_Station::csvForASpreadsheet()
{
    const QString port = simulator({QStringLiteral("--cancel-at"), QStringLiteral("1024")});
    QVERIFY(!port.isEmpty());
    openWindow({port});
    StationConfig config = m_window->config();
    config.fixture[0].name = QStringLiteral("Left \"A\", row\n2");
    QVERIFY(m_window->setConfig(config));
    m_window->start();
    WAIT_COMPARE(m_window->records().size(), 1);
    const QString csvPath = m_dir.filePath(QStringLiteral("shift.csv"));
    QVERIFY(m_window->exportRecords(csvPath));

    // Read back by python's csv module, as a spreadsheet would read it.
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import csv, json, sys\n"
                                 "rows = list(csv.reader(open(sys.argv[1], newline='')))\n"
                                 "print(json.dumps(rows))"),
                  csvPath});
    if (!python.waitForStarted(5000))
        QSKIP("python3 is not installed");
    QVERIFY(python.waitForFinished(10000));
    QCOMPARE(python.exitCode(), 0);
    const QJsonArray rows = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    QCOMPARE(rows.size(), 2);
    const QJsonArray header = rows[0].toArray();
    const QJsonArray row = rows[1].toArray();
    QCOMPARE(row.size(), header.size());
    const auto field = [&](const char *name) {
        for (int column = 0; column < header.size(); ++column) {
            if (header[column].toString() == QLatin1String(name))
                return row[column].toString();
        }
        return QStringLiteral("<no column>");
    };
    QCOMPARE(field("slot"), config.fixture[0].name);
    QCOMPARE(field("result"), QStringLiteral("cancelled"));
    QCOMPARE(field("message"), m_window->records().first().result.message);
    QVERIFY(field("message").contains(QLatin1Char(',')));
    QFile image(m_image);
    QVERIFY(image.open(QIODevice::ReadOnly));
    QCOMPARE(field("image_sha256").toLatin1(), sha256Hex(image.readAll()));
}

void tst_Station::quitInTheMiddle()
{
    // A board that falls silent halfway: its update stays under way for the silence limit.
    const QString port = simulator({QStringLiteral("--silent-at"), QStringLiteral("3000")});
    QVERIFY(!port.isEmpty());
    openWindow({port});
    m_window->start();
    WAIT_VERIFY(m_window->panel()->tile(0)->stateText().contains(QLatin1String("%")));

    clickButton(QStringLiteral("Keep updating"));
    QTest::keyClick(m_window.get(), Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(m_window->isVisible());
    QVERIFY(m_window->isRunning());

    clickButton(QStringLiteral("Quit anyway"));
    QVERIFY(m_window->close());
    QTRY_VERIFY(!m_window->isVisible());
    const QList<QJsonObject> records = logRecords(m_log);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records[0].value("result").toString(), QStringLiteral("interrupted"));
}

void tst_Station::lock()
{
    openWindow({QStringLiteral("/dev/ttyNONE")});
    QVERIFY(!SupervisorLock().hasPassword());
    QAction *lockAction = m_window->findChild<QAction *>("lockAction");
    QVERIFY(lockAction && m_window->menuBar()->isVisible());

    // First use: the password is set, twice the same.
    answerPassword(QStringLiteral("s3cret, really"));
    QTimer::singleShot(200, this, [] { answerPassword(QStringLiteral("s3cret, really")); });
    lockAction->trigger();
    QVERIFY(m_window->isLocked());
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("vantustation (locked)"));
    QVERIFY(!m_window->menuBar()->isVisible());
    QVERIFY(!m_window->findChild<QAction *>("resetCountersAction")->isVisible());
    QVERIFY(m_window->findChild<QAction *>("startAction")->isVisible());
    QVERIFY(m_window->findChild<QAction *>("retryAction")->isVisible());

    // The password is kept as a salted hash, never as itself.
    QSettings settings;
    QVERIFY(!settings.allKeys().isEmpty());
    for (const QString &key : settings.allKeys())
        QVERIFY(!settings.value(key).toString().contains(QLatin1String("s3cret")));

    answerPassword(QStringLiteral("guess"));
    QTest::keyClick(m_window.get(), Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(m_window->isLocked());
    QVERIFY2(m_window->message().startsWith(QLatin1String("Wrong password")),
             qPrintable(m_window->message()));
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));

    answerPassword(QStringLiteral("s3cret, really"));
    QTest::keyClick(m_window.get(), Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(!m_window->isLocked());
    QVERIFY(m_window->menuBar()->isVisible());
}

void tst_Station::sixteenSlotsFitTheScreen()
{
    QStringList ports;
    for (int index = 0; index < 16; ++index)
        ports.append(
            QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A%1-if00-port0").arg(index));
    openWindow(ports);
    m_window->resize(1366, 768 - 60); // the screen less a panel
    QTest::qWait(50);
    const QSize needed = m_window->minimumSizeHint();
    QVERIFY2(needed.width() <= 1366 && needed.height() <= 708,
             qPrintable(QStringLiteral("%1x%2").arg(needed.width()).arg(needed.height())));
    for (int index = 0; index < 16; ++index) {
        const SlotTile *tile = m_window->panel()->tile(index);
        QVERIFY(tile->isVisible());
        QVERIFY(tile->height() >= tile->minimumSizeHint().height());
        // Text readable across the room: the state at least 14 pt.
        QVERIFY(tile->findChild<QLabel *>("slotState")->font().pointSizeF() >= 14);
    }
}

QTEST_MAIN(tst_Station)
#include "tst_station.moc"
