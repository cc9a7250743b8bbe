// Arbitrary device bytes into the real update window.
//
// One window for the whole run, on the offscreen platform, with its real QSerialPort on a
// pseudo-terminal whose other end this fuzzer plays. The procedure is started once through the
// File button and its file dialog. For every input the window is driven by well-formed device
// frames (and the Download button) into the state the first input byte names, the rest of the
// input goes down the line, cut in two writes where the first byte says, and the event loop runs
// until the tool has read all of it. Afterwards the window must still be driven back to Probing:
// a window that stops answering fails the input that did it.
//
// Input byte 0: bits 0..2 the state (modulo 6: Probing, VersionQuery, Ready, Starting,
// Transferring after a request for offset 0, Finishing after a request for the image size); bits
// 3..6 where the stream is cut, in 16ths of its length (0: one write); bit 7 set: then the device
// stays silent until the response timeout. The timeout slot is called at once where the 200 ms
// timer would call it, so that such inputs cost no more than others; it may then run where the
// timer would already have been stopped, which the window has to take as well.
//
// Every frame the tool sends in return is checked: a good check byte, a known command, and for
// CMD_DATA the image bytes at the requested offset rounded down to a multiple of four (zero past
// the end), the way ImageBlockReader serves them.
#include "devicelink.h"
#include "pseudoterminal.h"
#include "updateprotocol.h"
#include "vantuupdate.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Three blocks, the last one short and not a multiple of four.
constexpr qint64 ImageSize = 2 * ImageBlockReader::BlockSize + 553;
constexpr auto StepTimeout = 5s;
constexpr quint32 DeviceVersion = 0x01000507;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_receive: %s\n", what);
    std::abort();
}

// Bytes that differ between pieces 256 bytes apart, so that a piece from the wrong block shows.
QByteArray imageBytes()
{
    QByteArray bytes(ImageSize, Qt::Uninitialized);
    for (qint64 i = 0; i < ImageSize; ++i)
        bytes[i] = char((i * 131 + (i >> 8) * 7 + 1) & 0xFF);
    return bytes;
}

class Rig
{
public:
    bool setUp();
    void run(const quint8 *data, size_t size);

private:
    template <typename Done> void pumpUntil(Done done, const char *what);
    bool lineIdle() const;
    void writeLine(const quint8 *bytes, qint64 count);
    void pumpUntilConsumed();
    void sendFrame(quint8 code, quint32 data = 0);
    void expectState(UpdateState state, const char *what);
    void clickDownload();
    void driveTo(UpdateState target);
    void driveBackToProbing();
    void readHostFrames();
    void checkHostFrame(const HostFrameParser::Result &result) const;
    void chooseImage();

    QByteArray image = imageBytes();
    QString imagePath;
    PseudoTerminal line;
    HostFrameParser hostParser;
    std::unique_ptr<vantuUpdate> dialog;
    QPushButton *downloadButton = nullptr;
    int watchFd = -1; // a descriptor on the tool's side, only polled for unread input
};

