#include "targetoptions.h"

#include "portinfo.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

namespace {

// The device node a port name leads to, links resolved; the name itself when it leads nowhere
// yet (a port that will appear later).
QString nodeOf(const QString &portName)
{
    const QString node = portNodePath(portName);
    const QString real = QFileInfo(node).canonicalFilePath();
    return real.isEmpty() ? node : real;
}

QString shownTarget(const PortTarget &target)
{
    switch (target.kind) {
    case PortTarget::Kind::SerialNumber:
        return QStringLiteral("--serial ") + target.value;
    case PortTarget::Kind::UsbIds:
        return QStringLiteral("--usb ") + target.value;
    case PortTarget::Kind::Name:
        break;
    }
    return target.value;
}

} // namespace

QList<QCommandLineOption> optionsOf(const OptionRow *rows, qsizetype count)
{
    QList<QCommandLineOption> options;
    options.reserve(count);
    for (const OptionRow *row = rows; row != rows + count; ++row) {
        const QStringList names = QString::fromLatin1(row->names).split(QLatin1Char(','));
        const QString help = QString::fromUtf8(row->help);
        options.append(row->valueName
                           ? QCommandLineOption(names, help, QString::fromLatin1(row->valueName))
                           : QCommandLineOption(names, help));
    }
    return options;
}

bool readRequest(QCommandLineParser &parser, const QStringList &arguments,
                 const QCommandLineOption &help, const QCommandLineOption &version,
                 CommandLineRequest *request)
{
    if (!parser.parse(arguments)) {
        request->refuse(parser.errorText());
    } else if (parser.isSet(help)) {
        request->action = CommandLineRequest::Action::Help;
        request->helpText = parser.helpText();
    } else if (parser.isSet(version)) {
        request->action = CommandLineRequest::Action::Version;
    } else {
        return true;
    }
    return false;
}

QString targetsFromOptions(const QCommandLineParser &parser, const QCommandLineOption &port,
                           const QCommandLineOption &serial, const QCommandLineOption *usb,
                           QList<PortTarget> *targets)
{
    QStringList ports = parser.values(port);
    QStringList serials = parser.values(serial);
    QStringList usbTargets = usb ? parser.values(*usb) : QStringList();
    const int first = int(targets->size());
    const QStringList names = parser.optionNames();
    for (const QString &name : names) {
        if (port.names().contains(name) && !ports.isEmpty()) {
            const QString value = ports.takeFirst();
            if (value.isEmpty())
                return QStringLiteral("an empty port name");
            targets->append(PortTarget::named(value));
        } else if (serial.names().contains(name) && !serials.isEmpty()) {
            const QString value = serials.takeFirst();
            if (value.isEmpty())
                return QStringLiteral("an empty serial number");
            targets->append(PortTarget::bySerialNumber(value));
        } else if (usb && usb->names().contains(name) && !usbTargets.isEmpty()) {
            const QString text = usbTargets.takeFirst();
            const QString ids = normalUsbIds(text);
            if (ids.isEmpty())
                return QStringLiteral("--usb wants VID:PID in hex, such as 0403:6001, not %1")
                    .arg(text);
            targets->append(PortTarget::byUsbIds(ids));
        }
    }
    for (int i = first; i < targets->size(); ++i) {
        for (int j = first; j < i; ++j) {
            const PortTarget &a = targets->at(j);
            const PortTarget &b = targets->at(i);
            if (a.kind == b.kind && a.kind != PortTarget::Kind::Name && a.value == b.value)
                return QStringLiteral("%1 given twice").arg(shownTarget(a));
        }
    }
    return {};
}

// A version as the records write it, "05.07": two two-digit hex numbers; in any case, kept in
// lowercase. Empty when the text is not one.
QString normalVersion(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^[0-9a-fA-F]{2}\\.[0-9a-fA-F]{2}$"));
    return form.match(text).hasMatch() ? text.toLower() : QString();
}

QString readVersions(const QStringList &values, const QString &what, QStringList *versions)
{
    for (const QString &value : values) {
        const QString version = normalVersion(value);
        if (version.isEmpty())
            return QStringLiteral(
                       "%1 wants a version as the records write it, such as 05.07, not %2")
                .arg(what, value);
        versions->append(version);
    }
    return {};
}

QList<PortTarget> expandTargets(const QList<PortTarget> &targets,
                                const QList<QSerialPortInfo> &present, QString *error)
{
    QList<PortTarget> expanded;
    QHash<QString, QString> givenAs; // device node -> how it was given
    const auto claim = [&](const QString &node, const QString &shown) {
        const auto earlier = givenAs.constFind(node);
        if (earlier == givenAs.constEnd()) {
            givenAs.insert(node, shown);
            return true;
        }
        *error = earlier.value() == shown ? QStringLiteral("port %1 given twice").arg(shown)
                                          : QStringLiteral("port %1 given twice (as %2 and %3)")
                                                .arg(portNodePath(node), earlier.value(), shown);
        return false;
    };
    for (const PortTarget &target : targets) {
        const QStringList matches = matchingPorts(target, present);
        if (target.kind == PortTarget::Kind::UsbIds && !matches.isEmpty()) {
            for (const QString &name : matches) {
                if (!claim(nodeOf(name),
                           shownTarget(target) + QStringLiteral(" (") + name + QLatin1Char(')')))
                    return {};
                expanded.append(PortTarget::named(name));
            }
            continue;
        }
        // A serial number found now is checked against the other ports; one that is not there
        // yet is looked for when its port is opened.
        const QString shown = shownTarget(target);
        if (target.kind == PortTarget::Kind::Name && !claim(nodeOf(target.value), shown))
            return {};
        if (target.kind == PortTarget::Kind::SerialNumber && !matches.isEmpty() &&
            !claim(nodeOf(matches.first()),
                   shown + QStringLiteral(" (") + matches.first() + QLatin1Char(')')))
            return {};
        expanded.append(target);
    }
    return expanded;
}
