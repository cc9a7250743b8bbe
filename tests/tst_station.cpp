// The station window as an operator and a supervisor meet it: the real window (offscreen, and
// under Xvfb with xcb), each slot on a pseudo-terminal played by the devicesim program, the log
// and the CSV export read back, the lock with its real password dialogs.
#include "fakeadapter.h"
#include "filedialoganswer.h"
#include "fittedlabel.h"
#include "linesupport.h"
#include "settingsdialog.h"
#include "slotpanel.h"
#include "stationoptions.h"
#include "stationwindow.h"
#include "supervisorlock.h"
#include "updateprotocol.h"
#include "updatesession.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QStyleOptionComboBox>
#include <QTableWidget>
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

// Answers the next password dialogs, one after the other, with the passwords in turn: each answer
// waits for a dialog that comes after the one before it.
void answerPasswords(QStringList passwords)
{
    if (passwords.isEmpty())
        return;
    answerModal([passwords](QWidget *modal) {
        auto *dialog = qobject_cast<QInputDialog *>(modal);
        QVERIFY(dialog);
        dialog->setTextValue(passwords.first());
        dialog->accept();
        answerPasswords(passwords.mid(1));
    });
}

void answerPassword(const QString &password)
{
    answerPasswords({password});
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

// The screens the runners give the test, as "WIDTHxHEIGHT" (VANTU_SCREENS): the offscreen platform
// through the configuration main() writes, Xvfb through tests/under-xvfb.sh.
QStringList expectedScreens()
{
    return QString::fromLocal8Bit(qgetenv("VANTU_SCREENS"))
        .split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QScreen *screenOfSize(const QString &size)
{
    for (QScreen *screen : QGuiApplication::screens()) {
        if (QStringLiteral("%1x%2").arg(screen->size().width()).arg(screen->size().height()) ==
            size)
            return screen;
    }
    return nullptr;
}

// Lays out every widget whose layout has a request pending.
void settleLayouts()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
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
    void nextBoardOnASlot_data();
    void nextBoardOnASlot();
    void outcomeStaysThroughStop();
    void slotFollowsItsAdapter();
    void recordThatCannotBeWritten();
    void csvForASpreadsheet();
    void quitInTheMiddle();
    void lock();
    void openedLocked();
    void settingsDialog();
    void windowFitsItsScreen_data();
    void windowFitsItsScreen();

private:
    // A simulated device on a pseudo-terminal; its port.
    QString simulator(const QStringList &options);
    // A window with one slot per port, the image, the log in the temporary folder.
    void openWindow(const QStringList &ports);
    void openWindow(const QList<PortTarget> &targets, const QStringList &hardware = {});
    // The session of a slot of the running station.
    UpdateSession *session(int slot) const;

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

UpdateSession *tst_Station::session(int slot) const
{
    const QList<UpdateSession *> sessions = m_window->findChildren<UpdateSession *>();
    for (UpdateSession *each : sessions) {
        if (each->settings().target.value == m_window->config().fixture.value(slot).target.value)
            return each;
    }
    return nullptr;
}

void tst_Station::openWindow(const QList<PortTarget> &targets, const QStringList &hardware)
{
    StationConfig config;
    config.hardware = hardware;
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
    // Before Start there is nothing that could send: no session and no open port, whatever the
    // time waited.
    QVERIFY(m_window->findChildren<UpdateSession *>().isEmpty());
    QCOMPARE(m_window->panel()->tile(0)->look(), SlotTile::Look::Stopped);
    QTest::keyClick(m_window.get(), Qt::Key_F5);
    QVERIFY(device.waitForCommand(CMD_PING));
    QVERIFY(m_window->isRunning());
    // The first bytes on the line are the probe that Start sent.
    QCOMPARE(device.commands().first(), CMD_PING);
    QCOMPARE(device.badChecks, 0);
}

void tst_Station::oneSlotFailsOthersGoOn()
{
    const QString good = simulator({});
    const QString refusing = simulator({QStringLiteral("--cancel-at"), QStringLiteral("2048")});
    const QString wrong = simulator({QStringLiteral("--hardware"), QStringLiteral("4.2")});
    QVERIFY(!good.isEmpty() && !refusing.isEmpty() && !wrong.isEmpty());
    openWindow(QList<PortTarget>{PortTarget::named(good), PortTarget::named(refusing),
                                 PortTarget::named(wrong)},
               {QStringLiteral("05.07")});
    SlotPanel *panel = m_window->panel();
    m_window->start();

    WAIT_COMPARE(panel->tile(0)->look(), SlotTile::Look::Updated);
    WAIT_COMPARE(panel->tile(1)->look(), SlotTile::Look::Failed);
    WAIT_COMPARE(panel->tile(2)->look(), SlotTile::Look::Failed);
    QCOMPARE(panel->tile(0)->stateText(), QStringLiteral("\u2714 Updated"));
    QCOMPARE(panel->tile(1)->stateText(),
             QStringLiteral("\u2716 Failed: the board refused the image"));
    QCOMPARE(panel->tile(2)->stateText(),
             QStringLiteral("\u2716 Failed: wrong board (hardware 04.02)"));
    // What to do next: a cancel can be mended by a retry, a guard's refusal cannot.
    WAIT_COMPARE(panel->tile(1)->advice(),
                 QStringLiteral("take the board off, or press F6 to retry"));
    WAIT_COMPARE(panel->tile(2)->advice(), QStringLiteral("take the board off"));
    QCOMPARE(panel->tile(0)->advice(), QStringLiteral("put the next board on"));
    QVERIFY(panel->tile(1)->toolTip().contains(QLatin1String("press Retry failed")));
    QCOMPARE(panel->tile(0)->updatedCount(), 1);
    QCOMPARE(panel->tile(1)->failedCount(), 1);
    // What assistive technology reads for each tile, through the tile's accessible interface.
    const auto spoken = [](QWidget *tile, QAccessible::Text text) {
        return QAccessible::queryAccessibleInterface(tile)->text(text);
    };
    QCOMPARE(spoken(panel->tile(0), QAccessible::Name),
             QStringLiteral("Slot 1: Updated \u2013 put the next board on"));
    QCOMPARE(spoken(panel->tile(1), QAccessible::Name),
             QStringLiteral("Slot 2: Failed: the board refused the image \u2013 take the board "
                            "off, or press F6 to retry"));
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

    // The cancelled board is still on its slot: F6 updates it again (it cancels only once). The
    // wrong board is not tried again: it stays where it was, with its one record.
    QCOMPARE(session(2)->state(), UpdateSession::State::AwaitingRemoval);
    QTest::keyClick(m_window.get(), Qt::Key_F6);
    QCOMPARE(session(2)->state(), UpdateSession::State::AwaitingRemoval);
    QCOMPARE(m_window->message(),
             QStringLiteral("Updating again the failed boards still on the fixture: 1."));
    WAIT_COMPARE(panel->tile(1)->look(), SlotTile::Look::Updated);
    // The counters count boards: the board retried counts once, by its last outcome.
    QCOMPARE(panel->tile(1)->updatedCount(), 1);
    QCOMPARE(panel->tile(1)->failedCount(), 0);
    QCOMPARE(panel->tile(2)->failedCount(), 1);
    // Nothing failed on the first slot: the retry left it alone.
    QCOMPARE(panel->tile(0)->updatedCount(), 1);
    // Nothing left that a retry can mend: F6 says so and starts nothing.
    QTest::keyClick(m_window.get(), Qt::Key_F6);
    QVERIFY2(m_window->message().startsWith(QLatin1String("No failed board that a retry can mend")),
             qPrintable(m_window->message()));
    QCOMPARE(session(2)->state(), UpdateSession::State::AwaitingRemoval);

    const QList<QJsonObject> records = logRecords(m_log);
    QStringList results;
    for (const QJsonObject &record : records)
        results.append(record.value("port").toString() + ' ' + record.value("result").toString());
    results.sort();
    QStringList expected{good + " updated", refusing + " cancelled", refusing + " updated",
                         wrong + " wrong-hardware"};
    expected.sort();
    QCOMPARE(results, expected);
}

void tst_Station::nextBoardOnASlot_data()
{
    QTest::addColumn<QString>("afterDone");
    // The board is taken off (it falls silent), and the next one put on.
    QTest::newRow("taken off") << "--quiet-after-done";
    // The board restarts into its new firmware and takes its port along, as a USB device does.
    QTest::newRow("restarts, taking its port along") << "--restart-after-done";
}

void tst_Station::nextBoardOnASlot()
{
    QFETCH(QString, afterDone);
    const QString link = m_dir.filePath(QStringLiteral("fixture-%1").arg(QTest::currentDataTag()));
    QVERIFY(
        !simulator({QStringLiteral("--link"), link, afterDone, QStringLiteral("1500")}).isEmpty());
    openWindow({link});
    SlotTile *tile = m_window->panel()->tile(0);
    m_window->start();
    WAIT_COMPARE(tile->updatedCount(), 1);
    // The board has left (silent for a second, or its port gone): the tile still tells that it
    // was updated, with its versions and the time, and what to do next.
    UpdateSession *slot = session(0);
    QVERIFY(slot);
    if (afterDone == QLatin1String("--quiet-after-done"))
        WAIT_COMPARE(slot->state(), UpdateSession::State::AwaitingNext);
    else
        WAIT_VERIFY(slot->portGoneBetweenBoards());
    QCOMPARE(tile->stateText(), QStringLiteral("\u2714 Updated"));
    QCOMPARE(tile->advice(), QStringLiteral("put the next board on"));
    const QString versions = tile->findChild<QLabel *>("slotVersions")->text();
    QVERIFY2(versions.startsWith(QStringLiteral("Firmware 01.00 \u00b7 hardware 05.07 \u00b7 at ")),
             qPrintable(versions));
    QCOMPARE(tile->findChild<QLabel *>("slotPort")->toolTip().endsWith(QLatin1String("(gone)")),
             slot->portGoneBetweenBoards());
    // Once the next board answers, the tile is its tile.
    WAIT_COMPARE(tile->updatedCount(), 2);
    QCOMPARE(logRecords(m_log).size(), 2);
}

void tst_Station::outcomeStaysThroughStop()
{
    // A board that stops answering halfway, and one updated beside it.
    const QString silent = simulator({QStringLiteral("--silent-at"), QStringLiteral("2048")});
    const QString good = simulator({});
    QVERIFY(!silent.isEmpty() && !good.isEmpty());
    openWindow({silent, good});
    SlotPanel *panel = m_window->panel();
    m_window->start();
    WAIT_COMPARE(panel->tile(0)->look(), SlotTile::Look::Failed);
    WAIT_COMPARE(panel->tile(1)->look(), SlotTile::Look::Updated);
    // Silent for a second, the failed board counts as gone: its outcome stays all the same.
    WAIT_COMPARE(session(0)->state(), UpdateSession::State::AwaitingNext);
    QCOMPARE(panel->tile(0)->stateText(),
             QStringLiteral("\u2716 Failed: the board stopped answering"));
    QCOMPARE(panel->tile(0)->advice(), QStringLiteral("take the board off"));

    // Stop: the tiles keep both outcomes.
    m_window->stop();
    WAIT_VERIFY(!m_window->isRunning());
    QCOMPARE(panel->tile(0)->stateText(),
             QStringLiteral("\u2716 Failed: the board stopped answering"));
    QCOMPARE(panel->tile(1)->stateText(), QStringLiteral("\u2714 Updated"));
    for (int slot = 0; slot < 2; ++slot)
        QCOMPARE(panel->tile(slot)->advice(), QStringLiteral("stopped"));
    QCOMPARE(panel->tile(0)->look(), SlotTile::Look::Failed);
    QCOMPARE(panel->tile(1)->look(), SlotTile::Look::Updated);
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
        QStringLiteral("Cannot write the record of the board on %1 (updated) to %2: ")
            .arg(first, m_log)));
    QVERIFY(m_window->message().contains(QLatin1String("no new board will be started")));
    // The run ends: the next board is not started, and Start is offered again.
    WAIT_VERIFY(!m_window->isRunning());
    QVERIFY(m_window->findChild<QAction *>("startAction")->isEnabled());
    // The board itself was updated, and its tile says so. No session is left to take the board
    // that comes next.
    QCOMPARE(m_window->panel()->tile(0)->look(), SlotTile::Look::Updated);
    WAIT_VERIFY(m_window->findChildren<UpdateSession *>().isEmpty());
    QCOMPARE(m_window->panel()->tile(0)->updatedCount(), 1);
}

