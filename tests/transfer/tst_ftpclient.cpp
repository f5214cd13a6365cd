#include "ftpaccessmanager.h"
#include "ftpclient.h"
#include "ftptestserver.h"
#include "installation.h"
#include "partialdownload.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using Installation::readFile;
using Installation::writeFile;

namespace {

using Pair = QPair<int, int>;

// Files that a download staged beside its target and did not clean up.
QStringList stagedLeftovers(const QString &target)
{
    const QFileInfo info(target);
    return info.dir().entryList({ info.fileName() + QStringLiteral(".*"),
                                  QLatin1Char('.') + info.fileName() + QStringLiteral("*") },
                                QDir::Files | QDir::Hidden);
}

// What is wrong with a run of process() pairs, if anything: percentages of
// one direction that never go back and stay below 100, then exactly one end.
QString badPairs(const QList<Pair> &pairs, const Pair &end)
{
    if (pairs.isEmpty() || pairs.last() != end)
        return QStringLiteral("the last pair is not (%1, %2)").arg(end.first).arg(end.second);
    int previous = 0;
    for (int i = 0; i + 1 < pairs.size(); ++i) {
        const Pair pair = pairs.at(i);
        if (pair.second != 0 || pair.first < previous || pair.first > 99)
            return QStringLiteral("(%1, %2) after %3")
                .arg(pair.first)
                .arg(pair.second)
                .arg(previous);
        previous = pair.first;
    }
    return QString();
}

// Records every process() pair, and what the local file held when the end
// of a transfer was reported.
class Recorder : public QObject
{
    Q_OBJECT
public:
    explicit Recorder(FtpCLient *recorded, QString watchedFile = QString())
        : client(recorded)
        , watched(std::move(watchedFile))
    {
        connect(client, &FtpCLient::process, this, &Recorder::record);
    }

    bool waitForEnd(int timeoutMs = 60000)
    {
        return QTest::qWaitFor([this] { return ended(); }, timeoutMs);
    }
    // Until the end is reported and nothing is left that could report again:
    // every reply released, whatever was queued delivered.
    bool waitForSettled(int timeoutMs = 60000)
    {
        const bool settled = QTest::qWaitFor(
            [this] { return ended() && client->findChildren<QNetworkReply *>().isEmpty(); },
            timeoutMs);
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        return settled;
    }
    bool ended() const
    {
        return std::any_of(pairs.cbegin(), pairs.cend(),
                           [](const Pair &p) { return p.first == 100 || p.first == -100; });
    }
    int count(const Pair &pair) const { return int(pairs.count(pair)); }

    QList<Pair> pairs;
    QByteArray fileAtEnd;

signals:
    void endReported();

private:
    void record(int x, int id)
    {
        pairs.append({ x, id });
        if (x == 100 && id == 0 && !watched.isEmpty())
            fileAtEnd = readFile(watched);
    }
    FtpCLient *client;
    QString watched;
};

} // namespace

Q_DECLARE_METATYPE(FtpTestServer::Options)

class tst_FtpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void metaObject();
    void download_data();
    void download();
    void upload();
    void uploadCutShort_data();
    void uploadCutShort();
    void resume_data();
    void resume();
    void resumeAcrossClients_data();
    void resumeAcrossClients();
    void failedDownload_data();
    void failedDownload();
    void oddServer_data();
    void oddServer();
    void sessionEndsWithQuit_data();
    void sessionEndsWithQuit();
    void wholePartialKept();
    void unwritableLocalFile_data();
    void unwritableLocalFile();
    void unreadableUpload();
    void sizeUnknown();
    void percentage_data();
    void percentage();
    void localNameUnderImage_data();
    void localNameUnderImage();
    void downloadAfterCompletedAndFailed();
    void nonAsciiRemotePath();
    void secondGetAbandonsFirst();
    void localFileEmptyUntilComplete();
    void readBufferHoldsServerBack();

private:
    bool startServer(FtpTestServer::Options options = {});
    FtpCLient *newClient(const QString &password = QStringLiteral("qz482"), quint16 port = 0);
    void setShortLimits(qint64 minBytesPerSecond = 0, int stallMs = 5000);
    QString serverName() const;
    int retriesLogged() const;

    QTemporaryDir served;
    QTemporaryDir local;
    FtpTestServer server;
    QScopedPointer<FtpCLient> client;
    QStringList logged;
    QString oldCurrent;
};

void tst_FtpClient::initTestCase()
{
    if (!FtpTestServer::available())
        QSKIP(qPrintable(FtpTestServer::whyUnavailable()));
    QVERIFY(served.isValid());
    QVERIFY(local.isValid());
    oldCurrent = QDir::currentPath();
}

void tst_FtpClient::init()
{
    QVERIFY(QDir::setCurrent(local.path()));
}

void tst_FtpClient::cleanup()
{
    client.reset();
    logged.clear();
    server.stop();
    QDir::setCurrent(oldCurrent);
    // A partial download one case left must not be resumed by the next.
    QDir(local.path()).removeRecursively();
    QDir().mkpath(local.path());
}

bool tst_FtpClient::startServer(FtpTestServer::Options options)
{
    options.root = served.path();
    if (!server.start(options)) {
        qWarning() << server.errorString();
        return false;
    }
    return true;
}

