#include "simulateddevice.h"

#include "pseudoterminal.h"
#include "updateprotocol.h"

#include <QFile>
#include <QIODevice>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>

namespace {

constexpr quint32 PieceSize = 4;
// The image end assumed for a fault offset drawn at random when the image size is not known.
constexpr qint64 AssumedImageEnd = 4096;
constexpr int MaxChunk = 6;

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
    : QObject(parent), m_line(line), m_options(options), m_random(options.seed),
      m_seededWith(options.seed)
{
    m_announceTimer.setSingleShot(true);
    m_announceTimer.setInterval(AnnounceDelayMs);
    connect(&m_announceTimer, &QTimer::timeout, this, &SimulatedDevice::announce);
    m_awayTimer.setSingleShot(true);
    connect(&m_awayTimer, &QTimer::timeout, this, [this] {
        if (m_state != State::Away)
            return;
        m_state = State::Idle;
        log(QStringLiteral("back, answering as the next board"));
    });
    m_sendTimer.setSingleShot(true);
    m_sendTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_sendTimer, &QTimer::timeout, this, &SimulatedDevice::sendQueued);
    if (m_line) {
        connect(m_line, &QIODevice::readyRead, this, &SimulatedDevice::onReadyRead);
        connect(m_line, &QIODevice::readChannelFinished, this,
                [this] { log(QStringLiteral("line closed: %1").arg(m_line->errorString())); });
    }
}

void SimulatedDevice::setOptions(const DeviceOptions &options)
{
    m_options = options;
    if (options.seed != m_seededWith) {
        m_random.seed(options.seed);
        m_seededWith = options.seed;
    }
}

void SimulatedDevice::announce()
{
    if (m_state == State::Silent || m_state == State::Away)
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

    if (m_state == State::Silent || m_state == State::Away)
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
    m_duplicateOut = false;
    m_owedTwice.clear();

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
    drawFaultOffsets();
    log(QStringLiteral("update started"));
    emit updateStarted();
    requestNext();
}

void SimulatedDevice::drawFaultOffsets()
{
    // A generator of its own, so the offsets depend on the seed and the update alone, not on how
    // many probes the host needed.
    std::mt19937 generator(m_options.seed ^ (0x9E3779B9u * quint32(m_stats.updatesStarted)));
    const qint64 size = m_options.imageSize >= 0
                            ? std::min(m_options.imageSize, m_options.maxImageSize)
                            : AssumedImageEnd;
    const qint64 end = (size + PieceSize - 1) / PieceSize * PieceSize;
    const auto resolve = [&](qint64 at, const char *what) {
        if (at != DeviceOptions::RandomOffset)
            return at;
        const qint64 drawn = qint64(generator() % quint32(end + 1));
        log(QStringLiteral("%1 at offset %2").arg(QLatin1String(what)).arg(drawn));
        return drawn;
    };
    m_cancelAt = resolve(m_options.cancelAt, "cancel");
    m_silentAt = resolve(m_options.silentAt, "silence");
    m_hangUpAt = resolve(m_options.hangUpAt, "hang-up");
    m_strayStartAt = resolve(m_options.strayStartAt, "stray frame start");
}

