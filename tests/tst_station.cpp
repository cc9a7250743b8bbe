// The station window as an operator meets it with boards on the fixture: the real window
// (offscreen, and under Xvfb with xcb), each slot on a pseudo-terminal played by the devicesim
// program, the log and the CSV export read back. How a supervisor sets it up is in
// tst_stationsetup.
#include "fakeadapter.h"
#include "linesupport.h"
#include "slotpanel.h"
#include "stationsupport.h"
#include "stationwindow.h"
#include "updateprotocol.h"
#include "updatesession.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

using namespace testing;

namespace {

constexpr int UpdateTimeoutMs = PatienceMs;

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

} // namespace

class tst_Station : public QObject, StationCase
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void nothingBeforeStart();
    void oneSlotFailsOthersGoOn();
    void nextBoardOnASlot_data();
    void nextBoardOnASlot();
    void outcomeStaysThroughStop();
    void slotFollowsItsAdapter();
    void recordThatCannotBeWritten();
    void csvForASpreadsheet();
    void quitInTheMiddle();

private:
    // A simulated device on a pseudo-terminal; its port.
    QString simulator(const QStringList &options);
    // The session of a slot of the running station.
    UpdateSession *session(int slot) const;

    std::vector<std::unique_ptr<QProcess>> m_simulators;
};

void tst_Station::initTestCase()
{
    initCase();
    // Takes the events a screen reader's bridge would get, where the platform has one active: on
    // xcb with an accessibility bus (tests/under-xvfb.sh), which comes up with the event loop.
    QAccessible::installUpdateHandler(captureAccessibility);
    if (qEnvironmentVariableIsSet("VANTU_EXPECT_ACCESSIBILITY")) {
        QWidget probe;
        probe.show();
        QTRY_VERIFY_WITH_TIMEOUT(QAccessible::isActive(), PatienceMs);
    }
}

void tst_Station::init()
{
    beginCase();
    accessibleChanges.clear();
}

void tst_Station::cleanup()
{
    endCase();
    for (auto &process : m_simulators) {
        process->kill();
        process->waitForFinished(PatienceMs);
    }
    m_simulators.clear();
}

QString tst_Station::simulator(const QStringList &options)
{
    m_simulators.push_back(std::make_unique<QProcess>());
    return startSimulator(*m_simulators.back(), options);
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

void tst_Station::nothingBeforeStart()
{
    ScriptedDevice device;
    QVERIFY(device.open());
    openWindow({device.path()});
    // Before Start there is nothing that could send: no session and no open port, whatever the
    // time waited; and nothing reaches the line for longer than a probe's time-out.
    QVERIFY(m_window->findChildren<UpdateSession *>().isEmpty());
    QVERIFY(neverWithin(PastTimeout, [&] { return !device.raw.isEmpty(); }));
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
    if (!python.waitForStarted(PatienceMs) && python.error() == QProcess::FailedToStart)
        QSKIP("python3 is not installed");
    QVERIFY(python.waitForFinished(PatienceMs));
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
        if (index == 1) // the cancel's message has a comma, which the CSV must keep in its field
            QVERIFY(field("message").contains(QLatin1Char(',')));
        QCOMPARE(field("started"), record.value("started").toString());
        QFile image(m_image);
        QVERIFY(image.open(QIODevice::ReadOnly));
        QCOMPARE(field("image_sha256").toLatin1(), sha256Hex(image.readAll()));
        QCOMPARE(field("image_size"), QString::number(image.size()));
    }
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

int main(int argc, char *argv[])
{
    tst_Station test;
    return runStationSuite(test, argc, argv);
}

#include "tst_station.moc"
