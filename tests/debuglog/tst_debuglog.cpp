#include "debuglog.h"
#include "logreader.h"

#include <QDir>
#include <QRegularExpression>
#include <QTextCodec>
#include <QtTest>

namespace {

QStringList warnings;

void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        warnings.append(message);
}

QDateTime at(int year, int month, int day, int hour, int minute, int second)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second));
}

quint32 secsOf(const QDateTime &dateTime)
{
    return quint32(dateTime.toSecsSinceEpoch());
}

} // namespace

class tst_DebugLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void record_data();
    void record();
    void appending_data();
    void appending();
    void missingFolder();
    void clock_data();
    void clock();
    void readBack_data();
    void readBack();

private:
    QByteArray contents(const QString &fileName) const;

    QDir logDir;
};

void tst_DebugLog::initTestCase()
{
    logDir.setPath(QCoreApplication::applicationDirPath() + QLatin1String("/log"));
}

void tst_DebugLog::init()
{
    QVERIFY(logDir.removeRecursively());
    QVERIFY(logDir.mkpath(QStringLiteral(".")));
}

void tst_DebugLog::cleanup()
{
    QVERIFY(logDir.removeRecursively());
}

QByteArray tst_DebugLog::contents(const QString &fileName) const
{
    QFile file(logDir.filePath(fileName));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void tst_DebugLog::record_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("startTime");
    QTest::addColumn<QDateTime>("stamp");
    QTest::addColumn<quint32>("nowSecs");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("expected");

    const QDateTime morning = at(2023, 12, 7, 9, 15, 2);
    const quint32 now = secsOf(morning);
    const QString december7 = QStringLiteral("debug_12-07.log");

    QTest::newRow("empty text") << QString() << 0 << morning << now << december7
                                << QByteArray("\r\n[12-07 09:15:02]\n");
    QTest::newRow("plain text") << "abc" << 0 << morning << now << december7
                                << QByteArray("\r\nabc[12-07 09:15:02]\n");
    QTest::newRow("text ending with CR LF")
        << "abc\r\n"
        << 0 << morning << now << december7 << QByteArray("\r\nabc\r\n[12-07 09:15:02]\n");
    QTest::newRow("text with inner LF")
        << "one\ntwo\n"
        << 0 << morning << now << december7 << QByteArray("\r\none\ntwo\n[12-07 09:15:02]\n");
    QTest::newRow("non-ASCII text")
        << QString::fromUtf8("升级 äö") << 0 << morning << now << december7
        << QByteArray("\r\n\xe5\x8d\x87\xe7\xba\xa7 \xc3\xa4\xc3\xb6"
                      "[12-07 09:15:02]\n");
    QTest::newRow("elapsed") << "abc" << int(now - 12) << morning << now << december7
                             << QByteArray("\r\nabc[12-07 09:15:02]have run:12s\n");
    QTest::newRow("start after now") << "abc" << int(now + 5) << morning << now << december7
                                     << QByteArray("\r\nabc[12-07 09:15:02]have run:-5s\n");
    // The elapsed time is 32-bit unsigned arithmetic shown as a signed number.
    QTest::newRow("start time -1") << "" << -1 << morning << 10u << december7
                                   << QByteArray("\r\n[12-07 09:15:02]have run:11s\n");
    QTest::newRow("half the 32-bit range")
        << "" << 0x10000000 << morning << 0x90000000u << december7
        << QByteArray("\r\n[12-07 09:15:02]have run:-2147483648s\n");
    QTest::newRow("afternoon") << "abc" << 0 << at(2023, 12, 7, 13, 5, 9) << now << december7
                               << QByteArray("\r\nabc[12-07 13:05:09]\n");
    QTest::newRow("midnight") << "" << 0 << at(2024, 1, 1, 0, 0, 0) << now
                              << QStringLiteral("debug_01-01.log")
                              << QByteArray("\r\n[01-01 00:00:00]\n");

    // The second reading may already fall on the next day; the first decides.
    const QDateTime lastSecond = at(2023, 12, 7, 23, 59, 59);
    QTest::newRow("last second of the day")
        << "abc" << int(secsOf(lastSecond)) << lastSecond << secsOf(lastSecond) + 1 << december7
        << QByteArray("\r\nabc[12-07 23:59:59]have run:1s\n");
    const QDateTime newYearsEve = at(2023, 12, 31, 23, 59, 59);
    QTest::newRow("last second of the year")
        << "" << 0 << newYearsEve << secsOf(newYearsEve) + 1 << QStringLiteral("debug_12-31.log")
        << QByteArray("\r\n[12-31 23:59:59]\n");
}

