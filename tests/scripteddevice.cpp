#include "scripteddevice.h"

#include "vantuupdate.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <unistd.h>

ScriptedDevice::ScriptedDevice(QObject *parent) : QObject(parent)
{
    connect(&line, &QIODevice::readyRead, this, &ScriptedDevice::readLine);
}

void ScriptedDevice::send(quint8 code, quint32 data, quint8 extra0, quint8 extra1)
{
    sendFrame(makeDeviceFrame(code, data, extra0, extra1));
}

void ScriptedDevice::sendFrame(const DeviceFrame &frame)
{
    const DeviceWireFrame wire = encodeDeviceFrame(frame);
    line.write(reinterpret_cast<const char *>(wire.bytes.data()), wire.size);
}

void ScriptedDevice::sendRaw(const QByteArray &bytes)
{
    line.write(bytes);
}

bool ScriptedDevice::waitForFrames(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return frames.size() >= count; }, timeoutMs);
}

QList<quint8> ScriptedDevice::commands() const
{
    QList<quint8> result;
    for (const FramePayload &payload : frames)
        result.append(payload[1]);
    return result;
}

void ScriptedDevice::readLine()
{
    const QByteArray bytes = line.readAll();
    raw += bytes;
    parser.feed(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size(),
                [this](const HostFrameParser::Result &result) {
                    if (!result.checkOk) {
                        ++badChecks;
                        return;
                    }
                    frames.append(result.payload);
                    emit frameReceived(result.payload);
                });
}

namespace testing {

vantuUpdate &window()
{
    QList<vantuUpdate *> open;
    for (QWidget *candidate : QApplication::topLevelWidgets()) {
        if (auto *update = qobject_cast<vantuUpdate *>(candidate))
            open.append(update);
    }
    if (open.size() != 1)
        qFatal("the test has %d update windows, not one", int(open.size()));
    return *open.first();
}

QString status()
{
    return widget<QLabel>("labelStatusBar")->text();
}

namespace {
WireTrace *activeTrace = nullptr;
} // namespace

WireTrace::WireTrace()
{
    activeTrace = this;
    m_previous = qInstallMessageHandler(capture);
}

WireTrace::~WireTrace()
{
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(m_previous);
    activeTrace = nullptr;
}

void WireTrace::enable()
{
    QLoggingCategory::setFilterRules(QStringLiteral("vantu.wire.debug=true"));
}

void WireTrace::capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (qstrcmp(context.category, "vantu.wire") == 0) {
        activeTrace->lines.append(message);
        return;
    }
    if (activeTrace->m_previous)
        activeTrace->m_previous(type, context, message);
}

void failOnQtWarnings()
{
    QTest::failOnWarning(
        QRegularExpression(QStringLiteral("^(?!This plugin does not support propagateSizeHints)")));
}

void chooseFile(vantuUpdate &dialog, const QString &path)
{
    // The static file dialog runs its own event loop: answer it from a timer once it is up. The
    // timer keeps running so that a message box the file dialog might raise fails the test
    // instead of hanging it.
    QTimer poll;
    poll.setInterval(10);
    bool answered = false;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&answered, path] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            qFatal("the file dialog refused the file: %s", qPrintable(box->text()));
        auto *fileDialog = qobject_cast<QFileDialog *>(modal);
        if (!fileDialog || answered)
            return;
        answered = true;
        if (path.isEmpty()) {
            fileDialog->reject();
            return;
        }
        auto *nameEdit = fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!nameEdit)
            qFatal("the file dialog has no name field");
        nameEdit->setText(path);
        static_cast<QDialog *>(fileDialog)->accept(); // QFileDialog::accept is protected
    });
    poll.start();
    auto *file = dialog.findChild<QPushButton *>(QStringLiteral("pushButtonOK"));
    QTest::mouseClick(file, Qt::LeftButton);
}

void startProcedure(vantuUpdate &dialog, const QString &portPath, const QString &imagePath)
{
    dialog.findChild<QComboBox *>(QStringLiteral("comboBoxPort"))->setEditText(portPath);
    chooseFile(dialog, imagePath);
}

void reachReady(vantuUpdate &dialog, ScriptedDevice &device, const QString &imagePath)
{
    startProcedure(dialog, device.path(), imagePath);
    QVERIFY(device.waitForFrames(1));
    device.send(RSP_PRESENT);
    QVERIFY(device.waitForFrames(2));
    device.send(RSP_VERSION, 0x01000507);
    QTRY_COMPARE(dialog.updateState(), UpdateState::Ready);
}

bool lightIs(const QLabel *light, Qt::GlobalColor colour)
{
    const QImage image = light->pixmap().toImage();
    return !image.isNull() && image.pixelColor(7, 7) == QColor(colour);
}

QString writeImage(const QString &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write test image %s", qPrintable(path));
    return path;
}

QByteArray escapeHeavyBytes(int count, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(count, Qt::Uninitialized);
    for (char &b : bytes) {
        const quint32 r = random.bounded(4u);
        b = char(r == 0 ? 0x7E : r == 1 ? 0x7D : random.bounded(256u));
    }
    return bytes;
}

bool runsAsRoot()
{
    return ::geteuid() == 0;
}

bool unprivilegedPass()
{
    return qEnvironmentVariableIsSet("VANTU_UNPRIVILEGED_PASS");
}

QString startSimulator(QProcess &simulator, const QStringList &options)
{
    simulator.setProgram(QStringLiteral(DEVICESIM_PATH));
    simulator.setArguments(options);
    simulator.start();
    if (!simulator.waitForStarted(5000))
        return {};
    const bool printed = QTest::qWaitFor([&] { return simulator.canReadLine(); }, 5000);
    if (!printed)
        return {};
    const QString line = QString::fromUtf8(simulator.readLine()).trimmed();
    return line.startsWith(QLatin1String("port: ")) ? line.mid(6) : QString();
}

} // namespace testing