FtpCLient *tst_FtpClient::newClient(const QString &password, quint16 port)
{
    client.reset(new FtpCLient);
    client->setHostPort(QStringLiteral("127.0.0.1"), port ? port : server.port());
    client->setUserInfo(QStringLiteral("velmorapro"), password);
    client->setLogger([this](const QString &line) { logged.append(line); });
    return client.data();
}

// Bounds and pauses short enough that a test need not wait for the real ones.
void tst_FtpClient::setShortLimits(qint64 minBytesPerSecond, int stallMs)
{
    TransferLimits limits;
    limits.stallMs = stallMs;
    limits.rateWindowMs = 500;
    limits.minBytesPerSecond = minBytesPerSecond;
    limits.retryPausesMs = { 10, 20, 40, 80, 80 };
    client->setLimits(limits);
}

QString tst_FtpClient::serverName() const
{
    return QStringLiteral("127.0.0.1:%1").arg(server.port());
}

int tst_FtpClient::retriesLogged() const
{
    return int(logged.filter(QStringLiteral(" was cut off after ")).size());
}

void tst_FtpClient::metaObject()
{
    // Connections are made by signature strings, so the signatures and their
    // order are part of the interface.
    const QMetaObject &mo = FtpCLient::staticMetaObject;
    QCOMPARE(mo.className(), "FtpCLient");
    const QList<QPair<QByteArray, QMetaMethod::Access>> expected {
        { "process(int,int)", QMetaMethod::Public },
        { "finished(QNetworkReply*)", QMetaMethod::Protected },
        { "downloadProgress(qlonglong,qlonglong)", QMetaMethod::Protected },
        { "uploadProgress(qlonglong,qlonglong)", QMetaMethod::Protected },
        { "errorCode(QNetworkReply::NetworkError)", QMetaMethod::Protected },
    };
    QCOMPARE(mo.methodCount() - mo.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = mo.method(mo.methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected.at(i).first);
        QCOMPARE(method.access(), expected.at(i).second);
    }
    QCOMPARE(mo.method(mo.methodOffset()).methodType(), QMetaMethod::Signal);
}

void tst_FtpClient::download_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("small") << qint64(1000);
    QTest::newRow("large") << qint64(40 * 1024 * 1024);
}

void tst_FtpClient::download()
{
    QFETCH(qint64, size);
    const QByteArray content = Installation::randomBytes(size, 1);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")), content));
    QVERIFY(startServer());

    const QString target = local.filePath(QStringLiteral("archive.zip"));
    QVERIFY(writeFile(target, "stale content"));
    newClient();
    Recorder recorder(client.data(), target);
    client->get(QStringLiteral("archive.zip"), target);
    QVERIFY(recorder.waitForEnd());

    QCOMPARE(recorder.pairs.last(), Pair(100, 0));
    QCOMPARE(recorder.count(Pair(100, 0)), 1);
    QCOMPARE(recorder.fileAtEnd, content); // complete and closed when reported
    QCOMPARE(readFile(target), content);
    int previous = -1;
    for (int i = 0; i + 1 < recorder.pairs.size(); ++i) {
        const Pair pair = recorder.pairs.at(i);
        QCOMPARE(pair.second, 0);
        QVERIFY2(pair.first >= previous && pair.first <= 99,
                 qPrintable(QStringLiteral("%1 after %2").arg(pair.first).arg(previous)));
        previous = pair.first;
    }
    // The session ends with QUIT, not a reset.
    QVERIFY(server.waitForEvent("quit"));
}

void tst_FtpClient::upload()
{
    const QByteArray content = Installation::randomBytes(3 * 1024 * 1024 + 7, 1);
    const QString source = local.filePath(QStringLiteral("upload.bin"));
    QVERIFY(writeFile(source, content));
    const QString downloaded = local.filePath(QStringLiteral("untouched.bin"));
    QVERIFY(writeFile(downloaded, "keep me"));
    QVERIFY(startServer());

    newClient();
    Recorder recorder(client.data());
    client->put(source, QStringLiteral("uploaded.bin"));
    QVERIFY(recorder.waitForEnd());

    QCOMPARE(recorder.pairs.last(), Pair(100, 1));
    QCOMPARE(recorder.count(Pair(-100, 1)), 0);
    for (int i = 0; i + 1 < recorder.pairs.size(); ++i) {
        QCOMPARE(recorder.pairs.at(i).second, 1);
        QVERIFY(recorder.pairs.at(i).first >= 0 && recorder.pairs.at(i).first <= 99);
    }
    QCOMPARE(readFile(served.filePath(QStringLiteral("uploaded.bin"))), content);
    QCOMPARE(readFile(downloaded), QByteArray("keep me"));
    QVERIFY(server.waitForEvent("quit"));
}

void tst_FtpClient::uploadCutShort_data()
{
    QTest::addColumn<FtpTestServer::Options>("options");
    QTest::addColumn<QByteArray>(
        "stored"); // what the server's file holds after; empty: not checked

    FtpTestServer::Options readsOnly;
    readsOnly.storeReadsOnly = 64 * 1024;
    QTest::newRow("server reads 64 KiB, closes, answers 226") << readsOnly << QByteArray();
    FtpTestServer::Options early;
    early.storeEarly226 = true;
    QTest::newRow("150 and 226 at once, nothing read") << early << QByteArray();
    FtpTestServer::Options without150;
    without150.store226Without150 = true;
    QTest::newRow("226 without 150") << without150 << QByteArray();
    FtpTestServer::Options stranger;
    stranger.storeStranger = true;
    QTest::newRow("a stranger's data connection stored") << stranger << QByteArray("evil");
}