void tst_DebugLog::record()
{
    QFETCH(QString, text);
    QFETCH(int, startTime);
    QFETCH(QDateTime, stamp);
    QFETCH(quint32, nowSecs);
    QFETCH(QString, fileName);
    QFETCH(QByteArray, expected);

    if (QTextCodec::codecForLocale()->mibEnum() != 106)
        QSKIP("the expected bytes assume a UTF-8 locale");

    writeLogAt(text, startTime, stamp, nowSecs);

    QCOMPARE(logDir.entryList(QDir::Files), QStringList(fileName));
    QCOMPARE(contents(fileName), expected);
}

void tst_DebugLog::appending_data()
{
    QTest::addColumn<QDateTime>("first");
    QTest::addColumn<QDateTime>("second");
    QTest::addColumn<QStringList>("fileNames");
    QTest::addColumn<QByteArrayList>("expected");

    const QDateTime morning = at(2023, 12, 7, 9, 15, 2);

    QTest::newRow("same day") << morning << at(2023, 12, 7, 21, 0, 1)
                              << QStringList { QStringLiteral("debug_12-07.log") }
                              << QByteArrayList { "\r\none[12-07 09:15:02]\n"
                                                  "\r\ntwo[12-07 21:00:01]\n" };
    QTest::newRow("same day a year later")
        << morning << at(2024, 12, 7, 8, 0, 0) << QStringList { QStringLiteral("debug_12-07.log") }
        << QByteArrayList { "\r\none[12-07 09:15:02]\n"
                            "\r\ntwo[12-07 08:00:00]\n" };
    QTest::newRow("next day") << morning << at(2023, 12, 8, 0, 0, 0)
                              << QStringList { QStringLiteral("debug_12-07.log"),
                                               QStringLiteral("debug_12-08.log") }
                              << QByteArrayList { "\r\none[12-07 09:15:02]\n",
                                                  "\r\ntwo[12-08 00:00:00]\n" };
}

void tst_DebugLog::appending()
{
    QFETCH(QDateTime, first);
    QFETCH(QDateTime, second);
    QFETCH(QStringList, fileNames);
    QFETCH(QByteArrayList, expected);

    writeLogAt(QStringLiteral("one"), 0, first, secsOf(first));
    writeLogAt(QStringLiteral("two"), 0, second, secsOf(second));

    QCOMPARE(logDir.entryList(QDir::Files, QDir::Name), fileNames);
    for (int i = 0; i < fileNames.size(); ++i)
        QCOMPARE(contents(fileNames.at(i)), expected.at(i));
}