void SimulatedDevice::abandonTransfer(const QString &why)
{
    log(QStringLiteral("transfer abandoned at offset %1: %2").arg(hexOffset(m_requested), why));
    m_state = State::Idle;
    m_duplicateOut = false;
    m_owedTwice.clear();
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

    const bool firstUpdate = m_stats.updatesStarted == 1;
    if (m_cancelAt >= 0 && offset >= m_cancelAt && firstUpdate) {
        cancelTransfer(offset, QStringLiteral("cancel point reached"));
        return;
    }
    if (m_silentAt >= 0 && offset >= m_silentAt) {
        log(QStringLiteral("falling silent at offset %1").arg(hexOffset(offset)));
        m_state = State::Silent;
        return;
    }
    if (m_hangUpAt >= 0 && offset >= m_hangUpAt) {
        hangUpLine(offset);
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
    if (m_strayStartAt >= 0 && offset >= m_strayStartAt && firstUpdate) {
        // Never sent twice: the second copy would get through and be answered.
        m_strayStartAt = -1;
        ++m_stats.strayStarts;
        log(QStringLiteral("a lone frame start goes before the request for offset %1")
                .arg(hexOffset(offset)));
        sendFrame(RSP_DATA_REQUEST, offset, true);
        return;
    }
    sendFrame(RSP_DATA_REQUEST, offset);
    m_duplicateOut = chance(m_options.duplicateRate);
    if (m_duplicateOut) {
        ++m_stats.duplicatedRequests;
        sendFrame(RSP_DATA_REQUEST, offset);
    }
}

void SimulatedDevice::hangUpLine(quint32 offset)
{
    log(QStringLiteral("closing the line at offset %1").arg(hexOffset(offset)));
    ++m_stats.hangUps;
    m_state = State::Silent;
    // The line goes in the middle of a frame, or just before one.
    const DeviceWireFrame wire = encodeDeviceFrame(makeDeviceFrame(RSP_DATA_REQUEST, offset));
    Outgoing part;
    part.bytes = QByteArray(reinterpret_cast<const char *>(wire.bytes.data()),
                            qsizetype(below(quint32(wire.size))));
    enqueue(part);
    Outgoing end;
    end.hangUp = true;
    enqueue(end);
}

quint32 SimulatedDevice::staleOffset(quint32 lastStart)
{
    quint32 start = lastStart;
    quint32 within = below(PieceSize);
    // Half the time an offset whose low byte is 0x7D or 0x7E, which travels escaped: the piece
    // at 0x7C in one of the 256-byte pages received.
    const quint32 pages = quint32(m_received.size() * PieceSize / 256 + 1);
    const quint32 escaped = below(pages) * 256 + 0x7C;
    if (below(2) == 0 && escaped / PieceSize < m_received.size() &&
        m_received[escaped / PieceSize]) {
        start = escaped;
        within = 1 + below(2);
    } else {
        for (int tries = 0; tries < 8; ++tries) {
            const quint32 piece = below(quint32(m_received.size()));
            if (m_received[piece]) {
                start = piece * PieceSize;
                break;
            }
        }
    }
    // The offset stays inside the image: the host takes a request at or past the image end for
    // the end of the transfer.
    if (m_options.imageSize < 0)
        within = 0;
    else if (start + within >= m_options.imageSize)
        within = quint32(std::max<qint64>(0, m_options.imageSize - 1 - start));
    return start + within;
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

void SimulatedDevice::takeDuplicateAnswer(const FramePayload &payload)
{
    const quint32 offset = m_owedTwice.front();
    m_owedTwice.pop_front();
    ++m_stats.duplicateAnswers;
    const QByteArray bytes(reinterpret_cast<const char *>(payload.data() + 2), PieceSize);
    emit pieceReceived(offset, bytes);
    if (payload[6] != quint8(offset & 0xFF)) {
        ++m_stats.offsetMismatches;
        log(QStringLiteral("second answer for offset %1 carries offset byte 0x%2")
                .arg(hexOffset(offset))
                .arg(payload[6], 2, 16, QLatin1Char('0')));
    }
    const quint32 start = alignDown(offset);
    if (m_image.mid(start, PieceSize) != bytes) {
        ++m_stats.retryMismatches;
        log(QStringLiteral("second answer for offset %1: got %2, first time %3")
                .arg(hexOffset(offset), QString::fromLatin1(bytes.toHex(' ')),
                     QString::fromLatin1(m_image.mid(start, PieceSize).toHex(' '))));
    }
}

void SimulatedDevice::handleData(const FramePayload &payload)
{
    // The host answers a request sent twice twice, in order, before it answers the next one; the
    // second answer can also come after the device has cancelled.
    if (!m_owedTwice.empty()) {
        takeDuplicateAnswer(payload);
        return;
    }
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
    emit pieceReceived(offset, QByteArray(bytes, PieceSize));
    if (m_duplicateOut) {
        m_duplicateOut = false;
        m_owedTwice.push_back(offset);
    }
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
        if (chance(m_options.staleRate)) {
            ++m_stats.staleRequests;
            m_again.push_back(staleOffset(start));
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
    m_duplicateOut = false;
    m_owedTwice.clear();
    m_lastImage = m_image;
    ++m_stats.updatesCompleted;
    sendFrame(RSP_DONE);
    log(QStringLiteral("update complete: %1 bytes, end at offset %2")
            .arg(m_lastImage.size())
            .arg(hexOffset(m_requested)));
    writeOutput(m_lastImage);
    if (m_options.quietAfterDoneMs > 0) {
        log(QStringLiteral("away for %1 ms").arg(m_options.quietAfterDoneMs));
        m_state = State::Away;
        m_awayTimer.start(m_options.quietAfterDoneMs);
    } else if (m_options.announceAfterDone) {
        m_announceTimer.start();
    }
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

void SimulatedDevice::sendFrame(quint8 code, quint32 data, bool strayStart)
{
    DeviceFrame frame = makeDeviceFrame(code, data);
    if (m_options.badIdentification) {
        // Alternate the two ways the host can tell a frame is not the device's.
        if (m_framesSent % 2 == 0)
            frame[1] = quint8(DeviceMarker + 1);
        else
            frame[2] = quint8(PayloadLead + 1);
    }
    if (chance(m_options.corruptExtraRate)) {
        ++m_stats.corruptedExtras;
        // Often the two reserved values, so that the escaping of junk is exercised too.
        frame[8] = escapeHeavyByte();
        frame[9] = escapeHeavyByte();
    }
    ++m_framesSent;
    const DeviceWireFrame wire = encodeDeviceFrame(frame);

    QByteArray bytes;
    if (chance(m_options.noiseRate)) {
        ++m_stats.noiseBursts;
        bytes += noiseBurst();
    }
    if (chance(m_options.foreignFrameRate)) {
        ++m_stats.foreignFrames;
        bytes += foreignFrame();
    }
    if (strayStart)
        bytes += char(FrameStart);
    bytes += QByteArray(reinterpret_cast<const char *>(wire.bytes.data()), wire.size);

    int delayMs = 0;
    if (m_options.maxDelayMs > 0 && chance(m_options.delayRate)) {
        ++m_stats.delayedFrames;
        delayMs = 1 + int(below(quint32(m_options.maxDelayMs)));
    }

    if (!chance(m_options.splitRate)) {
        enqueue({bytes, delayMs, false, true, frame});
        return;
    }
    ++m_stats.splitFrames;
    const bool singleBytes = below(2) == 0;
    const int gapMs = std::max(0, m_options.splitGapMs);
    int budget = DeviceOptions::SplitBudgetMs;
    bool afterEscape = false;
    for (qsizetype at = 0; at < bytes.size();) {
        const qsizetype left = bytes.size() - at;
        qsizetype length =
            singleBytes ? 1 : 1 + qsizetype(below(quint32(std::min<qsizetype>(MaxChunk, left))));
        // A chunk also ends right after an escape byte, so that the host gets the escape and the
        // byte it applies to in different reads.
        const qsizetype escape = bytes.indexOf(char(FrameEscape), at);
        if (escape >= 0 && escape < at + length)
            length = escape - at + 1;
        int gap = delayMs;
        if (at > 0) {
            gap = int(below(quint32(gapMs) + 1));
            if (afterEscape && gapMs > 0)
                gap = std::max(gap, 1);
            gap = std::min(budget, gap);
            budget -= gap;
        }
        enqueue({bytes.mid(at, length), gap, false, length == left, frame});
        at += length;
        afterEscape = bytes.at(at - 1) == char(FrameEscape);
    }
}

QByteArray SimulatedDevice::noiseBurst()
{
    QByteArray junk;
    const int segments = 1 + int(below(3));
    for (int s = 0; s < segments; ++s) {
        if (below(2) == 0) {
            // Bytes outside a frame: dropped as long as none of them is a frame start.
            for (int n = 1 + int(below(8)); n > 0; --n)
                junk += char(byteExcept(FrameStart, FrameStart));
        } else {
            // A frame start that goes nowhere: the byte after it returns the parser to waiting.
            // Not 0x5E, which would start a frame, nor 0x7E, after which the next 0x5E is lost.
            junk += char(FrameStart);
            junk += char(byteExcept(DeviceMarker, FrameStart));
        }
    }
    if (below(3) == 0) {
        // A frame start cut short: at most six bytes of it, so it never completes; the real
        // frame's start byte begins the frame again.
        junk += char(FrameStart);
        junk += char(DeviceMarker);
        for (int n = int(below(7)); n > 0; --n)
            junk += char(byteExcept(FrameStart, FrameStart));
    }
    return junk;
}

QByteArray SimulatedDevice::foreignFrame()
{
    DeviceFrame frame = makeDeviceFrame(ResponseCodes[below(std::size(ResponseCodes))].code,
                                        m_random(), quint8(m_random()), quint8(m_random()));
    frame[2] = byteExcept(PayloadLead, PayloadLead);
    const DeviceWireFrame wire = encodeDeviceFrame(frame);
    return QByteArray(reinterpret_cast<const char *>(wire.bytes.data()), wire.size);
}

void SimulatedDevice::enqueue(Outgoing item)
{
    m_outgoing.push_back(std::move(item));
    if (!m_sendTimer.isActive())
        sendQueued();
}

void SimulatedDevice::sendQueued()
{
    // A slot connected to frameSent may send, and so come back here: the loop re-reads the queue
    // and stops while a delay is running.
    while (!m_outgoing.empty() && !m_sendTimer.isActive()) {
        Outgoing &next = m_outgoing.front();
        if (next.delayMs > 0) {
            m_sendTimer.start(next.delayMs);
            next.delayMs = 0;
            return;
        }
        const Outgoing item = std::move(next);
        m_outgoing.pop_front();
        if (item.hangUp) {
            m_outgoing.clear();
            closeLine();
            return;
        }
        if (m_line && m_line->isOpen() && !item.bytes.isEmpty())
            m_line->write(item.bytes);
        if (item.endsFrame)
            emit frameSent(item.frame);
    }
}

void SimulatedDevice::closeLine()
{
    if (!m_line)
        return;
    if (auto *terminal = qobject_cast<PseudoTerminal *>(m_line.data()))
        terminal->hangUp();
    else
        m_line->close();
}

bool SimulatedDevice::chance(double rate)
{
    if (rate <= 0)
        return false;
    if (rate >= 1)
        return true;
    return double(m_random()) < rate * 4294967296.0;
}

quint8 SimulatedDevice::escapeHeavyByte()
{
    switch (below(3)) {
    case 0:
        return FrameEscape;
    case 1:
        return FrameStart;
    default:
        return quint8(m_random());
    }
}

quint8 SimulatedDevice::byteExcept(quint8 a, quint8 b)
{
    quint8 byte;
    do {
        byte = quint8(m_random());
    } while (byte == a || byte == b);
    return byte;
}