void tst_FtpClient::uploadCutShort()
{
    QFETCH(FtpTestServer::Options, options);
    QFETCH(QByteArray, stored);
    const QByteArray content = Installation::randomBytes(20 * 1024 * 1024, 4);
    const QString source = local.filePath(QStringLiteral("upload.bin"));
    QVERIFY(writeFile(source, content));
    QVERIFY(startServer(options));

    newClient();
    setShortLimits();
    Recorder recorder(client.data());
    client->put(source, QStringLiteral("uploaded.bin"));
    QVERIFY(recorder.waitForEnd());

    QCOMPARE(recorder.pairs.last(), Pair(-100, 1));
    QCOMPARE(recorder.count(Pair(100, 1)), 0);
    const QString error = client->errorString();
    QVERIFY2(error.contains(QStringLiteral("of 20971520 bytes were sent")), qPrintable(error));
    QVERIFY2(error.contains(QStringLiteral("uploaded.bin")) && error.contains(serverName()),
             qPrintable(error));
#ifdef Q_OS_WIN
    if (!stored.isEmpty())
        QSKIP("under Wine the client sees its own data connection closed before it asks to "
              "store, so the server never stores the stranger's bytes to compare");
#endif
    if (!stored.isEmpty())
        QTRY_COMPARE(readFile(served.filePath(QStringLiteral("uploaded.bin"))), stored);
}

void tst_FtpClient::resume_data()
{
    QTest::addColumn<FtpTestServer::Options>("options");
    QTest::addColumn<qint64>("replacement"); // size of the file served after the first cut, 0: none
    QTest::addColumn<int>("retries");
    QTest::addColumn<qint64>("sentAgain"); // bytes the server sent more than once
    QTest::addColumn<bool>("whole"); // false: the tries are spent

    const qint64 cut = 300000;
    FtpTestServer::Options once;
    once.dropAfter = cut;
    once.dropTimes = 1;
    QTest::newRow("closed once") << once << qint64(0) << 1 << qint64(0) << true;
    FtpTestServer::Options thrice;
    thrice.dropAfter = 200000;
    thrice.dropTimes = 3;
    QTest::newRow("closed three times") << thrice << qint64(0) << 3 << qint64(0) << true;
    FtpTestServer::Options broken;
    broken.dropDataAfter = cut;
    broken.dropTimes = 1;
    QTest::newRow("426 once") << broken << qint64(0) << 1 << qint64(0) << true;
    FtpTestServer::Options stalled;
    stalled.stallAfter = cut;
    stalled.dropTimes = 1;
    QTest::newRow("stalled once") << stalled << qint64(0) << 1 << qint64(0) << true;
    FtpTestServer::Options short226;
    short226.cutAfter = cut;
    short226.dropTimes = 1;
    QTest::newRow("closed with 226 once") << short226 << qint64(0) << 1 << qint64(0) << true;

    FtpTestServer::Options noRest = once;
    noRest.noRest = true;
    QTest::newRow("REST refused") << noRest << qint64(0) << 1 << cut << true;
    FtpTestServer::Options noMdtm = once;
    noMdtm.noMdtm = true;
    QTest::newRow("MDTM refused") << noMdtm << qint64(0) << 1 << qint64(0) << true;
    FtpTestServer::Options noSize = once;
    noSize.noSize = true;
    QTest::newRow("size not announced") << noSize << qint64(0) << 1 << cut << true;
    QTest::newRow("file changed, size") << once << qint64(800000) << 1 << cut << true;
    QTest::newRow("file changed, time") << once << qint64(1000000) << 1 << cut << true;

    FtpTestServer::Options always;
    always.dropDataAfter = 100000;
    QTest::newRow("tries spent") << always << qint64(0) << 5 << qint64(0) << false;
}