void tst_Station::csvForASpreadsheet()
{
    const QString port = simulator({QStringLiteral("--cancel-at"), QStringLiteral("1024")});
    QVERIFY(!port.isEmpty());
    // The log already holds a record of this port from an earlier shift, and one of another
    // station that shares the file: neither is of this shift.
    const auto earlier = [&](const QString &recordPort, const QString &started) {
        QJsonObject record{{"event", "result"},
                           {"port", recordPort},
                           {"result", "updated"},
                           {"started", started},
                           {"message", "not of this shift"}};
        return QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    };
    {
        QFile log(m_log);
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write(earlier(port, QStringLiteral("2020-01-01T08:00:00.000Z")));
    }
    openWindow({port});
    StationConfig config = m_window->config();
    config.fixture[0].name = QStringLiteral("Left \"A\", row\n2");
    QVERIFY(m_window->setConfig(config));
    SlotTile *tile = m_window->panel()->tile(0);
    // Two runs: the board cancels in the first; in the second it is updated.
    m_window->start();
    WAIT_COMPARE(tile->failedCount(), 1);
    {
        QFile log(m_log);
        QVERIFY(log.open(QIODevice::Append));
        log.write(earlier(QStringLiteral("/dev/ttyOTHER"),
                          QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)));
    }
    m_window->stop();
    WAIT_VERIFY(!m_window->isRunning());
    m_window->start();
    WAIT_COMPARE(tile->updatedCount(), 1);
    m_window->stop();
    WAIT_VERIFY(!m_window->isRunning());

    // Exported through the menu: a name is proposed, and .csv added to a name typed without it.
    QString proposed;
    const QString typed = m_dir.filePath(QStringLiteral("shift"));
    answerModal([&](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        QVERIFY(dialog);
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        proposed = name->text();
        name->setText(typed);
        static_cast<QDialog *>(dialog)->accept();
    });
    m_window->findChild<QAction *>("exportAction")->trigger();
    QCOMPARE(proposed,
             QStringLiteral("records-%1.csv").arg(QDate::currentDate().toString(Qt::ISODate)));
    const QString csvPath = typed + QStringLiteral(".csv");
    QVERIFY2(QFile::exists(csvPath), qPrintable(m_window->message()));
    QCOMPARE(m_window->message(), QStringLiteral("Exported 2 records to %1.").arg(csvPath));

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
    QCOMPARE(rows.size(), 3);
    const QJsonArray header = rows[0].toArray();
    const QList<QJsonObject> logged = logRecords(m_log);
    QCOMPARE(logged.size(), 4);
    for (int index = 1; index < rows.size(); ++index) {
        const QJsonArray row = rows[index].toArray();
        QCOMPARE(row.size(), header.size());
        const auto field = [&](const char *name) {
            for (int column = 0; column < header.size(); ++column) {
                if (header[column].toString() == QLatin1String(name))
                    return row[column].toString();
            }
            return QStringLiteral("<no column>");
        };
        // The rows are the log's records of this shift, as the log has them.
        const QJsonObject record = logged[index == 1 ? 1 : 3];
        QCOMPARE(field("slot"), config.fixture[0].name);
        QCOMPARE(field("result"), record.value("result").toString());
        QCOMPARE(field("result"),
                 index == 1 ? QStringLiteral("cancelled") : QStringLiteral("updated"));
        QCOMPARE(field("message"), record.value("message").toString());
        QCOMPARE(field("started"), record.value("started").toString());
        QFile image(m_image);
        QVERIFY(image.open(QIODevice::ReadOnly));
        QCOMPARE(field("image_sha256").toLatin1(), sha256Hex(image.readAll()));
        QCOMPARE(field("image_size"), QString::number(image.size()));
    }
    QVERIFY(QString::fromUtf8(QJsonDocument(rows).toJson()).contains(QLatin1Char(',')));
}

