#include "ftptestserver.h"
#include "immutablefile.h"
#include "installation.h"
#include "installedupdater.h"
#include "smallfilesystem.h"
#include "updateconfig.h"
#include "xvfbdisplay.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

using namespace Installation;

namespace {

enum class Archive { Good, Truncated, NotAZip, Corrupted, BZip2, Slow };
const char *const archiveNames[] = { "good.zip",      "truncated.zip", "not-a-zip.zip",
                                     "corrupted.zip", "bzip2.zip",     "slow.zip" };

// Where two trees part, for failure messages.
QByteArray difference(const InstalledUpdater::Tree &actual, const InstalledUpdater::Tree &expected)
{
    QStringList paths = actual.keys() + expected.keys();
    paths.removeDuplicates();
    paths.sort();
    for (const QString &path : qAsConst(paths)) {
        if (!actual.contains(path))
            return "missing: " + path.toUtf8();
        if (!expected.contains(path))
            return "unexpected: " + path.toUtf8();
        if (actual.value(path) != expected.value(path))
            return "changed: " + path.toUtf8();
    }
    return QByteArray();
}

using Transfer = QPair<qint64, qint64>;

} // namespace

#define COMPARE_TREE(actual, expected)                                                             \
    do {                                                                                           \
        const InstalledUpdater::Tree treeNow = (actual);                                           \
        QVERIFY2(treeNow == (expected), difference(treeNow, (expected)).constData());              \
    } while (false)

Q_DECLARE_METATYPE(Archive)

// Every fault an update meets, with the real updater, FTP server, 7za and
// product processes. After each one the installation must be the old one or
// the new one, file by file, and the right product must be running.
class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updateSucceeds_data();
    void updateSucceeds();
    void downloadFails_data();
    void downloadFails();
    void downloadResumes_data();
    void downloadResumes();
    void stalledServerClosedByUser();
    void diskFullWhileDownloading();
    void unpackFails_data();
    void unpackFails();
    void logFolderUnusable_data();
    void logFolderUnusable();
    void pressesDuringDownload();
    void startedFromAnotherFolder();
    void crashWhileUnpacking();
    void secondUpdaterWhileUpdating();
    void crashWhileApplying();

private:
    bool installIn(const QString &dir);
    bool serve(Archive archive, FtpTestServer::Options options = FtpTestServer::Options());
    qint64 startOldProduct();
    void checkUpdated(Archive served = Archive::Good);
    void checkUntouched(int records = 3);

    XvfbDisplay x;
    FtpTestServer server;
    QTemporaryDir archives;
    QTemporaryDir source;
    QScopedPointer<QTemporaryDir> served;
    QScopedPointer<QTemporaryDir> home;
    QScopedPointer<InstalledUpdater> updater;
    InstalledUpdater::Tree oldTree;
    InstalledUpdater::Tree newTree;
    SmallFileSystem smallDisk;
    ImmutableFile immutableLog;
};