void tst_FtpClient::resume()
{
    QFETCH(FtpTestServer::Options, options);
    QFETCH(qint64, replacement);
    QFETCH(int, retries);
    QFETCH(qint64, sentAgain);
    QFETCH(bool, whole);
    const QByteArray content = Installation::randomBytes(1000000, 5);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")), content));
    QByteArray expected = content;
    QTemporaryDir elsewhere;
    if (replacement > 0) {
        expected = Installation::randomBytes(replacement, 6);
        options.replaceAfterCut = elsewhere.filePath(QStringLiteral("next.zip"));
        QFile next(options.replaceAfterCut);
        QVERIFY(next.open(QIODevice::WriteOnly) && next.write(expected) == replacement);
        // An older time, so that a file of the same size still differs.
        QVERIFY(next.setFileTime(QDateTime::currentDateTimeUtc().addDays(-1),
                                 QFileDevice::FileModificationTime));
    }
    options.recordFile = elsewhere.filePath(QStringLiteral("record.txt"));
    QVERIFY(startServer(options));

    const QString target = local.filePath(QStringLiteral("archive.zip"));
    newClient();
    setShortLimits(0, 1000);
    Recorder recorder(client.data(), target);
    client->get(QStringLiteral("archive.zip"), target);
    QVERIFY(recorder.waitForEnd());

    const QString bad = badPairs(recorder.pairs, whole ? Pair(100, 0) : Pair(-100, 1));
    QVERIFY2(bad.isEmpty(), qPrintable(bad));
    QCOMPARE(retriesLogged(), retries);
    QTRY_COMPARE(FtpTestServer::recordedTransfers(options.recordFile).size(), retries + 1);
    qint64 sent = 0;
    for (const auto &transfer : FtpTestServer::recordedTransfers(options.recordFile))
        sent += transfer.second;
    if (whole) {
        QCOMPARE(recorder.fileAtEnd, expected);
        QCOMPARE(stagedLeftovers(target), QStringList());
        QCOMPARE(sent - expected.size(), sentAgain);
        return;
    }
    QCOMPARE(QFileInfo(target).size(), 0);
    const QByteArray held = readFile(FtpCLient::partialFileName(target));
    QCOMPARE(held, content.left(6 * 100000));
    QCOMPARE(sent - held.size(), sentAgain);
    QVERIFY2(client->errorString().contains(QStringLiteral("6 tries")),
             qPrintable(client->errorString()));
}

void tst_FtpClient::resumeAcrossClients_data()
{
    QTest::addColumn<bool>("noMdtm");
    QTest::addColumn<qint64>("resumedAt");
    QTest::newRow("same file") << false << qint64(500000);
    // Without a time a changed file of the same size could not be told:
    // nothing is kept.
    QTest::newRow("time unknown") << true << qint64(0);
}

void tst_FtpClient::resumeAcrossClients()
{
    QFETCH(bool, noMdtm);
    QFETCH(qint64, resumedAt);
    const QByteArray content = Installation::randomBytes(1000000, 7);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")), content));
    QTemporaryDir elsewhere;
    FtpTestServer::Options options;
    options.holdAfter = 500000;
    options.noMdtm = noMdtm;
    options.recordFile = elsewhere.filePath(QStringLiteral("record.txt"));
    QVERIFY(startServer(options));

    // The first client is gone half-way, as when the window is closed.
    const QString target = local.filePath(QStringLiteral("archive.zip"));
    newClient();
    {
        Recorder recorder(client.data());
        client->get(QStringLiteral("archive.zip"), target);
        QTRY_VERIFY_WITH_TIMEOUT(!recorder.pairs.isEmpty() && recorder.pairs.last() == Pair(50, 0),
                                 30000);
    }
    client.reset();
    QVERIFY(server.release());
    QCOMPARE(QFileInfo(target).size(), 0);
    QCOMPARE(QFileInfo(FtpCLient::partialFileName(target)).size(), resumedAt);
    QCOMPARE(QFileInfo::exists(FtpCLient::partialInfoFileName(target)), !noMdtm);

    newClient();
    Recorder recorder(client.data(), target);
    client->get(QStringLiteral("archive.zip"), target);
    QVERIFY(recorder.waitForEnd());
    const QString bad = badPairs(recorder.pairs, Pair(100, 0));
    QVERIFY2(bad.isEmpty(), qPrintable(bad));
    QCOMPARE(recorder.fileAtEnd, content);
    QCOMPARE(stagedLeftovers(target), QStringList());
    QTRY_COMPARE(FtpTestServer::recordedTransfers(options.recordFile).size(), 2);
    // The first transfer may go on a little after its client is gone.
    QVERIFY(FtpTestServer::recordedTransfers(options.recordFile)
                .contains(qMakePair(resumedAt, content.size() - resumedAt)));
    QCOMPARE(
        logged.filter(QStringLiteral("that an earlier run left (500000 bytes) is resumed")).size(),
        resumedAt > 0 ? 1 : 0);
}

void tst_FtpClient::failedDownload_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("reason"); // part of errorString()
    QTest::newRow("connection refused") << "refused" << QStringLiteral("Connection refused");
    QTest::newRow("login refused") << "login" << QStringLiteral("Logging in to 127.0.0.1:");
    QTest::newRow("file missing") << "missing" << QStringLiteral("550");
    // Cut off on every try: what the tries brought stays for the next get().
    QTest::newRow("dropped mid-transfer, tries spent")
        << "dropped" << QStringLiteral("closed the connection");
}

