#include "simulateddevice.h"

#include "updateprotocol.h"

#include <QFile>
#include <QIODevice>

#include <algorithm>
#include <cstring>
#include <random>

namespace {

constexpr quint32 PieceSize = 4;

quint32 alignDown(quint32 offset)
{
    return offset & ~(PieceSize - 1);
}

QString hexOffset(quint32 offset)
{
    return QStringLiteral("%1 (0x%2)").arg(offset).arg(offset, 0, 16);
}

} // namespace

SimulatedDevice::SimulatedDevice(QIODevice *line, const DeviceOptions &options, QObject *parent)
    : QObject(parent), m_line(line), m_options(options)
{
    m_announceTimer.setSingleShot(true);
    m_announceTimer.setInterval(AnnounceDelayMs);
    connect(&m_announceTimer, &QTimer::timeout, this, &SimulatedDevice::announce);
    if (m_line) {
        connect(m_line, &QIODevice::readyRead, this, &SimulatedDevice::onReadyRead);
        connect(m_line, &QIODevice::readChannelFinished, this,
                [this] { log(QStringLiteral("line closed: %1").arg(m_line->errorString())); });
    }
}

void SimulatedDevice::announce()
{
    if (m_state == State::Silent)
        return;
    sendFrame(RSP_PRESENT);
}

void SimulatedDevice::onReadyRead()
{
    if (!m_line)
        return;
    const QByteArray bytes = m_line->readAll();
    m_parser.feed(reinterpret_cast<const quint8 *>(bytes.constData()), bytes.size(),
                  [this](const HostFrameParser::Result &frame) { handleFrame(frame); });
}

void SimulatedDevice::handleFrame(const HostFrameParser::Result &frame)
{
    const FramePayload &payload = frame.payload;
    if (!frame.checkOk) {
        ++m_stats.badCheckFrames;
        emit frameDropped(payload);
        log(QStringLiteral("dropped a frame with a bad check byte (command 0x%1)")
                .arg(payload[1], 2, 16, QLatin1Char('0')));
        return;
    }
    ++m_stats.framesReceived;
    emit frameReceived(payload);

    if (m_state == State::Silent)
        return;
    if (payload[0] != PayloadLead) {
        ++m_stats.unexpectedFrames;
        log(QStringLiteral("ignored a frame whose byte 0 is 0x%1")
                .arg(payload[0], 2, 16, QLatin1Char('0')));
        return;
    }

    const quint8 command = payload[1];
    // The host has started over: a probe, a version request or a new start ends the transfer.
    const bool hostRestarted =
        command == CMD_PING || command == CMD_GET_VERSION || command == CMD_START;
    if (m_state == State::Transferring && hostRestarted)
        abandonTransfer(QStringLiteral("command 0x%1").arg(command, 2, 16, QLatin1Char('0')));

    switch (command) {
    case CMD_PING:
        handlePing();
        break;
    case CMD_GET_VERSION:
        handleGetVersion();
        break;
    case CMD_START:
        startTransfer();
        break;
    case CMD_DATA:
        handleData(payload);
        break;
    case CMD_END:
        handleEnd();
        break;
    default:
        ++m_stats.unexpectedFrames;
        log(QStringLiteral("ignored unknown command 0x%1").arg(command, 2, 16, QLatin1Char('0')));
        break;
    }
}

void SimulatedDevice::handlePing()
{
    if (m_pingsIgnored < m_options.silentProbes) {
        ++m_pingsIgnored;
        log(QStringLiteral("ping %1 of %2 left unanswered")
                .arg(m_pingsIgnored)
                .arg(m_options.silentProbes));
        return;
    }
    sendFrame(RSP_PRESENT);
}

void SimulatedDevice::handleGetVersion()
{
    if (m_options.noVersionReply) {
        log(QStringLiteral("version request left unanswered"));
        return;
    }
    sendFrame(RSP_VERSION,
              quint32(m_options.hardwareMinor) | quint32(m_options.hardwareMajor) << 8 |
                  quint32(m_options.firmwareMinor) << 16 | quint32(m_options.firmwareMajor) << 24);
}

void SimulatedDevice::startTransfer()
{
    m_announceTimer.stop();
    m_image.clear();
    m_received.clear();
    m_plan.clear();
    m_planIndex = 0;
    m_again.clear();
    m_frontier = 0;
    m_freshPieces = 0;
    m_unalignedAsked = 0;

    if (m_options.randomOrder) {
        if (m_options.imageSize < 0) {
            log(QStringLiteral("random order needs the image size; asking in order"));
        } else {
            const qint64 size = std::min(m_options.imageSize, m_options.maxImageSize);
            const quint32 end = quint32((size + PieceSize - 1) / PieceSize * PieceSize);
            for (quint32 offset = 0; offset < end; offset += PieceSize)
                m_plan.push_back(offset);
            std::mt19937 generator(m_options.randomSeed);
            std::shuffle(m_plan.begin(), m_plan.end(), generator);
            m_frontier = end;
        }
    }

    m_state = State::Transferring;
    ++m_stats.updatesStarted;
    log(QStringLiteral("update started"));
    emit updateStarted();
    requestNext();
}

void SimulatedDevice::abandonTransfer(const QString &why)
{
    log(QStringLiteral("transfer abandoned at offset %1: %2").arg(hexOffset(m_requested), why));
    m_state = State::Idle;
}

quint32 SimulatedDevice::nextOffset(RequestKind &kind)
{
    m_requestFromFrontier = false;
    if (!m_again.empty()) {
        kind = RequestKind::Again;
        const quint32 offset = m_again.front();
        m_again.pop_front();
        return offset;
    }
    kind = RequestKind::Fresh;
    if (m_planIndex < m_plan.size())
        return m_plan[m_planIndex++];
    m_requestFromFrontier = true;
    return m_frontier;
}

