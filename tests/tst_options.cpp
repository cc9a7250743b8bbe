// What the programs' command lines ask for, on every system: vantuflash's options read into a run,
// the guards' versions, and vantustation's slots. Nothing is opened: the text alone. What a run
// does with bad options on the wire is tst_flash's; the same suite runs as a Windows program.
#include "flashoptions.h"
#include "stationoptions.h"
#include "targetoptions.h"

#include <QTest>

namespace {

// The targets as the records name them, in order.
QStringList labelsOf(const QList<PortTarget> &targets)
{
    QStringList labels;
    for (const PortTarget &target : targets)
        labels.append(target.label());
    return labels;
}

} // namespace

class OptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void flashCommandLine_data();
    void flashCommandLine();
    void versions_data();
    void versions();
    void stationCommandLine_data();
    void stationCommandLine();
};

void OptionsTest::flashCommandLine_data()
{
    // What a run reads, as "key=value" pairs of what it sets: ports, wait and timeout in ms, the
    // flags set, the log and the guards. Or, after "error:", why it is refused.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reads");

    QTest::newRow("a port and an image")
        << QStringList{"-p", "ttyUSB0", "fw.vuf"} << "ports=ttyUSB0 wait=10000 timeout=2000";
    QTest::newRow("Windows ports, by name and in the device namespace")
        << QStringList{"-p", "COM3", "--port", "\\\\.\\COM12", "C:\\fw\\board.vuf"}
        << "ports=COM3,\\\\.\\COM12 wait=10000 timeout=2000";
    QTest::newRow("ports in the order given, whatever names them")
        << QStringList{"--serial", "A1", "-p", "COM3", "--usb", "0403:6001", "fw.vuf"}
        << "ports=serial:A1,COM3,usb:0403:6001 wait=10000 timeout=2000";
    QTest::newRow("limits in seconds, with decimals")
        << QStringList{"-w", "0.5", "-t", "30", "-p", "COM3", "fw.vuf"}
        << "ports=COM3 wait=500 timeout=30000";
    QTest::newRow("no limit to the wait")
        << QStringList{"--wait", "0", "-p", "COM3", "fw.vuf"} << "ports=COM3 wait=0 timeout=2000";
    QTest::newRow("a station's run")
        << QStringList{"--repeat",   "--json", "-q",         "--log", "C:/records/station1.jsonl",
                       "--hardware", "05.07",  "--hardware", "05.08", "--skip-firmware",
                       "0A.00",      "-p",     "COM3",       "fw.vuf"}
        << "ports=COM3 wait=10000 timeout=2000 json repeat quiet log=C:/records/station1.jsonl "
           "hardware=05.07,05.08 skip=0a.00";
    QTest::newRow("--info") << QStringList{"--info", "-p", "COM3"}
                            << "info ports=COM3 wait=10000 timeout=2000";
    QTest::newRow("--list") << QStringList{"--list", "--json"} << "list json";
    QTest::newRow("no image") << QStringList{"-p", "COM3"} << "error:no image given";
    QTest::newRow("two images") << QStringList{"-p", "COM3", "a.vuf", "b.vuf"}
                                << "error:one image only, not a.vuf b.vuf";
    QTest::newRow("a wait that is no number")
        << QStringList{"-w", "ten", "-p", "COM3", "fw.vuf"}
        << "error:--wait wants a number of seconds from 0 (no limit) to 10000000, not ten";
    QTest::newRow("no time-out at all")
        << QStringList{"-t", "0", "-p", "COM3", "fw.vuf"}
        << "error:--timeout wants a number of seconds above 0, at most 10000000, not 0";
    QTest::newRow("--list with a port")
        << QStringList{"--list", "-p", "COM3"} << "error:--list takes no other option than --json";
    QTest::newRow("a guard not as records write it")
        << QStringList{"--skip-firmware", "1.0", "-p", "COM3", "fw.vuf"}
        << "error:--skip-firmware wants a version as the records write it, such as 05.07, not "
           "1.0";
}