void tst_FtpClient::failedDownload()
{
    QFETCH(QString, failure);
    QFETCH(QString, reason);
    const QByteArray content = Installation::randomBytes(4 * 1024 * 1024, 1);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")), content));
    FtpTestServer::Options options;
    const bool dropped = failure == QLatin1String("dropped");
    if (dropped)
        options.dropAfter = 256 * 1024;
    QVERIFY(startServer(options));
    const QString where = serverName();

    QString remote = QStringLiteral("archive.zip");
    QString password = QStringLiteral("qz482");
    quint16 port = server.port();
    if (failure == QLatin1String("refused")) {
        server.stop(); // nothing listens on that port any more
    } else if (failure == QLatin1String("login")) {
        password = QStringLiteral("wrong");
    } else if (failure == QLatin1String("missing")) {
        remote = QStringLiteral("absent.zip");
    }

    const QString target = local.filePath(QStringLiteral("archive.zip"));
    QVERIFY(writeFile(target, "stale content"));
    newClient(password, port);
    setShortLimits();
    Recorder recorder(client.data());
    client->get(remote, target);
    QVERIFY(recorder.waitForSettled());

    QCOMPARE(recorder.count(Pair(-100, 1)), 1);
    QCOMPARE(recorder.count(Pair(100, 0)), 0);
    QCOMPARE(recorder.pairs.last(), Pair(-100, 1));
    QVERIFY(QFileInfo::exists(target));
    QCOMPARE(QFileInfo(target).size(), 0);
    const QString error = client->errorString();
    QVERIFY2(error.contains(reason), qPrintable(error));
    QVERIFY(!error.contains(password));
    // The file and the server are named, and only a cut was tried again.
    QVERIFY2(error.contains(remote) && error.contains(where), qPrintable(error));
    QCOMPARE(retriesLogged(), dropped ? 5 : 0);
    if (!dropped) {
        QCOMPARE(stagedLeftovers(target), QStringList());
        return;
    }
    QVERIFY2(error.contains(QStringLiteral("6 tries")), qPrintable(error));
    QCOMPARE(stagedLeftovers(target),
             QStringList(
                 { QStringLiteral("archive.zip.part"), QStringLiteral("archive.zip.part.json") }));
    QCOMPARE(readFile(FtpCLient::partialFileName(target)), content.left(6 * 256 * 1024));
}

void tst_FtpClient::oddServer_data()
{
    QTest::addColumn<FtpTestServer::Options>("options");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("kept"); // bytes of the file the download ends with, -1: all
    QTest::addColumn<qint64>("minBytesPerSecond");
    QTest::addColumn<QString>("reason"); // part of errorString(); empty: success
    QTest::addColumn<bool>("partialKept"); // a failure leaves a resumable partial download

    FtpTestServer::Options noSize;
    noSize.noSize = true;
    QTest::newRow("without SIZE") << noSize << qint64(300000) << qint64(-1) << qint64(0)
                                  << QString() << false;
    // Closed with 226 after 100000 bytes on every try: each try resumes
    // where the last one ended.
    FtpTestServer::Options cut;
    cut.cutAfter = 100000;
    QTest::newRow("cut short") << cut << qint64(300000) << qint64(-1) << qint64(0) << QString()
                               << false;
    // Nothing tells a cut from the end: the known limit.
    cut.noSize = true;
    QTest::newRow("cut short, size unknown")
        << cut << qint64(300000) << qint64(100000) << qint64(0) << QString() << false;

    FtpTestServer::Options overrun;
    overrun.overrun = true;
    QTest::newRow("more data than SIZE") << overrun << qint64(300000) << qint64(-1) << qint64(0)
                                         << "more than the 300000 bytes" << false;
    // The padded middle line does not end the reply: the size is read.
    overrun.paddedSize = true;
    QTest::newRow("multi-line SIZE with a padded line, more data")
        << overrun << qint64(300000) << qint64(-1) << qint64(0) << "more than the 300000 bytes"
        << false;

    // The same drip, 50 bytes/s, passes one rate bound and fails another.
    FtpTestServer::Options drip;
    drip.dripIntervalMs = 20;
    QTest::newRow("drip above the rate bound")
        << drip << qint64(60) << qint64(-1) << qint64(10) << QString() << false;
    QTest::newRow("drip below the rate bound")
        << drip << qint64(300000) << qint64(-1) << qint64(1000) << "slower than 1000" << true;

    // A 421 is the server's "not now": tried again.
    FtpTestServer::Options busy;
    busy.extra = QStringList { QStringLiteral("--busy-times"), QStringLiteral("1") };
    QTest::newRow("busy at the first try")
        << busy << qint64(300000) << qint64(-1) << qint64(0) << QString() << false;
    // No new try can mend these: they fail at once.
    FtpTestServer::Options garbage;
    garbage.extra =
        QStringList { QStringLiteral("--greeting"), QStringLiteral("HTTP/1.1 400 Bad Request") };
    QTest::newRow("greeting that is not FTP")
        << garbage << qint64(300000) << qint64(-1) << qint64(0) << "answers no FTP" << false;
    FtpTestServer::Options impossible;
    impossible.extra = QStringList { QStringLiteral("--size-reply"), QStringLiteral("213 -5") };
    QTest::newRow("impossible size")
        << impossible << qint64(300000) << qint64(-1) << qint64(0) << "impossible size" << false;

    FtpTestServer::Options foreign;
    foreign.passiveAddress = QStringLiteral("127.0.0.2");
    // The data must come from the server the client logged in to.
    QTest::newRow("passive reply naming 127.0.0.2")
        << foreign << qint64(300000) << qint64(-1) << qint64(0) << QString() << false;
}