void tst_Station::quitInTheMiddle()
{
    // Boards that fall silent halfway: their updates stay under way for the silence limit.
    const QString first = simulator({QStringLiteral("--silent-at"), QStringLiteral("3000")});
    const QString second = simulator({QStringLiteral("--silent-at"), QStringLiteral("3000")});
    QVERIFY(!first.isEmpty() && !second.isEmpty());
    openWindow({first, second});
    m_window->start();
    WAIT_VERIFY(session(0) && session(0)->changingBoard() && session(1)->changingBoard());

    // Return answers the question with its default: the boards keep going.
    QString asked;
    answerModal([&asked](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY(box);
        asked = box->text();
        QTest::keyClick(box, Qt::Key_Return);
    });
    QTest::keyClick(m_window.get(), Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(asked, QStringLiteral("Boards are being updated on Slot 1 and Slot 2. Quitting now "
                                   "stops their updates and leaves them without complete "
                                   "firmware."));
    QVERIFY(m_window->isVisible());
    QVERIFY(m_window->isRunning());
    QVERIFY(session(0)->changingBoard());

    clickButton(QStringLiteral("Quit anyway"));
    QVERIFY(m_window->close());
    QTRY_VERIFY(!m_window->isVisible());
    const QList<QJsonObject> records = logRecords(m_log);
    QCOMPARE(records.size(), 2);
    for (const QJsonObject &record : records)
        QCOMPARE(record.value("result").toString(), QStringLiteral("interrupted"));
}

void tst_Station::lock()
{
    openWindow({QStringLiteral("/dev/ttyNONE")});
    QVERIFY(!SupervisorLock().hasPassword());
    QAction *lockAction = m_window->findChild<QAction *>("lockAction");
    QVERIFY(lockAction && m_window->menuBar()->isVisible());

    // First use: the password is set, twice the same.
    answerPasswords({QStringLiteral("s3cret, really"), QStringLiteral("s3cret, really")});
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

    // Locked, Ctrl+Q asks for the password too: a wrong one keeps the station open.
    answerPassword(QStringLiteral("guess"));
    QTest::keyClick(m_window.get(), Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_window->message(), QStringLiteral("Wrong password: the station stays open."));
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));

    answerPassword(QStringLiteral("guess"));
    QTest::keyClick(m_window.get(), Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(m_window->isLocked());
    QCOMPARE(m_window->message(), QStringLiteral("Wrong password: the station stays locked."));
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));

    answerPassword(QStringLiteral("s3cret, really"));
    QTest::keyClick(m_window.get(), Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(!m_window->isLocked());
    QVERIFY(m_window->menuBar()->isVisible());

    // Locked again (the password is set now), the right password lets the supervisor quit.
    lockAction->trigger();
    QVERIFY(m_window->isLocked());
    answerPassword(QStringLiteral("s3cret, really"));
    QVERIFY(m_window->close());
    QVERIFY(!m_window->isVisible());
}