bool Rig::setUp()
{
    // Static, so that it is removed when the fuzzer exits; the rig itself is never destroyed.
    static QTemporaryDir dir;
    if (!dir.isValid())
        return false;
    imagePath = dir.filePath(QStringLiteral("image.vuf"));
    QFile file(imagePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return false;
    file.close();

    if (!line.open()) {
        std::fprintf(stderr, "fuzz_receive: %s\n", qPrintable(line.errorString()));
        return false;
    }
    QObject::connect(&line, &QIODevice::readyRead, &line, [this] { readHostFrames(); });
    // Opened before the tool's port, which may take the line for itself.
    watchFd = ::open(QFile::encodeName(line.slavePath()).constData(),
                     O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (watchFd < 0)
        return false;

    dialog = std::make_unique<vantuUpdate>();
    downloadButton = dialog->findChild<QPushButton *>(QStringLiteral("pushButtonDownload"));
    dialog->findChild<QComboBox *>(QStringLiteral("comboBoxPort"))->setEditText(line.slavePath());
    chooseImage();
    if (dialog->findChild<QPushButton *>(QStringLiteral("pushButtonOK"))->isEnabled()) {
        std::fprintf(stderr, "fuzz_receive: the procedure did not start (port %s)\n",
                     qPrintable(line.slavePath()));
        return false;
    }
    pumpUntilConsumed();
    return dialog->updateState() == UpdateState::Probing;
}

// Clicks File and answers the file dialog it opens with the image, as a user would.
void Rig::chooseImage()
{
    QTimer poll;
    poll.setInterval(10);
    bool answered = false;
    QObject::connect(&poll, &QTimer::timeout, &poll, [this, &answered] {
        auto *fileDialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!fileDialog || answered)
            return;
        auto *nameEdit = fileDialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!nameEdit)
            fail("the file dialog has no name field");
        answered = true;
        nameEdit->setText(imagePath);
        static_cast<QDialog *>(fileDialog)->accept(); // QFileDialog::accept is protected
    });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, &giveUp,
                     [] { fail("the file dialog did not come up or did not close"); });
    poll.start();
    giveUp.start(30s);
    dialog->findChild<QPushButton *>(QStringLiteral("pushButtonOK"))->click();
}

template <typename Done> void Rig::pumpUntil(Done done, const char *what)
{
    const QDeadlineTimer deadline(StepTimeout);
    while (!done()) {
        if (deadline.hasExpired())
            fail(what);
        QCoreApplication::processEvents();
    }
}

// True when every byte written to the line has been read by the tool. Polling a terminal first
// moves what the kernel still holds for it into its input queue, so this does not race the kernel.
bool Rig::lineIdle() const
{
    if (line.bytesToWrite() > 0)
        return false;
    pollfd entry{watchFd, POLLIN, 0};
    if (::poll(&entry, 1, 0) < 0)
        return false;
    return (entry.revents & POLLIN) == 0;
}

void Rig::writeLine(const quint8 *bytes, qint64 count)
{
    if (line.write(reinterpret_cast<const char *>(bytes), count) != count)
        fail("cannot write to the pseudo-terminal");
}

void Rig::pumpUntilConsumed()
{
    pumpUntil([this] { return lineIdle(); }, "the tool stopped reading the line");
    // The frames the tool wrote in return go out from its port's write notifier and come in
    // through ours: a few more passes bring them over and through the checks.
    for (int pass = 0; pass < 3; ++pass)
        QCoreApplication::processEvents();
}

void Rig::sendFrame(quint8 code, quint32 data)
{
    const DeviceWireFrame wire = encodeDeviceFrame(makeDeviceFrame(code, data));
    writeLine(wire.bytes.data(), wire.size);
}

void Rig::expectState(UpdateState state, const char *what)
{
    pumpUntil([this, state] { return dialog->updateState() == state; }, what);
}

void Rig::clickDownload()
{
    downloadButton->click();
    if (dialog->updateState() != UpdateState::Starting)
        fail("Download in Ready did not start the transfer");
}

void Rig::driveTo(UpdateState target)
{
    if (dialog->updateState() != UpdateState::Probing)
        fail("the window was not left in Probing");
    if (target >= UpdateState::VersionQuery) {
        sendFrame(RSP_PRESENT);
        expectState(UpdateState::VersionQuery, "RSP_PRESENT in Probing was not acted on");
    }
    if (target >= UpdateState::Ready) {
        sendFrame(RSP_VERSION, DeviceVersion);
        expectState(UpdateState::Ready, "RSP_VERSION in VersionQuery was not acted on");
    }
    if (target >= UpdateState::Starting)
        clickDownload();
    if (target >= UpdateState::Transferring) {
        sendFrame(RSP_DATA_REQUEST, 0);
        expectState(UpdateState::Transferring, "RSP_DATA_REQUEST in Starting was not acted on");
    }
    if (target >= UpdateState::Finishing) {
        sendFrame(RSP_DATA_REQUEST, quint32(ImageSize));
        expectState(UpdateState::Finishing, "a request for the image size did not end the image");
    }
    pumpUntilConsumed();
}