void tst_FtpClient::oddServer()
{
    QFETCH(FtpTestServer::Options, options);
    QFETCH(qint64, size);
    QFETCH(qint64, kept);
    QFETCH(qint64, minBytesPerSecond);
    QFETCH(QString, reason);
    QFETCH(bool, partialKept);
    const QByteArray content = Installation::randomBytes(size, 1);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")), content));
    QVERIFY(startServer(options));

    const QString target = local.filePath(QStringLiteral("archive.zip"));
    QVERIFY(writeFile(target, "stale content"));
    newClient();
    setShortLimits(minBytesPerSecond);
    Recorder recorder(client.data(), target);
    client->get(QStringLiteral("archive.zip"), target);
    QVERIFY(recorder.waitForEnd());

    // Percentages of the download, never above 99, then one end.
    const Pair end = reason.isEmpty() ? Pair(100, 0) : Pair(-100, 1);
    const QString bad = badPairs(recorder.pairs, end);
    QVERIFY2(bad.isEmpty(), qPrintable(bad));
    QCOMPARE(stagedLeftovers(target).isEmpty(), !partialKept);
    if (reason.isEmpty()) {
        QCOMPARE(recorder.fileAtEnd, kept < 0 ? content : content.left(kept));
        QCOMPARE(client->errorString(), QString());
        return;
    }
    QCOMPARE(QFileInfo(target).size(), 0);
    const QString error = client->errorString();
    QVERIFY2(error.contains(reason), qPrintable(error));
    QVERIFY2(error.contains(QStringLiteral("archive.zip")) && error.contains(serverName()),
             qPrintable(error));
    // Only a cut, a stall or a busy server is tried again.
    QCOMPARE(retriesLogged(), 0);
    // The client stopped reading: the server saw its transfer cut off.
    if (options.overrun)
        QVERIFY(server.waitForEvent("incomplete"));
}

void tst_FtpClient::sessionEndsWithQuit_data()
{
    QTest::addColumn<QString>("remote");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("upload");
    QTest::addColumn<int>("end");
    QTest::newRow("download") << "archive.zip"
                              << "qz482" << false << 100;
    QTest::newRow("file missing") << "absent.zip"
                                  << "qz482" << false << -100;
    QTest::newRow("wrong password") << "archive.zip"
                                    << "wrong" << false << -100;
    QTest::newRow("store refused") << "stored.zip"
                                   << "qz482" << true << -100;
}

// A session that failed says goodbye like one that succeeded.
void tst_FtpClient::sessionEndsWithQuit()
{
    QFETCH(QString, remote);
    QFETCH(QString, password);
    QFETCH(bool, upload);
    QFETCH(int, end);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")),
                      Installation::randomBytes(5000, 1)));
    const QString localFile = local.filePath(QStringLiteral("local.zip"));
    QVERIFY(writeFile(localFile, "to store"));
    FtpTestServer::Options options;
    options.extra = QStringList { QStringLiteral("--read-only") };
    QVERIFY(startServer(options));

    newClient(password);
    Recorder recorder(client.data());
    if (upload)
        client->put(localFile, remote);
    else
        client->get(remote, localFile);
    QVERIFY(recorder.waitForEnd());
    QCOMPARE(recorder.pairs.last().first, end);
    QVERIFY(server.waitForEvent("quit"));
}

// A partial download that holds the whole file, as after a crash right
// before its final rename, is not fetched again once the server confirms
// the file's size and time.
void tst_FtpClient::wholePartialKept()
{
    const QByteArray content = Installation::randomBytes(400000, 8);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")), content));
    QTemporaryDir elsewhere;
    FtpTestServer::Options options;
    options.recordFile = elsewhere.filePath(QStringLiteral("record.txt"));
    QVERIFY(startServer(options));

    // What a crash right before the final rename leaves: every byte, and the
    // record of the server's file they came from.
    const QString target = local.filePath(QStringLiteral("archive.zip"));
    const QDateTime modified =
        QFileInfo(served.filePath(QStringLiteral("archive.zip"))).lastModified().toUTC();
    {
        PartialDownload partial(target);
        QVERIFY(partial.open());
        QVERIFY(
            partial.restart({ serverName() + QStringLiteral("/archive.zip"), content.size(),
                              modified.toString(QStringLiteral("yyyyMMddhhmmss")).toLatin1() }));
        QCOMPARE(partial.device()->write(content), qint64(content.size()));
        partial.keep();
    }

    newClient();
    Recorder recorder(client.data(), target);
    client->get(QStringLiteral("archive.zip"), target);
    QVERIFY(recorder.waitForEnd());
    QCOMPARE(recorder.pairs.last(), Pair(100, 0));
    QCOMPARE(recorder.fileAtEnd, content);
    QCOMPARE(stagedLeftovers(target), QStringList());
    QVERIFY(server.waitForEvent("quit"));
    QCOMPARE(FtpTestServer::recordedTransfers(options.recordFile).size(), 0);
    QCOMPARE(logged.filter(QStringLiteral("is whole already")).size(), 1);
}

void tst_FtpClient::unwritableLocalFile_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");
    const QString noFolder = local.filePath(QStringLiteral("no/such/folder/archive.zip"));
    QTest::newRow("folder missing")
        << noFolder << Installation::openError(noFolder, QIODevice::WriteOnly);
    // A device that fails every write, as a full disk does.
    QTest::newRow("disk full") << QStringLiteral("/dev/full") << "No space left on device";
}

void tst_FtpClient::unwritableLocalFile()
{
    QFETCH(QString, target);
    QFETCH(QString, reason);
    if (target == QLatin1String("/dev/full") && !QFileInfo::exists(target))
        QSKIP("this system has no /dev/full");
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")),
                      Installation::randomBytes(300000, 1)));
    QVERIFY(startServer());

    newClient();
    Recorder recorder(client.data());
    client->get(QStringLiteral("archive.zip"), target);
    QVERIFY(recorder.waitForSettled());

    QCOMPARE(recorder.count(Pair(-100, 1)), 1);
    QCOMPARE(recorder.count(Pair(100, 0)), 0);
    QVERIFY2(client->errorString().contains(reason), qPrintable(client->errorString()));
    QVERIFY(client->errorString().contains(QDir::toNativeSeparators(target)));
}