void tst_Station::openedLocked()
{
    QVERIFY(SupervisorLock().setPassword(QStringLiteral("pw")));
    // A station file saved to open locked.
    openWindow({QStringLiteral("/dev/ttyNONE")});
    StationConfig config = m_window->config();
    config.locked = true;
    QVERIFY(m_window->setConfig(config));
    QVERIFY(!m_window->isLocked()); // the supervisor goes on setting up
    const QString path = m_dir.filePath(QStringLiteral("locked.station"));
    QVERIFY(m_window->saveStation(path));

    // The menu entry's way of starting a locked station, and its plain one with that file: both
    // open locked, with the operator's controls only.
    QSettings entry(
        QStringLiteral(VANTU_SOURCE_DIR "/packaging/linux/org.vantu.vantustation.desktop"),
        QSettings::IniFormat);
    const QString plain = entry.value(QStringLiteral("Desktop Entry/Exec")).toString();
    const QString locked = entry.value(QStringLiteral("Desktop Action locked/Exec")).toString();
    QVERIFY(entry.value(QStringLiteral("Desktop Entry/Actions"))
                .toString()
                .contains(QLatin1String("locked")));
    QCOMPARE(plain, QStringLiteral("vantustation %f"));
    const QString unlockedFile = m_dir.filePath(QStringLiteral("plain.station"));
    config.locked = false;
    QVERIFY(m_window->setConfig(config));
    QVERIFY(m_window->saveStation(unlockedFile));
    const struct
    {
        QString exec;
        QString file;
    } starts[] = {{plain, path}, {locked, unlockedFile}, {locked, QString()}};
    for (const auto &start : starts) {
        QStringList arguments = start.exec.split(QLatin1Char(' '));
        arguments.removeAll(QStringLiteral("%f"));
        if (!start.file.isEmpty())
            arguments.append(start.file);
        const StationCommandLine line = parseStationCommandLine(arguments);
        QCOMPARE(line.action, StationCommandLine::Action::Run);
        m_window = std::make_unique<StationWindow>();
        m_window->show();
        m_window->applyCommandLine(line);
        QVERIFY2(m_window->isLocked(), qPrintable(arguments.join(QLatin1Char(' '))));
        QVERIFY(!m_window->menuBar()->isVisible());
        // Closing it asks for the password.
        answerPassword(QStringLiteral("pw"));
        QVERIFY(m_window->close());
    }
}

