// The records an update leaves, on every system: one line of JSON each, and the log they are
// appended to (whole or not at all, under a lock that other programs take too, reopened by name
// so that a log renamed away goes on in a new file). The same suite runs as a Windows program,
// where the log's lock, sync and share modes are Windows' own.
#include "recordlog.h"
#include "records.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTest>

#include <cstring>

using namespace testing;

namespace {

// As a child process: appends count records of its own to the log at path, as fast as it can.
constexpr char AppendOption[] = "--append-records";

int appendRecords(const QString &path, int count, const QString &writer)
{
    RecordLog log;
    QString error;
    if (!log.open(path, &error)) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(error));
        return 1;
    }
    // Long enough that a write split between two programs would show.
    const QString padding(300, QLatin1Char('x'));
    for (int n = 0; n < count; ++n) {
        JsonLine line;
        line.add("writer", writer).add("n", qint64(n)).add("padding", padding);
        if (!log.append(line.text())) {
            std::fprintf(stderr, "%s\n", qUtf8Printable(log.errorString()));
            return 1;
        }
    }
    return 0;
}

QList<QByteArray> linesOf(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray all = file.readAll();
    if (!all.endsWith('\n'))
        return {QByteArrayLiteral("(no line end at the end of the file)")};
    all.chop(1);
    return all.split('\n');
}

} // namespace

class RecordsTest : public QObject, FolderCase
{
    Q_OBJECT

private slots:
    void init() { beginCase(); }
    void cleanup() { endCase(); }

    void resultIsOneLineOfJson_data();
    void resultIsOneLineOfJson();
    void logKeepsEveryRecordWhole();
    void twoProgramsAppendToOneLog();
    void logRenamedAwayGoesOnAtItsName();
    void logThatCannotBeWritten_data();
    void logThatCannotBeWritten();
};

void RecordsTest::resultIsOneLineOfJson_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("imagePath");
    QTest::addColumn<bool>("answered"); // the device reported its versions; an adapter is known
    QTest::newRow("an update") << "COM3"
                               << "The device reported the firmware updated."
                               << "C:/images/board.vuf" << true;
    QTest::newRow("quotes, a backslash, line ends and a tab") << "\\\\.\\COM12"
                                                              << "He said \"no\"\nC:\\temp\r\tend"
                                                              << "D:\\fw\\\"odd\".vuf" << true;
    QTest::newRow("beyond ASCII") << QStringLiteral("COM3 \u2013 Pr\u00fcfplatz")
                                  << QStringLiteral("Ger\u00e4t \u2716 stumm")
                                  << QStringLiteral("C:/Firmware/\u00c4rger \u65e5\u672c.vuf")
                                  << true;
    QTest::newRow("control characters")
        << "ttyUSB0" << QStringLiteral("a\x01z\x1f") << "fw.vuf" << true;
    QTest::newRow("before the device answered")
        << "ttyACM0"
        << "No device answered on ttyACM0." << QString() << false;
}