void tst_FtpClient::unreadableUpload()
{
    const QByteArray onServer = "the server's copy";
    QVERIFY(writeFile(served.filePath(QStringLiteral("target.bin")), onServer));
    QVERIFY(startServer());

    newClient();
    Recorder recorder(client.data());
    client->put(local.filePath(QStringLiteral("does-not-exist.bin")), QStringLiteral("target.bin"));
    QVERIFY(recorder.waitForSettled());

    QCOMPARE(recorder.pairs, QList<Pair>({ Pair(-100, 1) }));
    QCOMPARE(readFile(served.filePath(QStringLiteral("target.bin"))), onServer);
}

void tst_FtpClient::sizeUnknown()
{
    const QByteArray content = Installation::randomBytes(2 * 1024 * 1024, 1);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")), content));
    FtpTestServer::Options options;
    options.noSize = true;
    QVERIFY(startServer(options));

    const QString target = local.filePath(QStringLiteral("archive.zip"));
    newClient();
    Recorder recorder(client.data());
    client->get(QStringLiteral("archive.zip"), target);
    QVERIFY(recorder.waitForEnd());

    QCOMPARE(recorder.pairs, QList<Pair>({ Pair(100, 0) }));
    QCOMPARE(readFile(target), content);
}

void tst_FtpClient::percentage_data()
{
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<int>("expected"); // -1: nothing is emitted

    QTest::newRow("1 of 3") << qint64(1) << qint64(3) << 33;
    QTest::newRow("2 of 3 truncates") << qint64(2) << qint64(3) << 66;
    QTest::newRow("3 of 3 is not completion") << qint64(3) << qint64(3) << 99;
    QTest::newRow("0 of 5") << qint64(0) << qint64(5) << 0;
    QTest::newRow("3 of 2 is no progress") << qint64(3) << qint64(2) << -1;
    QTest::newRow("large counts") << qint64(3) * 1024 * 1024 * 1024
                                  << qint64(4) * 1024 * 1024 * 1024 << 75;
    QTest::newRow("total unknown") << qint64(10) << qint64(-1) << -1;
    QTest::newRow("0 of 0") << qint64(0) << qint64(0) << -1;
    QTest::newRow("5 of 0") << qint64(5) << qint64(0) << -1;
    QTest::newRow("beyond int") << std::numeric_limits<qint64>::max() << qint64(1) << -1;
}

void tst_FtpClient::percentage()
{
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(int, expected);

    FtpCLient ftp;
    QSignalSpy spy(&ftp, &FtpCLient::process);
    QVERIFY(QMetaObject::invokeMethod(&ftp, "downloadProgress", Q_ARG(qint64, done),
                                      Q_ARG(qint64, total)));
    QVERIFY(QMetaObject::invokeMethod(&ftp, "uploadProgress", Q_ARG(qint64, done),
                                      Q_ARG(qint64, total)));
    if (expected < 0) {
        QCOMPARE(spy.count(), 0);
        return;
    }
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(0), QVariantList({ expected, 0 }));
    QCOMPARE(spy.at(1), QVariantList({ expected, 1 }));
}

void tst_FtpClient::localNameUnderImage_data()
{
    QTest::addColumn<bool>("absolute");
    QTest::newRow("relative") << false;
    QTest::newRow("absolute") << true;
}

void tst_FtpClient::localNameUnderImage()
{
    QFETCH(bool, absolute);
    QTemporaryDir work;
    QVERIFY(QDir::setCurrent(work.path()));
    const QByteArray content = Installation::randomBytes(5000, 1);
    QVERIFY(writeFile(served.filePath(QStringLiteral("a.bin")), content));
    QVERIFY(startServer());

    const QString name =
        absolute ? local.filePath(QStringLiteral("abs.bin")) : QStringLiteral("rel.bin");
    const QString expectedPath = absolute ? name : work.filePath(QStringLiteral("image/rel.bin"));
    newClient();
    Recorder recorder(client.data());
    client->get(QStringLiteral("a.bin"), name);
    QVERIFY(recorder.waitForEnd());

    QCOMPARE(recorder.pairs.last(), Pair(100, 0));
    QVERIFY(QFileInfo(work.filePath(QStringLiteral("image"))).isDir());
    QCOMPARE(readFile(expectedPath), content);
    QVERIFY(!QFileInfo::exists(work.filePath(QStringLiteral("rel.bin"))));
}