void tst_Faults::initTestCase()
{
    if (QStringLiteral(UPDATE_HOST) != QLatin1String("127.0.0.1"))
        QSKIP("built for the production server; configure with UPDATE_HOST=127.0.0.1");
    QVERIFY(archives.isValid() && source.isValid());
    QVERIFY2(x.start(), "cannot start Xvfb");

    QVERIFY(writeProduct(source.filePath(QStringLiteral("vlm.exe")), QStringLiteral("2.0")));
    QVERIFY(writeFile(source.filePath(QStringLiteral("data/config.txt")), "new configuration\n"));
    QVERIFY(writeFile(source.filePath(QStringLiteral("data/maps/north.bin")),
                      randomBytes(1024 * 1024, 3)));
    QVERIFY(writeFile(source.filePath(QStringLiteral("资料/说明 文件.txt")), "更新说明\n"));
    const QString good = archives.filePath(QStringLiteral("good.zip"));
    QVERIFY(makeArchive(good, source.path()));

    // Cut inside the large entry: the entries before it are still whole, so
    // an unpacker that is not stopped first would write them.
    const QByteArray whole = readFile(good);
    QVERIFY(writeFile(archives.filePath(QStringLiteral("truncated.zip")),
                      whole.left(whole.size() * 3 / 4)));
    QVERIFY(writeFile(archives.filePath(QStringLiteral("not-a-zip.zip")),
                      randomBytes(whole.size(), 5)));
    // Whole in form, but one byte of the large entry changed on the way.
    QByteArray corrupted = whole;
    corrupted[corrupted.size() / 2] = char(corrupted.at(corrupted.size() / 2) ^ 0x5a);
    QVERIFY(writeFile(archives.filePath(QStringLiteral("corrupted.zip")), corrupted));
    QVERIFY(makeArchive(archives.filePath(QStringLiteral("bzip2.zip")), source.path(),
                        { QStringLiteral("-mm=BZip2") }));
    // Text packed with PPMd unpacks slowly: time enough to cut the unpack off.
    QTemporaryDir slowSource;
    QVERIFY(slowSource.isValid());
    QByteArray text;
    const QByteArray words[] = { "alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta " };
    for (int i = 0; text.size() < 48 * 1024 * 1024; i = (i * 7 + 3) % 6)
        text += words[i];
    QVERIFY(writeFile(slowSource.filePath(QStringLiteral("texts/all.txt")), text));
    QVERIFY(makeArchive(archives.filePath(QStringLiteral("slow.zip")), slowSource.path(),
                        { QStringLiteral("-mm=PPMd"), QStringLiteral("-mx=9") }));
}

void tst_Faults::init()
{
    home.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/Velmora 产品-XXXXXX")));
    served.reset(new QTemporaryDir);
    QVERIFY(home->isValid() && served->isValid());
}

void tst_Faults::cleanup()
{
    server.stop();
    updater.reset();
    immutableLog.release();
    smallDisk.unmount();
    home.reset();
    served.reset();
}

bool tst_Faults::installIn(const QString &dir)
{
    updater.reset(new InstalledUpdater(x));
    if (!updater->install(dir, QStringLiteral(UPDATER_EXECUTABLE)))
        return false;
    oldTree = updater->tree();
    newTree = oldTree;
    const InstalledUpdater::Tree added = InstalledUpdater::hashes(filesBelow(source.path()));
    for (auto it = added.cbegin(); it != added.cend(); ++it)
        newTree.insert(it.key(), it.value());
    return oldTree != newTree;
}

bool tst_Faults::serve(Archive archive, FtpTestServer::Options options)
{
    const QString target = served->filePath(QStringLiteral("vlm_update.zip"));
    QFile::remove(target);
    if (!QFile::copy(archives.filePath(QLatin1String(archiveNames[int(archive)])), target))
        return false;
    options.root = served->path();
    options.port = quint16(UPDATE_PORT);
    if (server.start(options))
        return true;
    qWarning("%s", qPrintable(server.errorString()));
    return false;
}

qint64 tst_Faults::startOldProduct()
{
    if (!startProduct(updater->dir()))
        return -1;
    return productPid(waitForProduct(updater->dir(), QStringLiteral("1.0")));
}

void tst_Faults::checkUpdated(Archive served)
{
    QVERIFY2(updater->exitedWithZero(), updater->output().constData());
    COMPARE_TREE(updater->tree(), newTree);
    QCOMPARE(readFile(updater->path(QStringLiteral("vlm_update.zip"))),
             readFile(archives.filePath(QLatin1String(archiveNames[int(served)]))));
    const QJsonObject state = waitForProduct(updater->dir(), QStringLiteral("2.0"));
    QVERIFY2(!state.isEmpty(), "the new product did not start");
    QVERIFY(processAlive(productPid(state)));
    QCOMPARE(updater->productStarts().count(QStringLiteral("2.0")), 1);
}

// The download failed: nothing unpacked, nothing started, the window open.
// The log holds the stop command's record, why the download failed, and
// in between the tries that were made.
void tst_Faults::checkUntouched(int records)
{
    QVERIFY2(updater->running(), "the updater ended after a failed download");
    COMPARE_TREE(updater->tree(), oldTree);
    QCOMPARE(QFileInfo(updater->path(QStringLiteral("vlm_update.zip"))).size(), 0);
    QCOMPARE(updater->productStarts(), QStringList { QStringLiteral("1.0") });
    QCOMPARE(updater->logRecords(), records);
    QVERIFY2(updater->logText().contains(QStringLiteral("the download of vlm_update.zip failed: ")),
             qPrintable(updater->logText()));
}

