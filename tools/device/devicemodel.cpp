// The device's conversation: the handshake, the plan of requests, the checks of every piece and
// the update's end. Its frames, and the faults on their way out to the line, are in deviceline.cpp.

#include "devicemodel.h"

#include "timing.h"
#include "updateprotocol.h"

#include <QFile>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <limits>

namespace {

constexpr quint32 PieceSize = 4;
constexpr qint64 AssumedImageEnd = 4096; // for a fault offset drawn without the image size

quint32 alignDown(quint32 offset)
{
    return offset & ~(PieceSize - 1);
}

QByteArray hex(const quint8 *piece)
{
    return QByteArray(reinterpret_cast<const char *>(piece), PieceSize).toHex(' ');
}

// The image's piece at start, zeros past its end.
bool sameAsImage(const QByteArray &image, qint64 start, const quint8 *bytes)
{
    for (qint64 k = 0; k < PieceSize; ++k) {
        if (bytes[k] != (start + k < image.size() ? quint8(image[qsizetype(start + k)]) : 0))
            return false;
    }
    return true;
}

} // namespace

bool isImagePiece(const QByteArray &image, quint32 offset, const FramePayload &payload)
{
    return payload[6] == quint8(offset) &&
           sameAsImage(image, alignDown(offset), payload.data() + 2);
}

DeviceModel::DeviceModel(const DeviceOptions &options)
    : m_options(options), m_random(options.seed), m_seededWith(options.seed)
{}

void DeviceModel::setOptions(const DeviceOptions &options)
{
    m_options = options;
    if (options.seed != m_seededWith)
        m_random.seed(m_seededWith = options.seed);
}

void DeviceModel::logf(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    log(QString::vasprintf(format, arguments));
    va_end(arguments);
}

void DeviceModel::receive(const quint8 *bytes, qint64 count, std::int64_t nowNs)
{
    advance(nowNs);
    for (qint64 i = 0; i < count; ++i) {
        if (!m_parser.step(bytes[i]))
            continue;
        const HostFrameParser::Result &frame = m_parser.result();
        m_nowNs = hostFrame(frame, nowNs);
        if (frame.checkOk) {
            ++m_stats.framesReceived;
            handleFrame(frame.payload);
        } else {
            ++m_stats.badCheckFrames;
            logf("dropped a frame with a bad check byte (command 0x%02x)", frame.payload[1]);
        }
    }
}

void DeviceModel::announce(std::int64_t nowNs)
{
    m_nowNs = nowNs;
    if (m_state != State::Silent && m_state != State::Away)
        sendFrame(RSP_PRESENT);
}

void DeviceModel::advance(std::int64_t nowNs)
{
    m_nowNs = nowNs;
    if (m_announceAtNs >= 0 && nowNs >= m_announceAtNs) {
        m_announceAtNs = -1;
        announce(nowNs);
    }
    comeBack();
}

bool DeviceModel::comeBack()
{
    // Away for the time, and for as many probes as a host at its pace sends in it: a host that
    // was held back meanwhile sent none, and must still find the board gone, as it would a board
    // taken off the fixture for that long while it probed.
    if (m_state != State::Away || m_nowNs < m_backAtNs)
        return false;
    const int probes = int(std::chrono::milliseconds(m_options.quietAfterDoneMs) / ResponseTimeout);
    if (m_probesWhileAway < probes)
        return false;
    m_state = State::Idle;
    logf("back, answering as the next board");
    return true;
}

std::int64_t DeviceModel::nextWakeNs() const
{
    std::int64_t wake = hasOutput() ? front().dueNs : std::numeric_limits<std::int64_t>::max();
    if (m_announceAtNs >= 0)
        wake = std::min(wake, m_announceAtNs);
    // Past its time, an absent board waits for the host's probes alone.
    return m_state == State::Away && m_nowNs < m_backAtNs ? std::min(wake, m_backAtNs) : wake;
}

void DeviceModel::pop()
{
    // The storage stays: once running, the model allocates nothing per frame.
    if (front().hangUp || ++m_head == m_output.size()) {
        m_output.clear();
        m_head = 0;
    }
}