void tst_Station::settingsDialog()
{
    StationConfig config;
    config.fixture = {{QStringLiteral("Slot 1"), PortTarget::named(QStringLiteral("/dev/ttyUSB0"))},
                      {QStringLiteral("Slot 2"), PortTarget::bySerialNumber("A10K3L2Q")}};
    SettingsDialog dialog(config);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    settleLayouts();
    // Each choice of "Bound by" reads whole in its column.
    auto *table = dialog.findChild<QTableWidget *>("slotTable");
    QVERIFY(table);
    for (int row = 0; row < table->rowCount(); ++row) {
        auto *kind = qobject_cast<QComboBox *>(table->cellWidget(row, 1));
        QVERIFY(kind);
        for (int choice = 0; choice < kind->count(); ++choice) {
            QStyleOptionComboBox option;
            option.initFrom(kind);
            option.currentText = kind->itemText(choice);
            const QRect room = kind->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                             QStyle::SC_ComboBoxEditField, kind);
            QVERIFY2(kind->fontMetrics().horizontalAdvance(kind->itemText(choice)) <= room.width(),
                     qPrintable(kind->itemText(choice)));
        }
    }
    // The image and the log are chosen with a browse button each.
    const QString image = m_image;
    const QString log = m_dir.filePath(QStringLiteral("chosen.jsonl"));
    bool answered = false;
    answerFileDialog(image, &answered);
    QTest::mouseClick(dialog.findChild<QPushButton *>("browseImage"), Qt::LeftButton);
    QVERIFY(answered);
    QCOMPARE(dialog.findChild<QLineEdit *>("imagePath")->text(), image);
    answered = false;
    answerFileDialog(log, &answered);
    QTest::mouseClick(dialog.findChild<QPushButton *>("browseLog"), Qt::LeftButton);
    QVERIFY(answered);
    QCOMPARE(dialog.findChild<QLineEdit *>("logPath")->text(), log);
    dialog.findChild<QCheckBox *>("openLocked")->setChecked(true);
    dialog.accept();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.config().imagePath, image);
    QCOMPARE(dialog.config().logPath, log);
    QVERIFY(dialog.config().locked);
    QCOMPARE(dialog.config().fixture.size(), 2);
}