void tst_Faults::updateSucceeds_data()
{
    QTest::addColumn<bool>("productRunning");
    QTest::addColumn<Archive>("archive");
    QTest::newRow("product running") << true << Archive::Good;
    QTest::newRow("product not running") << false << Archive::Good;
    QTest::newRow("archive packed with BZip2") << true << Archive::BZip2;
}

void tst_Faults::updateSucceeds()
{
    QFETCH(bool, productRunning);
    QFETCH(Archive, archive);
    QVERIFY(installIn(home->path()));
    QVERIFY(serve(archive));
    const qint64 oldPid = productRunning ? startOldProduct() : 0;
    QVERIFY(oldPid >= 0);

    QVERIFY(updater->launchAndPress());
    QVERIFY2(updater->waitForExit(), "the updater did not end");
    checkUpdated(archive);
    if (QTest::currentTestFailed())
        return;
    if (productRunning)
        QVERIFY(waitForProcessGone(oldPid));
    QCOMPARE(updater->productStarts().first(),
             productRunning ? QStringLiteral("1.0") : QStringLiteral("2.0"));

    // One record for each of the three commands and one for why the archive
    // was downloaded whole, in the day's file.
    const QStringList logs = QDir(updater->path(QStringLiteral("log"))).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    QVERIFY(
        logs.first().contains(QRegularExpression(QStringLiteral("^debug_\\d\\d-\\d\\d\\.log$"))));
    QCOMPARE(updater->logRecords(), 4);
    QVERIFY2(updater->logText().contains(QStringLiteral("Everything is Ok")),
             qPrintable(updater->logText()));
}

void tst_Faults::downloadFails_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("fileThere");
    QTest::addColumn<qint64>("dropAfter");
    QTest::addColumn<qint64>("dropDataAfter");
    QTest::addColumn<QByteArray>("serverEvent");
    QTest::addColumn<int>("records");

    const QString right = QStringLiteral("qz482");
    const QString wrong = QStringLiteral("another");
    const qint64 midway = 300 * 1024;
    const qint64 none = -1;
    // Each press logs the stop, why the archive is downloaded whole, and more.
    QTest::newRow("server down") << false << right << true << none << none << QByteArray() << 3;
    QTest::newRow("login refused")
        << true << wrong << true << none << none << QByteArray("login-failed") << 3;
    QTest::newRow("file missing") << true << right << false << none << none
                                  << QByteArray("disconnect") << 3;
    // A server that tells no size cannot be resumed safely: each of the six
    // tries starts from byte 0 and is cut again. The closed control
    // connection alone tells that the transfer broke...
    QTest::newRow("connection dropped, size unknown")
        << true << right << true << midway << none << QByteArray("disconnect") << 13;
    // ... or the server says so (426).
    QTest::newRow("data connection dropped, size unknown")
        << true << right << true << none << midway << QByteArray("incomplete") << 13;
}

void tst_Faults::downloadFails()
{
    QFETCH(bool, serverUp);
    QFETCH(QString, password);
    QFETCH(bool, fileThere);
    QFETCH(qint64, dropAfter);
    QFETCH(qint64, dropDataAfter);
    QFETCH(QByteArray, serverEvent);
    QFETCH(int, records);

    QVERIFY(installIn(home->path()));
    if (serverUp) {
        FtpTestServer::Options options;
        options.password = password;
        options.dropAfter = dropAfter;
        options.dropDataAfter = dropDataAfter;
        options.noSize = dropAfter >= 0 || dropDataAfter >= 0;
        QVERIFY(serve(Archive::Good, options));
        if (!fileThere)
            QVERIFY(QFile::remove(served->filePath(QStringLiteral("vlm_update.zip"))));
    }
    const qint64 oldPid = startOldProduct();
    QVERIFY(oldPid > 0);

    QVERIFY(updater->launchAndPress());
    if (!serverEvent.isEmpty())
        QVERIFY(server.waitForEvent(serverEvent));
    QVERIFY(updater->waitForDownloadEnded(120000));
    QVERIFY(waitForProcessGone(oldPid));
    checkUntouched(records);
    if (QTest::currentTestFailed())
        return;

    // Once the server is right again, the same window updates.
    server.stop();
    QVERIFY(serve(Archive::Good));
    QVERIFY(updater->press());
    QVERIFY2(updater->waitForExit(), "the second press did not update");
    checkUpdated();
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(updater->logRecords(), records + 4);
}