void DeviceModel::handleFrame(const FramePayload &payload)
{
    if (m_state == State::Away && !comeBack()) {
        m_probesWhileAway += payload[1] == CMD_PING;
        return;
    }
    if (m_state == State::Silent)
        return;
    const quint8 command = payload[1];
    // The host has started over: a probe, a version query or a new start ends the transfer.
    const bool restart = command == CMD_PING || command == CMD_GET_VERSION || command == CMD_START;
    const bool transferring = m_state == State::Transferring;
    const char *ignored = nullptr; // why the frame is out of place
    if (payload[0] != PayloadLead)
        ignored = "a frame whose byte 0 is 0x%02x";
    else if (!commandName(command))
        ignored = "unknown command 0x%02x";
    else if (command == CMD_DATA && !transferring && m_t.owedTwice.empty())
        ignored = "CMD_DATA outside a transfer";
    else if (command == CMD_END && !transferring)
        ignored = "CMD_END outside a transfer";
    else if (restart && m_options.strict && m_stats.updatesStarted > m_stats.updatesCompleted)
        ignored = "command 0x%02x once the update had started";
    if (ignored) {
        ++m_stats.unexpectedFrames;
        return log(QStringLiteral("ignored ") +
                   QString::asprintf(ignored, payload[0] != PayloadLead ? payload[0] : command));
    }
    if (transferring && restart) {
        logf("transfer abandoned at offset %u (0x%x): command 0x%02x", m_t.requested, m_t.requested,
             command);
        m_state = State::Idle;
        m_t.duplicateOut = false;
        m_t.owedTwice.clear();
    }
    if (command == CMD_PING && m_pingsIgnored < m_options.silentProbes) {
        ++m_pingsIgnored;
        logf("ping %d of %d left unanswered", m_pingsIgnored, m_options.silentProbes);
    } else if (command == CMD_PING) {
        sendFrame(RSP_PRESENT);
    } else if (command == CMD_GET_VERSION && m_options.noVersionReply) {
        logf("version request left unanswered");
    } else if (command == CMD_GET_VERSION) {
        const DeviceOptions &o = m_options;
        sendFrame(RSP_VERSION, quint32(o.hardwareMinor) | quint32(o.hardwareMajor) << 8 |
                                   quint32(o.firmwareMinor) << 16 | quint32(o.firmwareMajor) << 24);
    } else if (command == CMD_START) {
        startTransfer();
    } else if (command == CMD_DATA) {
        handleData(payload);
    } else if (m_options.strict && m_t.requested < m_options.imageSize) {
        ++m_stats.unexpectedFrames;
        logf("ignored CMD_END for offset %u, before the end", m_t.requested);
    } else {
        if (!m_t.fresh)
            logf("CMD_END for offset %u (0x%x), which was served before", m_t.requested,
                 m_t.requested);
        finishTransfer();
    }
}

qint64 DeviceModel::imageEnd() const
{
    const qint64 size = std::min(m_options.imageSize, m_options.maxImageSize);
    return m_options.imageSize < 0 ? -1 : (size + PieceSize - 1) / PieceSize * PieceSize;
}

void DeviceModel::startTransfer()
{
    m_announceAtNs = -1;
    m_t = Transfer();
    const qint64 end = imageEnd();
    if (end >= 0) { // whole at once, so that the pieces to come allocate nothing
        m_t.image.reserve(m_options.image.isEmpty() ? qsizetype(end) : 0);
        m_t.received.reserve(size_t(end / PieceSize));
    }
    if (m_options.randomOrder && end < 0) {
        logf("random order needs the image size; asking in order");
    } else if (m_options.randomOrder) {
        for (quint32 offset = 0; offset < end; offset += PieceSize)
            m_t.plan.push_back(offset);
        std::mt19937 generator(m_options.randomSeed);
        std::shuffle(m_t.plan.begin(), m_t.plan.end(), generator);
        m_t.frontier = quint32(end);
    }
    m_state = State::Transferring;
    ++m_stats.updatesStarted;

    // The offsets of the faults that strike once, from a generator of their own: they depend on
    // the seed and the update alone, not on how many probes the host needed.
    std::mt19937 generator(m_options.seed ^ (0x9E3779B9u * quint32(m_stats.updatesStarted)));
    const auto resolve = [&](qint64 at, const char *what) {
        if (at != DeviceOptions::RandomOffset)
            return at;
        const qint64 drawn = qint64(generator() % quint32((end >= 0 ? end : AssumedImageEnd) + 1));
        logf("%s at offset %lld", what, drawn);
        return drawn;
    };
    m_t.cancelAt = resolve(m_options.cancelAt, "cancel");
    m_t.silentAt = resolve(m_options.silentAt, "silence");
    m_t.hangUpAt = resolve(m_options.hangUpAt, "hang-up");
    m_t.strayStartAt = resolve(m_options.strayStartAt, "stray frame start");
    logf("update started");
    started();
    requestNext();
}