void tst_Station::windowFitsItsScreen_data()
{
    QTest::addColumn<QString>("screen");
    QTest::addColumn<int>("slotCount");
    const QStringList screens = expectedScreens();
    for (const QString &screen : screens) {
        for (int count = 1; count <= 16; ++count)
            QTest::addRow("%s, %d slots", qPrintable(screen), count) << screen << count;
    }
    if (screens.isEmpty())
        QTest::newRow("no screens given") << QString() << 0;
}

void tst_Station::windowFitsItsScreen()
{
    QFETCH(QString, screen);
    QFETCH(int, slotCount);
    if (screen.isEmpty())
        QSKIP("VANTU_SCREENS names no screens to open the window on");
    QScreen *target = screenOfSize(screen);
    QVERIFY2(target, qPrintable(QStringLiteral("no %1 screen").arg(screen)));
    QStringList ports;
    for (int index = 0; index < slotCount; ++index)
        ports.append(
            QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A%1-if00-port0").arg(index));
    StationConfig config;
    for (int index = 0; index < slotCount; ++index)
        config.fixture.append({defaultSlotName(index), PortTarget::named(ports[index])});
    config.imagePath = m_image;
    config.logPath = m_log;
    m_window = std::make_unique<StationWindow>();
    QVERIFY(m_window->setConfig(config));
    // Opened there as a window manager or a user would put it: on that screen, at its corner.
    m_window->setScreen(target);
    m_window->move(target->availableGeometry().topLeft());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    // The longest words a tile shows, on every tile.
    for (int index = 0; index < slotCount; ++index) {
        SlotTile *tile = m_window->panel()->tile(index);
        tile->setState(SlotTile::Look::Failed,
                       QStringLiteral("Failed: the board left before confirming"));
        tile->setAdvice(QStringLiteral("take the board off, or press F6 to retry"));
        tile->setVersions(
            QStringLiteral("Firmware 01.00 \u00b7 hardware 05.07 \u00b7 at 14:02:11"));
        tile->setCounts(1234, 567);
    }
    settleLayouts();

    // The window lies within what the screen leaves free.
    const QRect room = target->availableGeometry();
    QTRY_VERIFY2(room.contains(m_window->frameGeometry()),
                 qPrintable(QStringLiteral("window %1,%2 %3x%4 on %5x%6")
                                .arg(m_window->frameGeometry().x())
                                .arg(m_window->frameGeometry().y())
                                .arg(m_window->frameGeometry().width())
                                .arg(m_window->frameGeometry().height())
                                .arg(room.width())
                                .arg(room.height())));
    settleLayouts();
    const QRect inside = m_window->rect();
    for (int index = 0; index < slotCount; ++index) {
        SlotTile *tile = m_window->panel()->tile(index);
        const QString which =
            QStringLiteral("slot %1 of %2 on %3").arg(index + 1).arg(slotCount).arg(screen);
        QVERIFY2(tile->isVisible(), qPrintable(which));
        QVERIFY2(inside.contains(QRect(tile->mapTo(m_window.get(), QPoint(0, 0)), tile->size())),
                 qPrintable(which));
        // Tiles shrink, never the words that matter: the state stays large, and its words, what
        // to do and the slot's name show whole.
        for (const char *name : {"slotState", "slotAdvice"}) {
            const auto *label = tile->findChild<QLabel *>(name);
            QVERIFY2(label->heightForWidth(label->width()) <= label->height(),
                     qPrintable(QStringLiteral("%1: %2 needs %3 px, has %4x%5")
                                    .arg(which, QLatin1String(name))
                                    .arg(label->heightForWidth(label->width()))
                                    .arg(label->width())
                                    .arg(label->height())));
        }
        const auto *state = tile->findChild<QLabel *>("slotState");
        QVERIFY2(state->font().pointSizeF() >= 14, qPrintable(which));
        // The versions and the time show whole, in a smaller font if need be.
        const auto *versions = tile->findChild<FittedLabel *>("slotVersions");
        QVERIFY2(versions && versions->fit().text == versions->text(), qPrintable(which));
        for (const char *name : {"slotName", "slotCounts"}) {
            const auto *label = tile->findChild<QLabel *>(name);
            QVERIFY2(label->sizeHint().width() <= label->width() &&
                         label->sizeHint().height() <= label->height(),
                     qPrintable(QStringLiteral("%1: %2 needs %3x%4, has %5x%6")
                                    .arg(which, QLatin1String(name))
                                    .arg(label->sizeHint().width())
                                    .arg(label->sizeHint().height())
                                    .arg(label->width())
                                    .arg(label->height())));
        }
    }
}

// The offscreen platform gets the three screens the fixture PCs have, side by side, through its
// configuration file; under Xvfb the runner gives them (tests/under-xvfb.sh).
int main(int argc, char *argv[])
{
    QTemporaryDir screens;
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen" && screens.isValid()) {
        QJsonArray list;
        int x = 0;
        for (const QSize size : {QSize(1024, 768), QSize(1366, 768), QSize(1920, 1080)}) {
            list.append(QJsonObject{{"name", QStringLiteral("screen%1").arg(list.size())},
                                    {"x", x},
                                    {"y", 0},
                                    {"width", size.width()},
                                    {"height", size.height()},
                                    {"logicalDpi", 96},
                                    {"logicalBaseDpi", 96},
                                    {"dpr", 1}});
            x += size.width();
        }
        const QString path = screens.filePath(QStringLiteral("screens.json"));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(QJsonDocument(QJsonObject{{"screens", list}}).toJson());
        file.close();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(path));
        qputenv("VANTU_SCREENS", "1024x768 1366x768 1920x1080");
    }
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    tst_Station test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_station.moc"