void tst_DebugLog::missingFolder()
{
    QVERIFY(logDir.removeRecursively());
    const QDir appDir(QCoreApplication::applicationDirPath());
    const QStringList before = appDir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    writeLog(QStringLiteral("lost"), 0);
    writeLog(QStringLiteral("lost"), 1);
    qInstallMessageHandler(previous);

    QCOMPARE(warnings, QStringList());
    QVERIFY(!logDir.exists());
    QCOMPARE(appDir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void tst_DebugLog::clock_data()
{
    QTest::addColumn<int>("startOffset");

    QTest::newRow("no start time") << 0;
    QTest::newRow("started earlier") << -12;
    QTest::newRow("starts later") << 100;
}

// writeLog() itself, on the real clock: the stamp is one of the seconds that
// passed during the call and names the file.
void tst_DebugLog::clock()
{
    QFETCH(int, startOffset);

    const QDateTime before = QDateTime::currentDateTime();
    const int startTime = startOffset == 0 ? 0 : int(secsOf(before)) + startOffset;
    writeLog(QStringLiteral("abc"), startTime);
    const QDateTime after = QDateTime::currentDateTime();

    const QStringList files = logDir.entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    const QString record = QString::fromLatin1(contents(files.first()));
    const QRegularExpression layout(QStringLiteral(
        "^\r\nabc\\[(\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\](?:have run:(-?\\d+)s)?\n$"));
    const QRegularExpressionMatch match = layout.match(record);
    QVERIFY2(match.hasMatch(), qPrintable(record));

    const QString stamp = match.captured(1);
    QCOMPARE(files.first(), QLatin1String("debug_") + stamp.left(5) + QLatin1String(".log"));
    QStringList seconds;
    for (QDateTime t = before; t < after; t = t.addSecs(1))
        seconds.append(t.toString(QStringLiteral("MM-dd hh:mm:ss")));
    seconds.append(after.toString(QStringLiteral("MM-dd hh:mm:ss")));
    QVERIFY2(seconds.contains(stamp), qPrintable(stamp));

    QCOMPARE(match.captured(2).isNull(), startOffset == 0);
    if (startOffset == 0)
        return;
    const qint64 elapsed = match.captured(2).toLongLong();
    const qint64 callSecs = secsOf(after) - secsOf(before);
    QVERIFY2(elapsed >= -startOffset && elapsed <= callSecs - startOffset,
             qPrintable(match.captured(2)));
}

// What the tests read the log with splits it into the records written, for
// texts with line ends and stamps of their own, and notices a torn record.
void tst_DebugLog::readBack_data()
{
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<int>("startTime");
    QTest::addColumn<QByteArray>("torn");

    const QStringList two { QStringLiteral("stop"), QStringLiteral("start") };
    QTest::newRow("plain") << two << 0 << QByteArray();
    QTest::newRow("elapsed time") << two << 1000 << QByteArray();
    QTest::newRow("line ends inside")
        << QStringList { QStringLiteral("a\r\nb\n"), QStringLiteral("\r\n") } << 0 << QByteArray();
    QTest::newRow("stamp inside") << QStringList { QStringLiteral("x[12-01 10:00:00]y"),
                                                   QStringLiteral("[01-01 00:00:00]") }
                                  << 0 << QByteArray();
    QTest::newRow("not ASCII") << QStringList { QStringLiteral("下载进度-100%") } << 0
                               << QByteArray();
    QTest::newRow("torn") << two << 0 << QByteArray("\r\nhalf a rec");
    QTest::newRow("stray line end") << two << 0 << QByteArray("\n");
}

void tst_DebugLog::readBack()
{
    QFETCH(QStringList, texts);
    QFETCH(int, startTime);
    QFETCH(QByteArray, torn);

    const QDateTime stamp = at(2026, 12, 1, 10, 0, 0);
    for (const QString &text : qAsConst(texts))
        writeLogAt(text, startTime, stamp, secsOf(stamp));
    if (!torn.isEmpty()) {
        QFile file(logDir.filePath(QStringLiteral("debug_12-01.log")));
        QVERIFY(file.open(QIODevice::Append) && file.write(torn) == torn.size());
    }

    const LogReader log(logDir.path());
    QByteArrayList expected;
    for (const QString &text : qAsConst(texts))
        expected.append(text.toLocal8Bit());
    QCOMPARE(log.records(), expected);
    QCOMPARE(log.recordCount(), texts.size());
    QCOMPARE(log.wellFormed(), torn.isEmpty());
    QVERIFY(log.text().startsWith(QString::fromLocal8Bit("\r\n" + expected.first())));
}

QTEST_GUILESS_MAIN(tst_DebugLog)
#include "tst_debuglog.moc"
