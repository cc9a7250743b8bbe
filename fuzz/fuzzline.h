#pragma once

// What the fuzz targets share: the device's end of a pseudo-terminal that feeds a host (the window,
// or an update session) the fuzzer's bytes and waits until the host has read them, the image the
// host serves, and the checks every frame the host sends back must pass.

#include "devicelink.h"
#include "imageblockreader.h"
#include "pseudoterminal.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>

#include <chrono>

// Three blocks, the last one short and not a multiple of four.
constexpr qint64 FuzzImageSize = 2 * ImageBlockReader::BlockSize + 553;
constexpr quint32 FuzzDeviceVersion = 0x01000507;
constexpr std::chrono::seconds FuzzStepTimeout{5};

// Ends the run so that libFuzzer keeps the input: what went wrong, on standard error.
[[noreturn]] void fuzzFail(const char *what);

// The image's bytes differ between pieces 256 bytes apart, so that a piece from the wrong block
// shows. The image is written once, into a folder that goes when the process ends.
QByteArray fuzzImage();
QString fuzzImagePath();

// Fails the run unless the host frame has a good check byte, the payload lead and a known
// command; returns the command.
quint8 checkHostFrame(const HostFrameParser::Result &result);
// Fails the run unless a CMD_DATA frame carries the image's bytes at an offset inside the image
// whose low byte is its byte 6 (past the end, zeros).
void checkDataPiece(const FramePayload &payload);

class FuzzLine
{
public:
    // Creates the pseudo-terminal, and a descriptor on the host's side that is only polled for
    // unread input: opened before the host's port, which may take the line for itself.
    bool open();

    PseudoTerminal &terminal() { return m_line; }
    QString path() const { return m_line.slavePath(); }

    void write(const quint8 *bytes, qint64 count);

    // True when every byte written has been read by the host. Polling a terminal first moves
    // what the kernel still holds for it into its input queue, so this does not race the kernel.
    // With nobody reading any more, what is left is dropped.
    bool idle(bool readerGone = false) const;

    // Runs the event loop until done(), or fails the run with what.
    template <typename Done> void pumpUntil(Done done, const char *what) const
    {
        const QDeadlineTimer deadline(FuzzStepTimeout);
        while (!done()) {
            if (deadline.hasExpired())
                fuzzFail(what);
            QCoreApplication::processEvents();
        }
    }

    // Until the host has read everything; readerGone() as for idle().
    template <typename ReaderGone> void pumpUntilConsumed(ReaderGone readerGone) const
    {
        pumpUntil([&] { return idle(readerGone()); }, "the host stopped reading the line");
        // The frames the host wrote in return go out from its port's write notifier and come in
        // through ours: a few more passes bring them over and through the checks.
        for (int pass = 0; pass < 3; ++pass)
            QCoreApplication::processEvents();
    }
    void pumpUntilConsumed() const
    {
        pumpUntilConsumed([] { return false; });
    }

private:
    PseudoTerminal m_line;
    int m_watchFd = -1;
};