void tst_FtpClient::downloadAfterCompletedAndFailed()
{
    const QByteArray first = Installation::randomBytes(70000, 1);
    const QByteArray second = Installation::randomBytes(90000, 2);
    QVERIFY(writeFile(served.filePath(QStringLiteral("one.bin")), first));
    QVERIFY(writeFile(served.filePath(QStringLiteral("two.bin")), second));
    QVERIFY(startServer());
    const QString target = local.filePath(QStringLiteral("target.bin"));

    newClient();
    Recorder recorder(client.data());
    client->get(QStringLiteral("one.bin"), target);
    QVERIFY(recorder.waitForEnd());
    QCOMPARE(recorder.pairs.last(), Pair(100, 0));
    QCOMPARE(readFile(target), first);

    recorder.pairs.clear();
    client->get(QStringLiteral("absent.bin"), target);
    QVERIFY(recorder.waitForEnd());
    QCOMPARE(recorder.pairs.last(), Pair(-100, 1));
    QCOMPARE(QFileInfo(target).size(), 0);

    recorder.pairs.clear();
    client->get(QStringLiteral("two.bin"), target);
    QVERIFY(recorder.waitForSettled());
    QCOMPARE(recorder.count(Pair(100, 0)), 1);
    QCOMPARE(recorder.count(Pair(-100, 1)), 0);
    QCOMPARE(readFile(target), second);
}

void tst_FtpClient::nonAsciiRemotePath()
{
    // The client names the path to the server in the local code page.
    const QString name = QStringLiteral("更新 包.zip");
    if (QString::fromLocal8Bit(name.toLocal8Bit()) != name)
        QSKIP("the local code page (a Western one under Wine) cannot spell the path");
    const QByteArray content = Installation::randomBytes(12345, 1);
    QVERIFY(writeFile(served.filePath(QStringLiteral("更新 包.zip")), content));
    QVERIFY(startServer());

    const QString target = local.filePath(QStringLiteral("got.zip"));
    newClient();
    Recorder recorder(client.data());
    client->get(QStringLiteral("更新 包.zip"), target);
    QVERIFY(recorder.waitForEnd());
    QCOMPARE(recorder.pairs.last(), Pair(100, 0));
    QCOMPARE(readFile(target), content);
}

void tst_FtpClient::secondGetAbandonsFirst()
{
    const QByteArray slow = Installation::randomBytes(2 * 1024 * 1024, 1);
    const QByteArray quick = Installation::randomBytes(1000, 2);
    QVERIFY(writeFile(served.filePath(QStringLiteral("slow.bin")), slow));
    QVERIFY(writeFile(served.filePath(QStringLiteral("quick.bin")), quick));
    FtpTestServer::Options options;
    options.throttle = 256 * 1024;
    QVERIFY(startServer(options));

    const QString first = local.filePath(QStringLiteral("first.bin"));
    const QString second = local.filePath(QStringLiteral("second.bin"));
    newClient();
    Recorder recorder(client.data());
    client->get(QStringLiteral("slow.bin"), first);
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.pairs.isEmpty(), 30000);
    client->get(QStringLiteral("quick.bin"), second);
    QVERIFY(recorder.waitForSettled());

    QCOMPARE(recorder.count(Pair(100, 0)), 1);
    QCOMPARE(recorder.count(Pair(-100, 1)), 0);
    QCOMPARE(readFile(second), quick);
    QCOMPARE(QFileInfo(first).size(), 0);
}

void tst_FtpClient::localFileEmptyUntilComplete()
{
    const QByteArray content = Installation::randomBytes(2 * 1024 * 1024, 3);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")), content));
    FtpTestServer::Options options;
    options.throttle = 512 * 1024;
    QVERIFY(startServer(options));

    const QString target = local.filePath(QStringLiteral("archive.zip"));
    QVERIFY(writeFile(target, "previous archive"));
    newClient();
    Recorder recorder(client.data());
    client->get(QStringLiteral("archive.zip"), target);
    QCOMPARE(QFileInfo(target).size(), 0);
    // Half-way through, nothing under the archive's name can be taken for a
    // whole archive.
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.pairs.isEmpty() && recorder.pairs.last().first >= 10, 30000);
    QCOMPARE(QFileInfo(target).size(), 0);

    QVERIFY(recorder.waitForEnd());
    QCOMPARE(recorder.pairs.last(), Pair(100, 0));
    QCOMPARE(readFile(target), content);
    QCOMPARE(stagedLeftovers(target), QStringList());
}

void tst_FtpClient::readBufferHoldsServerBack()
{
    const QByteArray content = Installation::randomBytes(8 * 1024 * 1024, 2);
    QVERIFY(writeFile(served.filePath(QStringLiteral("archive.zip")), content));
    QVERIFY(startServer());

    QUrl url;
    url.setScheme(QStringLiteral("ftp"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(server.port());
    url.setUserName(QStringLiteral("velmorapro"));
    url.setPassword(QStringLiteral("qz482"));
    url.setPath(QStringLiteral("/archive.zip"));
    FtpAccessManager manager;
    QScopedPointer<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    const qint64 bound = 64 * 1024;
    reply->setReadBufferSize(bound);

    // A reader slower than loopback: what it has not taken must wait at the
    // server, not pile up in memory.
    QByteArray received;
    qint64 largest = 0;
    QTimer reader;
    connect(&reader, &QTimer::timeout, this, [&] {
        largest = qMax(largest, reply->bytesAvailable());
        received += reply->read(16 * 1024);
    });
    reader.start(0);
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished() && reply->bytesAvailable() == 0, 60000);
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(received, content);
    QVERIFY2(largest <= bound, qPrintable(QString::number(largest)));
}

QTEST_GUILESS_MAIN(tst_FtpClient)
#include "tst_ftpclient.moc"
