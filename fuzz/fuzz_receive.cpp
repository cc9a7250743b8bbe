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
#include "filedialoganswer.h"
#include "fuzzline.h"
#include "updateprotocol.h"
#include "vantuupdate.h"

#include <QApplication>
#include <QComboBox>
#include <QMetaObject>
#include <QPushButton>

#include <cstdio>
#include <memory>

namespace {

class Rig
{
public:
    bool setUp();
    void run(const quint8 *data, size_t size);

private:
    // A device frame, and the event loop run until the window is in state.
    void sendUntil(quint8 code, quint32 data, UpdateState state, const char *what);
    void clickDownload();
    void driveTo(UpdateState target);
    void driveBackToProbing();

    FuzzLine line;
    std::unique_ptr<vantuUpdate> dialog;
    QPushButton *downloadButton = nullptr;
};

bool Rig::setUp()
{
    if (!line.open())
        return false;
    dialog = std::make_unique<vantuUpdate>();
    downloadButton = dialog->findChild<QPushButton *>(QStringLiteral("pushButtonDownload"));
    dialog->findChild<QComboBox *>(QStringLiteral("comboBoxPort"))->setEditText(line.path());
    // File, and the image in the file dialog it opens, as a user would.
    testing::answerFileDialog(fuzzImagePath());
    auto *file = dialog->findChild<QPushButton *>(QStringLiteral("pushButtonOK"));
    file->click();
    if (file->isEnabled()) {
        std::fprintf(stderr, "fuzz_receive: the procedure did not start (port %s)\n",
                     qPrintable(line.path()));
        return false;
    }
    line.pumpUntilConsumed();
    return dialog->updateState() == UpdateState::Probing;
}

void Rig::sendUntil(quint8 code, quint32 data, UpdateState state, const char *what)
{
    line.sendFrame(code, data);
    line.pumpUntil([this, state] { return dialog->updateState() == state; }, what);
}

void Rig::clickDownload()
{
    downloadButton->click();
    if (dialog->updateState() != UpdateState::Starting)
        fuzzFail("Download in Ready did not start the transfer");
}

void Rig::driveTo(UpdateState target)
{
    if (dialog->updateState() != UpdateState::Probing)
        fuzzFail("the window was not left in Probing");
    if (target >= UpdateState::VersionQuery)
        sendUntil(RSP_PRESENT, 0, UpdateState::VersionQuery,
                  "RSP_PRESENT in Probing was not acted on");
    if (target >= UpdateState::Ready)
        sendUntil(RSP_VERSION, DeviceVersion, UpdateState::Ready,
                  "RSP_VERSION in VersionQuery was not acted on");
    if (target >= UpdateState::Starting)
        clickDownload();
    if (target >= UpdateState::Transferring)
        sendUntil(RSP_DATA_REQUEST, 0, UpdateState::Transferring,
                  "RSP_DATA_REQUEST in Starting was not acted on");
    if (target >= UpdateState::Finishing)
        sendUntil(RSP_DATA_REQUEST, quint32(FuzzImageSize), UpdateState::Finishing,
                  "a request for the image size did not end the image");
    line.pumpUntilConsumed();
}

void Rig::driveBackToProbing()
{
    line.write(ParserReset, sizeof ParserReset);
    for (int step = 0; step < 4 && dialog->updateState() != UpdateState::Probing; ++step) {
        switch (dialog->updateState()) {
        case UpdateState::Probing:
            break;
        case UpdateState::VersionQuery:
            sendUntil(RSP_VERSION, DeviceVersion, UpdateState::Ready,
                      "RSP_VERSION in VersionQuery was not acted on");
            break;
        case UpdateState::Ready:
            clickDownload();
            break;
        case UpdateState::Starting:
        case UpdateState::Transferring:
            sendUntil(RSP_CANCELLED, 0, UpdateState::Probing,
                      "RSP_CANCELLED in a transfer was not acted on");
            break;
        case UpdateState::Finishing:
            sendUntil(RSP_DONE, 0, UpdateState::Probing, "RSP_DONE in Finishing was not acted on");
            break;
        default:
            fuzzFail("the window is in a state that does not exist");
        }
    }
    line.pumpUntilConsumed();
    if (dialog->updateState() != UpdateState::Probing)
        fuzzFail("the window cannot be driven back to Probing");
}

void Rig::run(const quint8 *data, size_t size)
{
    if (size == 0)
        return;
    driveTo(UpdateState(data[0] % 8 % 6));
    line.feed(data, size);
    if (data[0] & 0x80) {
        QMetaObject::invokeMethod(dialog.get(), "timeout");
        line.pumpUntilConsumed();
    }
    driveBackToProbing();
}

} // namespace

// fontconfig keeps what it allocates for its first font look-ups out of LeakSanitizer's sight.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

VANTU_FUZZ_RIG(QApplication, Rig, "cannot set up the window and the line")