void RecordsTest::resultIsOneLineOfJson()
{
    QFETCH(QString, port);
    QFETCH(QString, message);
    QFETCH(QString, imagePath);
    QFETCH(bool, answered);
    SessionResult result;
    result.port = port;
    result.outcome = answered ? Outcome::Updated : Outcome::NoDevice;
    result.message = message;
    if (answered) {
        result.versions = DeviceVersions{QStringLiteral("01.00"), QStringLiteral("05.07")};
        result.adapter =
            AdapterDetails{QStringLiteral("A10K3L2Q"), QStringLiteral("0403:6001"),
                           QStringLiteral("USB Serial \u2013 \u00fc"), QStringLiteral("FTDI")};
    }
    if (!imagePath.isEmpty()) {
        ImageFacts image;
        image.path = imagePath;
        image.size = 20000;
        image.sha256 = sha256Hex("image");
        result.image = image;
    }
    result.started = QDateTime(QDate(2026, 12, 9), QTime(14, 2, 11, 345), Qt::UTC);
    result.seconds = 1.25;
    result.requests = 5001;
    result.repeatedRequests = 3;

    const QByteArray text = resultEvent(result).text();
    QVERIFY2(!text.contains('\n') && !text.contains('\r'), text.constData());
    QVERIFY(text.startsWith("{\"event\":\"result\","));
    QJsonParseError error;
    const QJsonObject record = QJsonDocument::fromJson(text, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    QCOMPARE(record.value("port").toString(), port);
    QCOMPARE(record.value("message").toString(), message);
    QCOMPARE(record.value("result").toString(),
             QString::fromLatin1(answered ? "updated" : "no-device"));
    QCOMPARE(record.value("exit_code").toInt(), answered ? 0 : 4);
    QCOMPARE(record.value("firmware").toString(), answered ? QStringLiteral("01.00") : QString());
    QCOMPARE(record.value("firmware").isNull(), !answered);
    QCOMPARE(record.value("image").isNull(), imagePath.isEmpty());
    QCOMPARE(record.value("image")["path"].toString(), imagePath);
    QCOMPARE(record.value("adapter")["description"].toString(),
             answered ? QStringLiteral("USB Serial \u2013 \u00fc") : QString());
    QCOMPARE(QDateTime::fromString(record.value("started").toString(), Qt::ISODateWithMs),
             result.started);
    QVERIFY2(text.contains("\"seconds\":1.250,"), text.constData());
    QCOMPARE(record.value("requests").toInt(), 5001);
}

void RecordsTest::logKeepsEveryRecordWhole()
{
    const QString path = dir->filePath(QStringLiteral("records.jsonl"));
    RecordLog log;
    QString error;
    QVERIFY2(log.open(path, &error), qPrintable(error));
    QVERIFY(QFile::exists(path)); // made, and nothing written yet
    QCOMPARE(QFileInfo(path).size(), qint64(0));
    const QList<QByteArray> records = {"{\"n\":1}", QStringLiteral("{\"t\":\"\u00fc\"}").toUtf8(),
                                       "{\"n\":3}"};
    for (const QByteArray &record : records)
        QVERIFY2(log.append(record), qPrintable(log.errorString()));
    QCOMPARE(linesOf(path), records);
    // A log that was there before is appended to.
    RecordLog again;
    QVERIFY(again.open(path, &error));
    QVERIFY(again.append("{\"n\":4}"));
    QCOMPARE(linesOf(path).size(), 4);
}

void RecordsTest::twoProgramsAppendToOneLog()
{
    // Two programs append to one log at once, as two stations on one machine do: every record
    // whole, on a line of its own, none lost. Without a lock both would write at the same end.
    const QString path = dir->filePath(QStringLiteral("shared.jsonl"));
    constexpr int Count = 300;
    QProcess a;
    QProcess b;
    for (auto [process, writer] : {std::pair{&a, "a"}, std::pair{&b, "b"}}) {
        process->setProgram(QCoreApplication::applicationFilePath());
        process->setArguments({QString::fromLatin1(AppendOption), path, QString::number(Count),
                               QString::fromLatin1(writer)});
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start();
    }
    for (QProcess *process : {&a, &b}) {
        QVERIFY(process->waitForFinished(PatienceMs));
        QCOMPARE(process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(process->exitCode(), 0);
    }
    const QList<QByteArray> lines = linesOf(path);
    QCOMPARE(lines.size(), 2 * Count);
    QSet<QString> seen;
    for (const QByteArray &line : lines) {
        QJsonParseError error;
        const QJsonObject record = QJsonDocument::fromJson(line, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
        const QString key = record.value("writer").toString() + QLatin1Char(' ') +
                            QString::number(record.value("n").toInt());
        QVERIFY2(!seen.contains(key), qPrintable(key));
        seen.insert(key);
    }
    QCOMPARE(seen.size(), 2 * Count);
}

void RecordsTest::logRenamedAwayGoesOnAtItsName()
{
    // A rotation renames the log between two records: the next one starts a new file at the
    // path, and the renamed file keeps what it had.
    const QString path = dir->filePath(QStringLiteral("station1.jsonl"));
    RecordLog log;
    QString error;
    QVERIFY(log.open(path, &error));
    QVERIFY(log.append("{\"n\":1}"));
    QVERIFY(QFile::rename(path, path + QStringLiteral(".1")));
    QVERIFY(log.append("{\"n\":2}"));
    QCOMPARE(linesOf(path), QList<QByteArray>{"{\"n\":2}"});
    QCOMPARE(linesOf(path + QStringLiteral(".1")), QList<QByteArray>{"{\"n\":1}"});
}

void RecordsTest::logThatCannotBeWritten_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("a folder") << "folder";
    QTest::newRow("in a folder that is not there") << "no folder";
    QTest::newRow("its folder removed after it was opened") << "folder gone";
    QTest::newRow("a read-only file") << "read-only";
}

void RecordsTest::logThatCannotBeWritten()
{
    QFETCH(QString, kind);
    if (kind == QLatin1String("read-only")) {
        VANTU_SKIP_AS_ROOT("root writes to a read-only file: run as another user");
        // Wine keeps a file read-only with the Unix permissions, which root passes by.
        if (underWine())
            QSKIP("Wine, run by root here, writes to a read-only file, which Windows refuses");
    }
    const QString folder = dir->filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkdir(folder));
    QString path = folder + QStringLiteral("/records.jsonl");
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(path));
    else if (kind == QLatin1String("no folder"))
        path = folder + QStringLiteral("/none/records.jsonl");
    RecordLog log;
    QString error;
    const bool opens = kind == QLatin1String("folder gone") || kind == QLatin1String("read-only");
    QCOMPARE(log.open(path, &error), opens);
    if (!opens) {
        QVERIFY2(error.startsWith(QStringLiteral("cannot write the log %1").arg(path)),
                 qPrintable(error));
        return;
    }
    if (kind == QLatin1String("folder gone")) {
        QVERIFY(QDir(folder).removeRecursively());
    } else {
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadUser));
    }
    QVERIFY(!log.append("{\"n\":1}"));
    QVERIFY(!log.errorString().isEmpty());
    QVERIFY(!QFile::exists(path) || QFileInfo(path).size() == 0);
}

// As a test, or with --append-records PATH COUNT WRITER as one of the two programs above.
int main(int argc, char *argv[])
{
    if (argc == 5 && std::strcmp(argv[1], AppendOption) == 0) {
        QCoreApplication app(argc, argv);
        return appendRecords(QString::fromLocal8Bit(argv[2]), QByteArray(argv[3]).toInt(),
                             QString::fromLocal8Bit(argv[4]));
    }
    QCoreApplication app(argc, argv);
    RecordsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_records.moc"
