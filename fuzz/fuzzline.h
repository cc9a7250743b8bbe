#pragma once

// What the fuzz targets share: how a run fails; the device's end of a pseudo-terminal that feeds a
// host (the window, or an update session) the fuzzer's bytes and waits until the host has read
// them, the image the host serves, and the device's checks (devicemodel.h) on every frame the host
// sends back.

#include "devicemodel.h"
#include "imageblockreader.h"
#include "pseudoterminal.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

// Three blocks, the last one short and not a multiple of four.
constexpr qint64 FuzzImageSize = 2 * ImageBlockReader::BlockSize + 553;
constexpr std::chrono::seconds FuzzStepTimeout{5};
// 7E 00 returns a frame parser to waiting from any position, and completes no frame.
constexpr quint8 ParserReset[] = {FrameStart, 0x00};

// Ends the run so that libFuzzer keeps the input: what went wrong, on standard error.
[[noreturn]] inline void fuzzFail(const char *what)
{
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    std::abort();
}
inline void fuzzCheck(bool ok, const char *what)
{
    if (!ok)
        fuzzFail(what);
}

// The entry points of a target whose Rig (setUp(), run(data, size)) drives one host all along.
// Its Qt application (offscreen, for a window) has an argv of its own: Qt may take arguments out
// of it, libFuzzer's stay untouched. Both live for the whole process: libFuzzer exits without
// returning to us.
#define VANTU_FUZZ_RIG(Application, Rig, failure)                                                  \
    static Rig *fuzzRig = nullptr;                                                                 \
    extern "C" int LLVMFuzzerInitialize(int *, char ***)                                           \
    {                                                                                              \
        qputenv("QT_QPA_PLATFORM", "offscreen");                                                   \
        static int argc = 1;                                                                       \
        static char *argv[] = {program_invocation_short_name, nullptr};                            \
        new Application(argc, argv);                                                               \
        fuzzRig = new Rig;                                                                         \
        if (!fuzzRig->setUp())                                                                     \
            fuzzFail(failure);                                                                     \
        return 0;                                                                                  \
    }                                                                                              \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)                        \
    {                                                                                              \
        fuzzRig->run(data, size);                                                                  \
        return 0;                                                                                  \
    }

// The image's bytes differ between pieces 256 bytes apart, so that a piece from the wrong block
// shows. The image is written once, into a folder that goes when the process ends.
QByteArray fuzzImage();
QString fuzzImagePath();

class FuzzLine
{
public:
    // Creates the pseudo-terminal, and a descriptor on the host's side that is only polled for
    // unread input: opened before the host's port, which may take the line for itself.
    bool open();

    PseudoTerminal &terminal() { return m_line; }
    QString path() const { return m_line.slavePath(); }

    // Device bytes down the line, shown to mirror first when it is set.
    void write(const quint8 *bytes, qint64 count);
    void sendFrame(quint8 code, quint32 data = 0); // a well-formed device frame
    // An input after its byte 0, which the targets share: the rest goes down the line in two
    // writes cut where byte 0's bits 3..6 say (in 16ths of its length; 0: one write), each read by
    // the host before the next.
    void feed(const quint8 *data, size_t size);
    // Calls handler with every frame the host writes, after the checks of every host frame and,
    // for CMD_DATA, the image's bytes at an offset inside the image whose low byte is its byte 6
    // (past the end, zeros): a frame that fails them fails the run.
    void onHostFrame(std::function<void(const FramePayload &)> handler);
    // The next host frame starts afresh, whatever the host left half written.
    void resetHostParser() { m_parser = HostFrameParser(); }

    // True when every byte written has been read by the host. Polling a terminal first moves
    // what the kernel still holds for it into its input queue, so this does not race the kernel.
    // With nobody reading any more (readerGone()), what is left is dropped.
    bool idle() const;

    template <typename Done> void pumpUntil(Done done, const char *what) const
    {
        const QDeadlineTimer deadline(FuzzStepTimeout);
        while (!done()) {
            if (deadline.hasExpired())
                fuzzFail(what);
            QCoreApplication::processEvents();
        }
    }

    void pumpUntilConsumed() const;

    std::function<void(const quint8 *, qint64)> mirror;
    std::function<bool()> readerGone = [] {
        return false;
    };

private:
    void readHostFrames();

    PseudoTerminal m_line;
    int m_watchFd = -1;
    HostFrameParser m_parser;
    std::function<void(const FramePayload &)> m_handler;
};