void OptionsTest::flashCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reads);
    const ParsedCommandLine parsed =
        parseCommandLine(QStringList{QStringLiteral("vantuflash")} + arguments);
    if (reads.startsWith(QLatin1String("error:"))) {
        QCOMPARE(parsed.action, CommandLineRequest::Action::UsageError);
        QCOMPARE(parsed.error, reads.mid(6));
        return;
    }
    QCOMPARE(parsed.action, CommandLineRequest::Action::Run);
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    const FlashOptions &o = parsed.options;
    QStringList read;
    if (o.mode == FlashOptions::Mode::Info)
        read << QStringLiteral("info");
    if (o.mode == FlashOptions::Mode::List) {
        read << QStringLiteral("list");
    } else {
        read << QStringLiteral("ports=") + labelsOf(o.targets).join(QLatin1Char(','))
             << QStringLiteral("wait=%1").arg(o.wait.count())
             << QStringLiteral("timeout=%1").arg(o.timeout.count());
    }
    for (const auto &[set, name] : {std::pair{o.json, "json"}, std::pair{o.repeat, "repeat"},
                                    std::pair{o.quiet, "quiet"}, std::pair{o.verbose, "verbose"}}) {
        if (set)
            read << QLatin1String(name);
    }
    if (!o.logPath.isEmpty())
        read << QStringLiteral("log=") + o.logPath;
    if (!o.hardware.isEmpty())
        read << QStringLiteral("hardware=") + o.hardware.join(QLatin1Char(','));
    if (!o.skipFirmware.isEmpty())
        read << QStringLiteral("skip=") + o.skipFirmware.join(QLatin1Char(','));
    QCOMPARE(read.join(QLatin1Char(' ')), reads);
    QCOMPARE(o.imagePath, o.mode == FlashOptions::Mode::Update ? arguments.constLast() : QString());
}

void OptionsTest::versions_data()
{
    // A version as the records write it, and so as the guards compare it.
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("version"); // empty: not one
    QTest::newRow("as written") << "05.07"
                                << "05.07";
    QTest::newRow("hex digits, kept in lowercase") << "0A.fF"
                                                   << "0a.ff";
    QTest::newRow("one digit each") << "5.7"
                                    << "";
    QTest::newRow("three parts") << "01.00.1"
                                 << "";
    QTest::newRow("not hex") << "0G.00"
                             << "";
    QTest::newRow("spaces") << " 05.07"
                            << "";
    QTest::newRow("empty") << ""
                           << "";
}

void OptionsTest::versions()
{
    QFETCH(QString, text);
    QFETCH(QString, version);
    QCOMPARE(normalVersion(text), version);
}

void OptionsTest::stationCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("slotLabels");

    QTest::newRow("ports and serial numbers become slots in order")
        << QStringList{"--serial", "A1", "-p", "ttyUSB3", "--port", "/dev/x", "image.vuf"}
        << QString() << QStringList{"serial:A1", "ttyUSB3", "/dev/x"};
    QTest::newRow("a station file") << QStringList{"fixture.station"} << QString() << QStringList{};
    QTest::newRow("a version the records do not write")
        << QStringList{"--hardware", "5.7", "image.vuf"}
        << "--hardware wants a version as the records write it, such as 05.07, not 5.7"
        << QStringList{};
    QTest::newRow("a serial number twice") << QStringList{"--serial", "A", "--serial", "A"}
                                           << "--serial A given twice" << QStringList{};
    QTest::newRow("two images") << QStringList{"a.vuf", "b.vuf"}
                                << "one image or station file only, not a.vuf b.vuf"
                                << QStringList{};
}

void OptionsTest::stationCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFETCH(QStringList, slotLabels);
    const StationCommandLine line =
        parseStationCommandLine(QStringList{QStringLiteral("vantustation")} + arguments);
    QCOMPARE(line.error, error);
    QCOMPARE(line.action, error.isEmpty() ? StationCommandLine::Action::Run
                                          : StationCommandLine::Action::UsageError);
    QStringList labels;
    for (const SlotConfig &slot : line.config.fixture)
        labels.append(slot.target.label());
    QCOMPARE(labels, slotLabels);
    if (arguments.contains(QStringLiteral("fixture.station")))
        QCOMPARE(line.stationFile, QStringLiteral("fixture.station"));
}

QTEST_GUILESS_MAIN(OptionsTest)
#include "tst_options.moc"