void tst_Faults::downloadResumes_data()
{
    QTest::addColumn<qint64>("dropAfter");
    QTest::addColumn<qint64>("dropDataAfter");

    const qint64 midway = 300 * 1024;
    // The server vanishes: both connections close without a word.
    QTest::newRow("connection dropped") << midway << qint64(-1);
    // The server's side of the transfer breaks and it says so (426).
    QTest::newRow("data connection dropped") << qint64(-1) << midway;
}

// A download cut once goes on from where it stopped, on a new connection,
// within the same press: no byte is sent twice and the update goes in.
void tst_Faults::downloadResumes()
{
    QFETCH(qint64, dropAfter);
    QFETCH(qint64, dropDataAfter);
    QVERIFY(installIn(home->path()));
    FtpTestServer::Options options;
    options.dropAfter = dropAfter;
    options.dropDataAfter = dropDataAfter;
    options.dropTimes = 1;
    options.recordFile = served->filePath(QStringLiteral("transfers.txt"));
    QVERIFY(serve(Archive::Good, options));

    QVERIFY(updater->launchAndPress());
    QVERIFY2(updater->waitForExit(), "the updater did not end");
    checkUpdated();
    if (QTest::currentTestFailed())
        return;
    const qint64 size = QFileInfo(archives.filePath(QStringLiteral("good.zip"))).size();
    QCOMPARE(FtpTestServer::recordedTransfers(options.recordFile),
             QList<Transfer>({ { 0, 300 * 1024 }, { 300 * 1024, size - 300 * 1024 } }));
    // Stop, why whole, the cut and the try after it, unpack, start.
    QCOMPARE(updater->logRecords(), 5);
    QVERIFY2(updater->logText().contains(QStringLiteral("resumes at byte 307200")),
             qPrintable(updater->logText()));
}

// Closing the window while the server stalls abandons the update: the old
// product runs again, and what arrived stays for the next run, which
// resumes it where it stopped.
void tst_Faults::stalledServerClosedByUser()
{
    QVERIFY(installIn(home->path()));
    const qint64 stallAt = 256 * 1024;
    FtpTestServer::Options options;
    options.stallAfter = stallAt;
    QVERIFY(serve(Archive::Good, options));
    const qint64 oldPid = startOldProduct();
    QVERIFY(oldPid > 0);

    QVERIFY(updater->launchAndPress());
    QTRY_VERIFY_WITH_TIMEOUT(updater->stagedBytes() >= stallAt, 60000);
    QVERIFY(updater->close());
    QVERIFY2(updater->waitForExit(20000), "closing the window did not end the updater");
    QVERIFY2(updater->exitedWithZero(), updater->output().constData());

    InstalledUpdater::Tree tree = updater->tree();
    const QString partial = QStringLiteral("vlm_update.zip.part");
    QVERIFY(tree.remove(partial) && tree.remove(partial + QStringLiteral(".json")));
    COMPARE_TREE(tree, oldTree);
    QCOMPARE(QFileInfo(updater->path(partial)).size(), stallAt);
    QCOMPARE(QFileInfo(updater->path(QStringLiteral("vlm_update.zip"))).size(), 0);
    QVERIFY(!processAlive(oldPid));
    // Giving up leaves no product stopped: the old one runs again.
    QTRY_COMPARE_WITH_TIMEOUT(updater->productStarts(),
                              QStringList({ QStringLiteral("1.0"), QStringLiteral("1.0") }), 30000);
    QCOMPARE(updater->logRecords(), 4); // stop, why whole, abandoned, start
    QVERIFY2(updater->logText().contains(QStringLiteral("the update was abandoned")),
             qPrintable(updater->logText()));

    // The next run of the updater resumes what the first one left, from the
    // same file: a copy made anew would have another time and start from 0.
    server.stop();
    FtpTestServer::Options recording;
    recording.root = served->path();
    recording.port = quint16(UPDATE_PORT);
    recording.recordFile = served->filePath(QStringLiteral("transfers.txt"));
    QVERIFY2(server.start(recording), qPrintable(server.errorString()));
    QVERIFY(updater->launchAndPress());
    QVERIFY2(updater->waitForExit(), "the second run did not update");
    checkUpdated();
    const qint64 size = QFileInfo(archives.filePath(QStringLiteral("good.zip"))).size();
    QCOMPARE(FtpTestServer::recordedTransfers(recording.recordFile),
             QList<Transfer>({ { stallAt, size - stallAt } }));
    QVERIFY(!QFileInfo::exists(updater->path(partial)));
    QVERIFY(!QFileInfo::exists(updater->path(partial + QStringLiteral(".json"))));
}