void Rig::driveBackToProbing()
{
    // 7E 00 returns the receive parser to waiting from any position, and completes no frame.
    static constexpr quint8 parserReset[] = {FrameStart, 0x00};
    writeLine(parserReset, sizeof parserReset);
    for (int step = 0; step < 4 && dialog->updateState() != UpdateState::Probing; ++step) {
        switch (dialog->updateState()) {
        case UpdateState::Probing:
            break;
        case UpdateState::VersionQuery:
            sendFrame(RSP_VERSION, DeviceVersion);
            expectState(UpdateState::Ready, "RSP_VERSION in VersionQuery was not acted on");
            break;
        case UpdateState::Ready:
            clickDownload();
            break;
        case UpdateState::Starting:
        case UpdateState::Transferring:
            sendFrame(RSP_CANCELLED);
            expectState(UpdateState::Probing, "RSP_CANCELLED in a transfer was not acted on");
            break;
        case UpdateState::Finishing:
            sendFrame(RSP_DONE);
            expectState(UpdateState::Probing, "RSP_DONE in Finishing was not acted on");
            break;
        default:
            fail("the window is in a state that does not exist");
        }
    }
    pumpUntilConsumed();
    if (dialog->updateState() != UpdateState::Probing)
        fail("the window cannot be driven back to Probing");
}

void Rig::readHostFrames()
{
    const QByteArray bytes = line.readAll();
    hostParser.feed(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size(),
                    [this](const HostFrameParser::Result &result) { checkHostFrame(result); });
}

void Rig::checkHostFrame(const HostFrameParser::Result &result) const
{
    const FramePayload &payload = result.payload;
    if (!result.checkOk)
        fail("the tool sent a frame with a wrong check byte");
    if (payload[0] != PayloadLead)
        fail("the tool sent a frame without the payload lead");
    switch (payload[1]) {
    case CMD_PING:
    case CMD_GET_VERSION:
    case CMD_START:
    case CMD_END:
        return;
    case CMD_DATA:
        break;
    default:
        fail("the tool sent an unknown command");
    }
    // Byte 6 is the low byte of the requested offset: the piece must be the image's at one of the
    // offsets inside the image that agree with it.
    for (qint64 offset = payload[6] & ~3; offset < ImageSize; offset += 256) {
        bool same = true;
        for (int k = 0; k < 4 && same; ++k) {
            const quint8 expected = offset + k < ImageSize ? quint8(image[offset + k]) : 0;
            same = payload[2 + k] == expected;
        }
        if (same)
            return;
    }
    fail("the tool sent data that is not the image's at the requested offset");
}

void Rig::run(const quint8 *data, size_t size)
{
    if (size == 0)
        return;
    const UpdateState target = UpdateState(data[0] % 8 % 6);
    const quint8 *stream = data + 1;
    const qint64 length = qint64(size - 1);
    const qint64 cut = length * ((data[0] >> 3) & 0xF) / 16;
    const bool silence = (data[0] & 0x80) != 0;

    driveTo(target);
    if (cut > 0) {
        writeLine(stream, cut);
        pumpUntilConsumed();
    }
    if (length > cut) {
        writeLine(stream + cut, length - cut);
        pumpUntilConsumed();
    }
    if (silence) {
        QMetaObject::invokeMethod(dialog.get(), "timeout");
        pumpUntilConsumed();
    }
    driveBackToProbing();
}

// Lives for the whole process: libFuzzer exits without returning to us.
Rig *rig = nullptr;

} // namespace

// fontconfig keeps what it allocates for its first font look-ups out of LeakSanitizer's sight.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt may take arguments out of argv; libFuzzer's own stay untouched.
    static int argc = 1;
    static char name[] = "fuzz_receive";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
    rig = new Rig;
    if (!rig->setUp())
        fail("cannot set up the window and the line");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    rig->run(data, size);
    return 0;
}