void SimulatedDevice::requestNext()
{
    RequestKind kind;
    const quint32 offset = nextOffset(kind);

    if (m_options.cancelAt >= 0 && offset >= m_options.cancelAt && m_stats.updatesStarted == 1) {
        cancelTransfer(offset, QStringLiteral("cancel point reached"));
        return;
    }
    if (m_options.silentAt >= 0 && offset >= m_options.silentAt) {
        log(QStringLiteral("falling silent at offset %1").arg(hexOffset(offset)));
        m_state = State::Silent;
        return;
    }
    if (offset >= m_options.maxImageSize) {
        cancelTransfer(
            offset,
            QStringLiteral("the image is larger than %1 bytes").arg(m_options.maxImageSize));
        return;
    }

    m_requested = offset;
    m_requestKind = kind;
    sendFrame(RSP_DATA_REQUEST, offset);
}

void SimulatedDevice::cancelTransfer(quint32 offset, const QString &why)
{
    log(QStringLiteral("cancelling at offset %1: %2").arg(hexOffset(offset), why));
    m_state = State::Idle;
    ++m_stats.updatesCancelled;
    sendFrame(RSP_CANCELLED);
    emit updateCancelled(offset);
    if (m_options.announceAfterDone)
        m_announceTimer.start();
}

void SimulatedDevice::handleData(const FramePayload &payload)
{
    if (m_state != State::Transferring) {
        ++m_stats.unexpectedFrames;
        log(QStringLiteral("ignored CMD_DATA outside a transfer"));
        return;
    }

    const quint32 offset = m_requested;
    if (payload[6] != quint8(offset & 0xFF)) {
        ++m_stats.offsetMismatches;
        log(QStringLiteral("CMD_DATA for offset %1 carries offset byte 0x%2")
                .arg(hexOffset(offset))
                .arg(payload[6], 2, 16, QLatin1Char('0')));
    }

    // The host answers with the piece that holds the offset, whatever the offset's low bits.
    const quint32 start = alignDown(offset);
    const size_t piece = start / PieceSize;
    const char *bytes = reinterpret_cast<const char *>(payload.data() + 2);
    if (m_image.size() < qint64(start) + PieceSize)
        m_image.resize(qsizetype(start + PieceSize), '\0');
    if (m_received.size() <= piece)
        m_received.resize(piece + 1, false);

    if (m_received[piece]) {
        if (std::memcmp(m_image.constData() + start, bytes, PieceSize) != 0) {
            ++m_stats.retryMismatches;
            log(QStringLiteral("offset %1 asked again: got %2, first time %3")
                    .arg(hexOffset(offset),
                         QString::fromLatin1(QByteArray(bytes, PieceSize).toHex(' ')),
                         QString::fromLatin1(m_image.mid(start, PieceSize).toHex(' '))));
        }
    } else {
        std::memcpy(m_image.data() + start, bytes, PieceSize);
        m_received[piece] = true;
    }

    if (m_requestKind == RequestKind::Fresh) {
        ++m_freshPieces;
        if (m_requestFromFrontier)
            m_frontier = start + PieceSize;
        if (m_options.unalignedRequests && m_freshPieces % 2 == 0)
            m_again.push_back(start + 1 + quint32(m_unalignedAsked++ % 3));
        if (m_options.retryEvery > 0 && m_freshPieces % m_options.retryEvery == 0) {
            const bool backInImage =
                start >= RetryStepBack && m_received[(start - RetryStepBack) / PieceSize];
            m_again.push_back(backInImage ? start - RetryStepBack : start);
        }
    }
    requestNext();
}

void SimulatedDevice::handleEnd()
{
    if (m_state != State::Transferring) {
        ++m_stats.unexpectedFrames;
        log(QStringLiteral("ignored CMD_END outside a transfer"));
        return;
    }
    if (m_requestKind == RequestKind::Again)
        log(QStringLiteral("CMD_END for offset %1, which was served before")
                .arg(hexOffset(m_requested)));
    finishTransfer();
}

void SimulatedDevice::finishTransfer()
{
    const qint64 missing = std::count(m_received.begin(), m_received.end(), false);
    if (missing > 0)
        log(QStringLiteral("%1 pieces below the end were never received").arg(missing));

    m_state = State::Idle;
    m_lastImage = m_image;
    ++m_stats.updatesCompleted;
    sendFrame(RSP_DONE);
    log(QStringLiteral("update complete: %1 bytes, end at offset %2")
            .arg(m_lastImage.size())
            .arg(hexOffset(m_requested)));
    writeOutput(m_lastImage);
    if (m_options.announceAfterDone)
        m_announceTimer.start();
    emit updateCompleted(m_lastImage);
}

void SimulatedDevice::writeOutput(const QByteArray &image)
{
    if (m_options.outputPath.isEmpty())
        return;
    QFile file(m_options.outputPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(image) != image.size() || !file.flush()) {
        log(QStringLiteral("cannot write %1: %2").arg(m_options.outputPath, file.errorString()));
    }
}

void SimulatedDevice::sendFrame(quint8 code, quint32 data)
{
    DeviceFrame frame = makeDeviceFrame(code, data);
    if (m_options.badIdentification) {
        // Alternate the two ways the host can tell a frame is not the device's.
        if (m_framesSent % 2 == 0)
            frame[1] = quint8(DeviceMarker + 1);
        else
            frame[2] = quint8(PayloadLead + 1);
    }
    ++m_framesSent;
    const DeviceWireFrame wire = encodeDeviceFrame(frame);
    if (m_line && m_line->isOpen())
        m_line->write(reinterpret_cast<const char *>(wire.bytes.data()), wire.size);
    emit frameSent(frame);
}
