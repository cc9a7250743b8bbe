// The station as a supervisor sets it up, on every system and without a board: its file, its
// lock and the supervisor's password where the system keeps settings, its settings dialog, and
// its window on each screen a fixture PC has. The same suite runs as a Windows program.
#include "filedialoganswer.h"
#include "fittedlabel.h"
#include "settingsdialog.h"
#include "slotpanel.h"
#include "stationoptions.h"
#include "stationsupport.h"
#include "stationwindow.h"
#include "supervisorlock.h"
#include "testsupport.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QStyleOptionComboBox>
#include <QTableWidget>
#include <QTest>

using namespace testing;

class StationSetupTest : public QObject, StationCase
{
    Q_OBJECT

private slots:
    void initTestCase() { initCase(); }
    void init() { beginCase(); }
    void cleanup() { endCase(); }

    void stationFile();
    void lock();
    void openedLocked();
    void settingsDialog();
    void windowFitsItsScreen_data();
    void windowFitsItsScreen();
};

void StationSetupTest::stationFile()
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

void StationSetupTest::lock()
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
    int asked = 0;
    answerPassword(QStringLiteral("s3cret, really"), &asked);
    QVERIFY(m_window->close());
    QCOMPARE(asked, 1);
    QVERIFY(!m_window->isVisible());
}

void StationSetupTest::openedLocked()
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
        int asked = 0;
        answerPassword(QStringLiteral("pw"), &asked);
        QVERIFY(m_window->close());
        QCOMPARE(asked, 1);
    }
}

void StationSetupTest::settingsDialog()
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

void StationSetupTest::windowFitsItsScreen_data()
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

void StationSetupTest::windowFitsItsScreen()
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

int main(int argc, char *argv[])
{
    StationSetupTest test;
    return runStationSuite(test, argc, argv);
}

#include "tst_stationsetup.moc"