void DeviceModel::requestNext()
{
    m_t.fromFrontier = false;
    m_t.fresh = m_t.again.empty();
    quint32 offset = m_t.frontier;
    if (!m_t.fresh) {
        offset = m_t.again.front();
        m_t.again.pop_front();
    } else if (m_t.planIndex < m_t.plan.size()) {
        offset = m_t.plan[m_t.planIndex++];
    } else {
        m_t.fromFrontier = true;
    }

    const bool firstUpdate = m_stats.updatesStarted == 1;
    if (m_t.cancelAt >= 0 && offset >= m_t.cancelAt && firstUpdate)
        return cancelTransfer(offset, "cancel point reached");
    if (m_t.silentAt >= 0 && offset >= m_t.silentAt) {
        logf("falling silent at offset %u (0x%x)", offset, offset);
        m_state = State::Silent;
        return;
    }
    if (m_t.hangUpAt >= 0 && offset >= m_t.hangUpAt) {
        logf("closing the line at offset %u (0x%x)", offset, offset);
        ++m_stats.hangUps;
        m_state = State::Silent;
        // The line goes in the middle of a frame, or just before one.
        const DeviceWireFrame wire = encodeDeviceFrame(makeDeviceFrame(RSP_DATA_REQUEST, offset));
        Output &part = m_output.emplace_back();
        part.append(wire.bytes.data(), int(below(quint32(wire.size))));
        queue(part, 0);
        Output &end = m_output.emplace_back();
        end.hangUp = true;
        return queue(end, 0);
    }
    if (offset >= m_options.maxImageSize)
        return cancelTransfer(
            offset,
            qPrintable(
                QStringLiteral("the image is larger than %1 bytes").arg(m_options.maxImageSize)));
    m_t.requested = offset;
    if (m_t.strayStartAt >= 0 && offset >= m_t.strayStartAt && firstUpdate) {
        // Never sent twice: the second copy would get through and be answered.
        m_t.strayStartAt = -1;
        ++m_stats.strayStarts;
        logf("a lone frame start goes before the request for offset %u (0x%x)", offset, offset);
        return sendFrame(RSP_DATA_REQUEST, offset, true);
    }
    sendFrame(RSP_DATA_REQUEST, offset);
    m_t.duplicateOut = chance(m_options.duplicateRate);
    if (m_t.duplicateOut) {
        ++m_stats.duplicatedRequests;
        sendFrame(RSP_DATA_REQUEST, offset);
    }
}