void tst_Faults::diskFullWhileDownloading()
{
    const QString dir = home->path();
    if (::geteuid() != 0 || !smallDisk.mount(dir, 64 << 20))
        QSKIP(qPrintable(SmallFileSystem::whyUnavailable()));
    QVERIFY(installIn(dir));
    QVERIFY(serve(Archive::Good));
    const qint64 oldPid = startOldProduct();
    QVERIFY(oldPid > 0);

    // Shrink the file system to what it holds plus less than the archive.
    const qint64 used = smallDisk.used();
    QVERIFY(used >= 0);
    const qint64 room = 256 * 1024;
    QVERIFY(smallDisk.resize(used + room));
    QVERIFY(QFileInfo(archives.filePath(QStringLiteral("good.zip"))).size() > 2 * room);

    QVERIFY(updater->launchAndPress());
    QVERIFY(updater->waitForDownloadEnded());
    QVERIFY(waitForProcessGone(oldPid));
    checkUntouched();
    if (QTest::currentTestFailed())
        return;

    QVERIFY(updater->close());
    QVERIFY2(updater->waitForExit(20000), "closing the window did not end the updater");
    QVERIFY2(updater->exitedWithZero(), updater->output().constData());
    COMPARE_TREE(updater->tree(), oldTree);
}

void tst_Faults::unpackFails_data()
{
    QTest::addColumn<Archive>("archive");
    QTest::addColumn<bool>("unpackerFound");
    QTest::addColumn<QString>("complaint");

    // 7za's own words, in the record of the unpack command.
    QTest::newRow("truncated archive")
        << Archive::Truncated << true << QStringLiteral("Unexpected end of archive");
    QTest::newRow("not a zip") << Archive::NotAZip << true << QStringLiteral("Is not archive");
    QTest::newRow("corrupted entry") << Archive::Corrupted << true << QStringLiteral("CRC Failed");
    QTest::newRow("unpacker missing") << Archive::Good << false << QStringLiteral("7za: not found");
}

void tst_Faults::unpackFails()
{
    QFETCH(Archive, archive);
    QFETCH(bool, unpackerFound);
    QFETCH(QString, complaint);

    QVERIFY(installIn(home->path()));
    QVERIFY(serve(archive));
    const qint64 oldPid = startOldProduct();
    QVERIFY(oldPid > 0);

    QProcessEnvironment env;
    QTemporaryDir tools;
    if (!unpackerFound) {
        // A search path with only what the other commands need.
        QVERIFY(tools.isValid());
        for (const char *tool : { "sh", "setsid" }) {
            const QString found = QStandardPaths::findExecutable(QLatin1String(tool));
            QVERIFY2(!found.isEmpty(), tool);
            QVERIFY(QFile::link(found, tools.filePath(QLatin1String(tool))));
        }
        env.insert(QStringLiteral("PATH"), tools.path());
    }

    QVERIFY(updater->launchAndPress(env));
    QVERIFY2(updater->waitForExit(), "the updater did not end");
    QVERIFY2(updater->exitedWithZero(), updater->output().constData());

    // The old product, untouched, is started again.
    COMPARE_TREE(updater->tree(), oldTree);
    QVERIFY(waitForProcessGone(oldPid));
    QTRY_COMPARE_WITH_TIMEOUT(updater->productStarts().size(), 2, 30000);
    QCOMPARE(updater->productStarts(),
             QStringList({ QStringLiteral("1.0"), QStringLiteral("1.0") }));
    QVERIFY(processAlive(productPid(productState(updater->dir()))));

    // Stop, why whole, unpack, why nothing was installed, start.
    const QString log = updater->logText();
    QCOMPARE(updater->logRecords(), 5);
    QVERIFY2(log.contains(complaint), qPrintable(log));
    QVERIFY2(log.contains(QStringLiteral("the update was not installed: vlm_update.zip could not "
                                         "be unpacked whole")),
             qPrintable(log));
    QVERIFY(!QFileInfo::exists(updater->path(QStringLiteral("vlm_update.staging"))));
}

