#include "stationsupport.h"

#include "filedialoganswer.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMessageBox>
#include <QSettings>
#include <QTest>

namespace testing {

namespace {
// The polls of answerModal() still waiting, ended with the test that started them.
QObject *pendingAnswers = nullptr;
} // namespace

void answerModal(std::function<void(QWidget *)> answer)
{
    testing::answerModal(pendingAnswers, [answer = std::move(answer)](QWidget *modal) {
        answer(modal);
        return true;
    });
}

void answerPasswords(QStringList passwords, int *asked)
{
    if (passwords.isEmpty())
        return;
    answerModal([passwords, asked](QWidget *modal) {
        auto *dialog = qobject_cast<QInputDialog *>(modal);
        QVERIFY(dialog);
        if (asked)
            ++*asked;
        dialog->setTextValue(passwords.first());
        dialog->accept();
        answerPasswords(passwords.mid(1), asked);
    });
}

void answerPassword(const QString &password, int *asked)
{
    answerPasswords({password}, asked);
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

void settleLayouts()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
}

void StationCase::initCase()
{
    QVERIFY(m_dir.isValid());
    // The supervisor's password and the default log stay in the test's own places: its folders
    // on Linux, and on Windows a registry key of its own, emptied first.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("data"))));
    QCoreApplication::setOrganizationName(QStringLiteral("vantu-test"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_station"));
    QSettings().clear();
    m_image = writeImage(m_dir.path(), QStringLiteral("board.vuf"), escapeHeavyBytes(6000));
}

void StationCase::beginCase()
{
    failOnQtWarnings();
    pendingAnswers = new QObject;
    static int run = 0;
    m_log = m_dir.filePath(QStringLiteral("records-%1.jsonl").arg(++run));
}

void StationCase::endCase()
{
    delete pendingAnswers;
    pendingAnswers = nullptr;
    m_window.reset();
}

void StationCase::openWindow(const QStringList &ports)
{
    QList<PortTarget> targets;
    for (const QString &port : ports)
        targets.append(PortTarget::named(port));
    openWindow(targets);
}

void StationCase::openWindow(const QList<PortTarget> &targets, const QStringList &hardware)
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

int runStationSuite(QObject &test, int argc, char *argv[])
{
    // Next to where the suite runs, and named relative to it: the platform's arguments are split
    // at colons, which a Windows path has after its drive.
    QTemporaryDir screens(QStringLiteral("screens-XXXXXX"));
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
        const QString path =
            QDir::current().relativeFilePath(screens.filePath(QStringLiteral("screens.json")));
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(QJsonDocument(QJsonObject{{"screens", list}}).toJson());
        file.close();
        qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(path));
        qputenv("VANTU_SCREENS", "1024x768 1366x768 1920x1080");
    }
    QApplication app(argc, argv);
    return QTest::qExec(&test, argc, argv);
}

} // namespace testing