quint32 DeviceModel::staleOffset(quint32 lastStart)
{
    const std::vector<bool> &received = m_t.received;
    quint32 start = lastStart;
    quint32 within = below(PieceSize);
    // Half the time an offset whose low byte is 0x7D or 0x7E, which travels escaped: the piece
    // at 0x7C in one of the 256-byte pages received.
    const quint32 pages = quint32(received.size() * PieceSize / 256 + 1);
    const quint32 escaped = below(pages) * 256 + 0x7C;
    if (below(2) == 0 && escaped / PieceSize < received.size() && received[escaped / PieceSize]) {
        start = escaped;
        within = 1 + below(2);
    } else {
        for (int tries = 0; tries < 8; ++tries) {
            const quint32 piece = below(quint32(received.size()));
            if (received[piece]) {
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

void DeviceModel::cancelTransfer(quint32 offset, const char *why)
{
    logf("cancelling at offset %u (0x%x): %s", offset, offset, why);
    m_state = State::Idle;
    ++m_stats.updatesCancelled;
    sendFrame(RSP_CANCELLED);
    cancelled(offset);
    if (m_options.announceAfterDone)
        m_announceAtNs = m_nowNs + AnnounceDelayMs * NsPerMs;
}

bool DeviceModel::takePiece(quint32 offset, const FramePayload &payload, bool second)
{
    const quint8 *bytes = payload.data() + 2;
    const quint32 start = alignDown(offset);
    // The bytes that came the first time, when they were kept.
    const bool kept = m_options.image.isEmpty() && start / PieceSize < m_t.received.size() &&
                      m_t.received[start / PieceSize];
    const quint8 *first =
        kept ? reinterpret_cast<const quint8 *>(m_t.image.constData()) + start : bytes;
    const char *which = second ? "second answer for offset" : "CMD_DATA for offset";
    const bool offsetOk = payload[6] == quint8(offset);
    const bool imageOk = m_options.image.isEmpty() || sameAsImage(m_options.image, start, bytes);
    const bool sameAgain = std::memcmp(first, bytes, PieceSize) == 0;
    m_stats.offsetMismatches += !offsetOk;
    m_stats.retryMismatches += !sameAgain;
    if (!offsetOk)
        logf("%s %u (0x%x) carries offset byte 0x%02x", which, offset, offset, payload[6]);
    if (!imageOk)
        logf("%s %u (0x%x) is not the image's: %s", which, offset, offset, hex(bytes).constData());
    if (!sameAgain && second)
        logf("%s %u (0x%x): got %s, first time %s", which, offset, offset, hex(bytes).constData(),
             hex(first).constData());
    else if (!sameAgain)
        logf("offset %u (0x%x) asked again: got %s, first time %s", offset, offset,
             hex(bytes).constData(), hex(first).constData());
    piece(offset, bytes, offsetOk && imageOk && sameAgain);
    return offsetOk && imageOk && sameAgain;
}

void DeviceModel::handleData(const FramePayload &payload)
{
    // The host answers a request sent twice twice, in order, before it answers the next one; the
    // second answer can also come after the device has cancelled.
    if (!m_t.owedTwice.empty()) {
        const quint32 offset = m_t.owedTwice.front();
        m_t.owedTwice.pop_front();
        ++m_stats.duplicateAnswers;
        takePiece(offset, payload, true);
        return;
    }
    // The host answers with the piece that holds the offset, whatever the offset's low bits.
    const quint32 start = alignDown(m_t.requested);
    const size_t piece = start / PieceSize;
    takePiece(m_t.requested, payload, false);
    if (m_t.duplicateOut) {
        m_t.duplicateOut = false;
        m_t.owedTwice.push_back(m_t.requested);
    }
    while (m_t.received.size() <= piece)
        m_t.received.push_back(false);
    // Checked against the image when there is one, kept otherwise.
    if (m_options.image.isEmpty() && m_t.image.size() < qint64(start) + PieceSize)
        m_t.image.resize(qsizetype(start + PieceSize), '\0');
    if (m_options.image.isEmpty() && !m_t.received[piece])
        std::memcpy(m_t.image.data() + start, payload.data() + 2, PieceSize);
    m_t.received[piece] = true;
    if (m_t.fresh) {
        ++m_t.freshPieces;
        if (m_t.fromFrontier) {
            m_t.frontier = start + std::max(PieceSize, m_options.stride);
            if (m_options.imageSize >= 0 && m_t.frontier >= m_options.imageSize)
                m_t.frontier = quint32(imageEnd()); // the end: the host must send CMD_END
        }
        if (m_options.unalignedRequests && m_t.freshPieces % 2 == 0)
            m_t.again.push_back(start + 1 + quint32(m_t.unalignedAsked++ % 3));
        if (m_options.retryEvery > 0 && m_t.freshPieces % m_options.retryEvery == 0) {
            const bool backInImage =
                start >= RetryStepBack && m_t.received[(start - RetryStepBack) / PieceSize];
            m_t.again.push_back(backInImage ? start - RetryStepBack : start);
        }
        if (chance(m_options.staleRate)) {
            ++m_stats.staleRequests;
            m_t.again.push_back(staleOffset(start));
        }
    }
    requestNext();
}

void DeviceModel::finishTransfer()
{
    const qint64 missing = std::count(m_t.received.begin(), m_t.received.end(), false);
    if (missing > 0)
        logf("%lld pieces below the end were never received", missing);
    m_state = State::Idle;
    m_t.duplicateOut = false;
    m_t.owedTwice.clear();
    m_lastImage = m_t.image;
    ++m_stats.updatesCompleted;
    sendFrame(RSP_DONE);
    logf("update complete: %lld bytes, end at offset %u (0x%x)", qint64(m_lastImage.size()),
         m_t.requested, m_t.requested);
    if (!m_options.outputPath.isEmpty()) {
        QFile file(m_options.outputPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(m_lastImage) != m_lastImage.size() || !file.flush())
            log(QStringLiteral("cannot write %1: %2")
                    .arg(m_options.outputPath, file.errorString()));
    }
    if (m_options.quietAfterDoneMs > 0) {
        logf("away for %d ms", m_options.quietAfterDoneMs);
        m_state = State::Away;
        m_backAtNs = m_nowNs + m_options.quietAfterDoneMs * NsPerMs;
        m_probesWhileAway = 0;
    } else if (m_options.announceAfterDone) {
        m_announceAtNs = m_nowNs + AnnounceDelayMs * NsPerMs;
    }
    completed(m_lastImage);
}