void tst_Faults::logFolderUnusable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("a file in its place") << QStringLiteral("file");
    QTest::newRow("read-only") << QStringLiteral("read-only");
}

void tst_Faults::logFolderUnusable()
{
    QFETCH(QString, kind);
    QVERIFY(installIn(home->path()));
    const QString log = updater->path(QStringLiteral("log"));
    QVERIFY(QDir(log).removeRecursively());
    if (kind == QLatin1String("file")) {
        QVERIFY(writeFile(log, "not a folder\n"));
    } else if (kind == QLatin1String("read-only")) {
        QVERIFY(QDir().mkdir(log));
        QVERIFY(QFile::setPermissions(log,
                                      QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        // Permissions do not stop root; the immutable attribute does.
        if (::geteuid() == 0)
            immutableLog.set(log);
        QFile probe(log + QStringLiteral("/probe"));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            QSKIP("this file system lets this user write into a read-only folder");
        }
    }
    QVERIFY(serve(Archive::Good));
    const qint64 oldPid = startOldProduct();
    QVERIFY(oldPid > 0);

    QVERIFY(updater->launchAndPress());
    QVERIFY2(updater->waitForExit(), "the updater did not end");
    checkUpdated();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(waitForProcessGone(oldPid));

    if (kind == QLatin1String("missing"))
        QVERIFY(!QFileInfo::exists(log));
    else if (kind == QLatin1String("file"))
        QCOMPARE(readFile(log), QByteArray("not a folder\n"));
    else
        QVERIFY(QDir(log).isEmpty());
}

void tst_Faults::pressesDuringDownload()
{
    QVERIFY(installIn(home->path()));
    // The transfer waits part of the way through until the presses are made.
    FtpTestServer::Options options;
    options.holdAfter = 256 * 1024;
    QVERIFY(serve(Archive::Good, options));
    const qint64 oldPid = startOldProduct();
    QVERIFY(oldPid > 0);

    QVERIFY(updater->launchAndPress());
    QTRY_COMPARE_WITH_TIMEOUT(server.eventCount("held"), 1, 60000);
    QTRY_VERIFY_WITH_TIMEOUT(updater->stagedBytes() > 0, 60000);
    QVERIFY(updater->press());
    QVERIFY(updater->press());
    QVERIFY(server.release());
    QVERIFY2(updater->waitForExit(), "the updater did not end");
    checkUpdated();
    if (QTest::currentTestFailed())
        return;

    // One download, checked and unpacked once, one product started.
    // The session ends with the updater; the server reports the file then.
    QVERIFY(server.waitForEvent("disconnect"));
    QCOMPARE(server.eventCount("sent"), 1);
    QCOMPARE(server.eventCount("incomplete"), 0);
    const QString log = updater->logText();
    QCOMPARE(updater->logRecords(), 4);
    QCOMPARE(log.count(QStringLiteral("Testing archive")), 0);
    QCOMPARE(log.count(QStringLiteral("Extracting archive")), 1);
    QCOMPARE(updater->productStarts(),
             QStringList({ QStringLiteral("1.0"), QStringLiteral("2.0") }));
}

// A shortcut's "Start in" folder, or a program that launches the updater,
// must not decide where the archive goes or what is updated.
void tst_Faults::startedFromAnotherFolder()
{
    QVERIFY(installIn(home->path()));
    QVERIFY(serve(Archive::Good));
    const qint64 oldPid = startOldProduct();
    QVERIFY(oldPid > 0);
    QTemporaryDir elsewhere;
    QVERIFY(elsewhere.isValid());
    updater->setWorkingDirectory(elsewhere.path());

    QVERIFY(updater->launchAndPress());
    QVERIFY2(updater->waitForExit(), "the updater did not end");
    checkUpdated();
    QVERIFY(!QFileInfo::exists(elsewhere.filePath(QStringLiteral("vlm_update.zip"))));
}

// Updater, shell and unpacker end at once, as in a power cut, while the
// archive is being unpacked. The next start removes what they left before
// its window shows, and the next press updates.
void tst_Faults::crashWhileUnpacking()
{
    QVERIFY(installIn(home->path()));
    QVERIFY(serve(Archive::Slow));
    const QString staged = updater->path(QStringLiteral("vlm_update.staging/texts/all.txt"));

    QVERIFY(updater->launchAndPress());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(staged).size() > 0, 60000);
    const QList<qint64> helpers = descendants(updater->processId());
    QVERIFY2(helpers.size() >= 2, "no shell and unpacker running");
    ::kill(pid_t(updater->processId()), SIGKILL);
    for (qint64 pid : helpers)
        ::kill(pid_t(pid), SIGKILL);
    QVERIFY(updater->waitForExit(20000));
    QVERIFY(QFileInfo::exists(staged));

    QVERIFY(updater->launch());
    COMPARE_TREE(updater->tree(), oldTree);
    QVERIFY2(
        updater->logText().contains(QStringLiteral("what an interrupted update left was removed")),
        qPrintable(updater->logText()));
    server.stop();
    QVERIFY(serve(Archive::Good));
    QVERIFY(updater->press());
    QVERIFY2(updater->waitForExit(), "the second start did not update");
    checkUpdated();
}

