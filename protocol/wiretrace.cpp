#include "wiretrace.h"

#include "updateprotocol.h"

#include <QByteArray>
#include <QTime>

Q_LOGGING_CATEGORY(lcWire, "vantu.wire", QtWarningMsg)

namespace {

void traceFrame(const char *direction, const char *name, quint8 code, const quint8 *bytes,
                int count)
{
    const QByteArray shownName =
        name ? QByteArray(name) : "0x" + QByteArray::number(code, 16).rightJustified(2, '0');
    const QByteArray hex =
        QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), count).toHex(' ');
    qCDebug(lcWire, "%s %s %s %s",
            qPrintable(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"))), direction,
            shownName.constData(), hex.constData());
}

} // namespace

void traceSent(const FramePayload &payload)
{
    if (lcWire().isDebugEnabled())
        traceFrame("tx", commandName(payload[1]), payload[1], payload.data(), PayloadSize);
}

void traceReceived(const DeviceFrame &frame)
{
    if (lcWire().isDebugEnabled())
        traceFrame("rx", responseName(frame[3]), frame[3], frame.data(), DeviceFrameSize);
}
