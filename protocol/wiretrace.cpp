#include "wiretrace.h"

#include "updateprotocol.h"

#include <QByteArray>
#include <QTime>

Q_LOGGING_CATEGORY(lcWire, "vantu.wire", QtWarningMsg)

namespace {

void traceFrame(const QString &port, const char *direction, const char *name, quint8 code,
                const quint8 *bytes, int count)
{
    const QByteArray shownName =
        name ? QByteArray(name) : "0x" + QByteArray::number(code, 16).rightJustified(2, '0');
    const QByteArray hex =
        QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), count).toHex(' ');
    QString lead = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
    if (!port.isEmpty())
        lead += QLatin1Char(' ') + port;
    qCDebug(lcWire, "%s %s %s %s", qPrintable(lead), direction, shownName.constData(),
            hex.constData());
}

} // namespace

void traceSent(const FramePayload &payload, const QString &port)
{
    if (lcWire().isDebugEnabled())
        traceFrame(port, "tx", commandName(payload[1]), payload[1], payload.data(), PayloadSize);
}

void traceReceived(const DeviceFrame &frame, const QString &port)
{
    if (lcWire().isDebugEnabled())
        traceFrame(port, "rx", responseName(frame[3]), frame[3], frame.data(), DeviceFrameSize);
}