// A second updater started on the same installation while the first one
// is at work (a double click) touches nothing, says so, and ends when
// closed; the first one's update goes in whole. The first is held in its
// download: unpacking can end before a second process is up.
void tst_Faults::secondUpdaterWhileUpdating()
{
    QVERIFY(installIn(home->path()));
    FtpTestServer::Options options;
    options.holdAfter = 256 * 1024;
    QVERIFY(serve(Archive::Good, options));
    QVERIFY(updater->launchAndPress());
    QTRY_COMPARE_WITH_TIMEOUT(server.eventCount("held"), 1, 60000);

    InstalledUpdater second(x);
    second.useInstallation(updater->dir());
    QVERIFY(second.launch());
    QVERIFY(second.press());
    QTRY_VERIFY_WITH_TIMEOUT(
        second.logText().contains(QStringLiteral("another updater holds the installation")), 10000);
    QVERIFY(second.close());
    QVERIFY2(second.waitForExit(20000), "closing the second updater did not end it");
    QVERIFY2(second.exitedWithZero(), second.output().constData());

    QVERIFY(server.release());
    QVERIFY2(updater->waitForExit(), "the first updater did not end");
    checkUpdated();
    if (QTest::currentTestFailed())
        return;
    // The first one's stop, why whole, unpack and start; the second one's reason.
    QCOMPARE(updater->logRecords(), 5);
}

// The apply is cut off after some of its renames (applycutoff, the same
// code the updater runs, ended abruptly). The next start rolls back before
// its window shows, and the next press updates.
void tst_Faults::crashWhileApplying()
{
    QVERIFY(installIn(home->path()));
    QVERIFY(QFile::copy(archives.filePath(QStringLiteral("good.zip")),
                        updater->path(QStringLiteral("vlm_update.zip"))));
    QCOMPARE(QProcess::execute(
                 QStringLiteral("7za"),
                 { QStringLiteral("x"), QStringLiteral("-bso0"),
                   updater->path(QStringLiteral("vlm_update.zip")),
                   QStringLiteral("-o") + updater->path(QStringLiteral("vlm_update.staging")) }),
             0);
    QCOMPARE(
        QProcess::execute(QStringLiteral(APPLY_CUT_OFF), { QStringLiteral("3"), updater->dir() }),
        9);
    QVERIFY(updater->tree() != oldTree);

    QVERIFY(updater->launch());
    COMPARE_TREE(updater->tree(), oldTree);
    QVERIFY2(updater->logText().contains(QStringLiteral("was rolled back")),
             qPrintable(updater->logText()));
    QVERIFY(serve(Archive::Good));
    QVERIFY(updater->press());
    QVERIFY2(updater->waitForExit(), "the updater did not end");
    checkUpdated();
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
