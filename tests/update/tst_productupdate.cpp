#include "ftptestserver.h"
#include "installation.h"
#include "logreader.h"
#include "productupdate.h"
#include "releaseorder.h"

#include <QDateTime>
#include <QDir>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace Installation;

namespace {

using State = ProductUpdate::State;
using States = QList<State>;

States statesOf(const QSignalSpy &spy)
{
    States states;
    for (const QList<QVariant> &arguments : spy)
        states.append(arguments.first().value<State>());
    return states;
}

} // namespace

Q_DECLARE_METATYPE(States)
Q_DECLARE_METATYPE(QSsl::SslProtocol)

// The update on its own, without a window, against a real installation,
// FTP server, 7za and product.
class tst_ProductUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void wholeUpdate_data();
    void wholeUpdate();
    void startWhileBusy();
    void secondUpdater();
    void closedBeforeInstalled_data();
    void closedBeforeInstalled();
    void mixedInstallationNotStarted();
    void differentialUpdate_data();
    void differentialUpdate();
    void secureUpdate_data();
    void secureUpdate();

private:
    bool serve(FtpTestServer::Options options = FtpTestServer::Options());
    UpdateSettings settings() const;
    QString logText() const;
    int logRecords() const;
    QStringList productStarts() const;
    bool waitForState(ProductUpdate &update, State state);

    QScopedPointer<QTemporaryDir> home;
    QTemporaryDir source;
    QTemporaryDir served;
    QTemporaryDir older; // release 1.0 and its archive, as installed
    QTemporaryDir certificates;
    FtpTestServer server;
    QString logDir;
};

void tst_ProductUpdate::initTestCase()
{
    if (!FtpTestServer::available())
        QSKIP(qPrintable(FtpTestServer::whyUnavailable()));
    qRegisterMetaType<State>();
    QVERIFY(source.isValid() && served.isValid());
    logDir = QCoreApplication::applicationDirPath() + QStringLiteral("/log");
    QVERIFY(writeProduct(source.filePath(QStringLiteral("vlm.exe")), QStringLiteral("2.0")));
    QVERIFY(writeFile(source.filePath(QStringLiteral("data/payload.bin")),
                      randomBytes(3 * 1024 * 1024, 7)));
    // Release 1.0: the same files but its version, each as old as in 2.0.
    const QDateTime built(QDate(2026, 12, 1), QTime(12, 0), Qt::UTC);
    const QString tree = older.filePath(QStringLiteral("tree"));
    QVERIFY(writeProduct(tree + QStringLiteral("/vlm.exe"), QStringLiteral("1.0")));
    QVERIFY(QDir().mkpath(tree + QStringLiteral("/data")));
    QVERIFY(QFile::copy(source.filePath(QStringLiteral("data/payload.bin")),
                        tree + QStringLiteral("/data/payload.bin")));
    for (const QString &root : { source.path(), tree }) {
        for (const char *name : { "vlm.exe", "version.txt", "data/payload.bin" }) {
            QFile file(root + QLatin1Char('/') + QLatin1String(name));
            const bool versionOf2 = qstrcmp(name, "version.txt") == 0 && root == source.path();
            QVERIFY(file.open(QIODevice::ReadWrite)
                    && file.setFileTime(versionOf2 ? built.addDays(1) : built,
                                        QFileDevice::FileModificationTime));
        }
    }
    QVERIFY(makeArchive(served.filePath(QStringLiteral("vlm_update.zip")), source.path()));
    QVERIFY(makeArchive(older.filePath(QStringLiteral("vlm_update.zip")), tree));
}

void tst_ProductUpdate::init()
{
    home.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/Velmora 产品-XXXXXX")));
    QVERIFY(home->isValid());
    QVERIFY(writeProduct(home->filePath(QStringLiteral("vlm.exe")), QStringLiteral("1.0")));
    QVERIFY(startProduct(home->path()));
    QVERIFY(!waitForProduct(home->path(), QStringLiteral("1.0")).isEmpty());
    QDir(logDir).removeRecursively();
    QVERIFY(QDir().mkpath(logDir));
}

void tst_ProductUpdate::cleanup()
{
    server.stop();
    killProducts(home->path());
    home.reset();
}

bool tst_ProductUpdate::serve(FtpTestServer::Options options)
{
    options.root = served.path();
    if (server.start(options))
        return true;
    qWarning("%s", qPrintable(server.errorString()));
    return false;
}

UpdateSettings tst_ProductUpdate::settings() const
{
    UpdateSettings settings = UpdateSettings::builtIn(home->path());
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = server.port();
    return settings;
}

QString tst_ProductUpdate::logText() const
{
    return LogReader(logDir).text();
}

// Each record ends in its time stamp; cmd's output holds line ends of its own.
int tst_ProductUpdate::logRecords() const
{
    return LogReader(logDir).recordCount();
}

QStringList tst_ProductUpdate::productStarts() const
{
    QStringList versions;
    const QList<QByteArray> lines =
        readFile(home->filePath(QStringLiteral("product-started.txt"))).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            versions.append(QString::fromLatin1(line.left(line.indexOf(' '))));
    }
    return versions;
}

bool tst_ProductUpdate::waitForState(ProductUpdate &update, State state)
{
    return QTest::qWaitFor([&] { return update.state() == state; }, 120000);
}

void tst_ProductUpdate::wholeUpdate_data()
{
    QTest::addColumn<bool>("signedBuild");
    QTest::addColumn<QString>("comment"); // of the served signature; empty: none served
    QTest::addColumn<qint64>("recorded"); // the installed release's time; -1: none
    QTest::addColumn<States>("states");
    QTest::addColumn<QString>("running");

    const QString signedAt = QStringLiteral("timestamp:%1\tfile:vlm_update.zip\thashed");
    const States installed { State::Downloading, State::Installing, State::Starting,
                             State::Finished };
    const States signedInstalled { State::Downloading, State::FetchingSignature, State::Installing,
                                   State::Starting, State::Finished };
    QTest::newRow("unsigned") << false << QString() << qint64(-1) << installed
                              << QStringLiteral("2.0");
    QTest::newRow("signed") << true << signedAt.arg(2000) << qint64(-1) << signedInstalled
                            << QStringLiteral("2.0");
    QTest::newRow("signed, newer than the installed one")
        << true << signedAt.arg(2000) << qint64(1000) << signedInstalled << QStringLiteral("2.0");
    QTest::newRow("signed, older than the installed one")
        << true << signedAt.arg(1000) << qint64(2000) << signedInstalled << QStringLiteral("1.0");
    QTest::newRow("signature missing")
        << true << QString() << qint64(-1)
        << States { State::Downloading, State::FetchingSignature, State::Starting, State::Finished }
        << QStringLiteral("1.0");
}

void tst_ProductUpdate::wholeUpdate()
{
    QFETCH(bool, signedBuild);
    QFETCH(QString, comment);
    QFETCH(qint64, recorded);
    QFETCH(States, states);
    QFETCH(QString, running);
    QTemporaryDir keys;
    const QString archive = served.filePath(QStringLiteral("vlm_update.zip"));
    QFile::remove(archive + QStringLiteral(".minisig"));
    QVERIFY(serve());
    UpdateSettings updateSettings = settings();
    if (signedBuild) {
        if (!makeSigningKey(keys.filePath(QStringLiteral("publisher"))))
            QSKIP("the minisign tool (Debian package minisign) makes the keys and signatures");
        if (!comment.isEmpty())
            QVERIFY(signFile(keys.filePath(QStringLiteral("publisher")), archive, comment));
        updateSettings.publicKey =
            QString::fromLatin1(readFile(keys.filePath(QStringLiteral("publisher.pub"))));
    }
    if (recorded >= 0) {
        ReleaseOrder first { QByteArray() };
        QVERIFY(
            first.admits(QStringLiteral("timestamp:%1").arg(recorded), updateSettings.archiveName));
        QVERIFY(writeFile(updateSettings.releasePath(), first.nextRecord()));
    }
    const QByteArray recordBefore = readFile(updateSettings.releasePath());

    ProductUpdate update(updateSettings);
    QSignalSpy changes(&update, &ProductUpdate::stateChanged);
    QVERIFY(update.claimInstallation());
    update.start();
    QVERIFY(waitForState(update, State::Finished));

    QCOMPARE(statesOf(changes), states);
    QVERIFY2(!waitForProduct(home->path(), running).isEmpty(), qPrintable(logText()));
    QTRY_COMPARE_WITH_TIMEOUT(productStarts(), QStringList({ QStringLiteral("1.0"), running }),
                              30000);
    // The record changes with the release installed, and only then.
    const QByteArray recordAfter = readFile(updateSettings.releasePath());
    if (signedBuild && running == QLatin1String("2.0"))
        QVERIFY2(recordAfter.contains("timestamp:2000"), recordAfter.constData());
    else
        QCOMPARE(recordAfter, recordBefore);
}

// One update at a time: presses while the archive arrives or is installed
// change nothing, and it is downloaded and installed once.
void tst_ProductUpdate::startWhileBusy()
{
    FtpTestServer::Options options;
    // The transfer waits a third of the way through until the presses are
    // made: on a busy machine a free-running one could end between two.
    options.holdAfter = 1024 * 1024;
    QVERIFY(serve(options));
    ProductUpdate update(settings());
    QVERIFY(update.claimInstallation());
    connect(&update, &ProductUpdate::stateChanged, this, [&update](State state) {
        if (state == State::Installing)
            update.start();
    });

    update.start();
    QTRY_COMPARE_WITH_TIMEOUT(server.eventCount("held"), 1, 60000);
    update.start();
    update.start();
    QCOMPARE(update.state(), State::Downloading);
    QVERIFY(server.release());
    QVERIFY(waitForState(update, State::Finished));

    QCOMPARE(readFile(update.settings().archivePath()),
             readFile(served.filePath(QStringLiteral("vlm_update.zip"))));
    QCOMPARE(readFile(home->filePath(QStringLiteral("data/payload.bin"))),
             readFile(source.filePath(QStringLiteral("data/payload.bin"))));
    QTRY_COMPARE_WITH_TIMEOUT(productStarts(),
                              QStringList({ QStringLiteral("1.0"), QStringLiteral("2.0") }), 30000);
    QCOMPARE(logRecords(), 4); // one stop, why whole, one unpack, one start
}

// A second updater in the same installation (a double click) touches
// nothing while the first one holds it, and can go on once it is gone.
void tst_ProductUpdate::secondUpdater()
{
    QVERIFY(serve());
    QScopedPointer<ProductUpdate> first(new ProductUpdate(settings()));
    QVERIFY(first->claimInstallation());
    // What the first one is unpacking.
    const QString staged = settings().stagingPath() + QStringLiteral("/vlm.exe");
    QVERIFY(writeFile(staged, "being unpacked"));

    ProductUpdate second(settings());
    QVERIFY(!second.claimInstallation());
    QCOMPARE(second.state(), State::Blocked);
    second.start();
    QCOMPARE(second.state(), State::Blocked);
    QVERIFY(QFileInfo::exists(staged));
    QCOMPARE(productStarts(), QStringList { QStringLiteral("1.0") });
    QCOMPARE(logRecords(), 1);
    QVERIFY2(logText().contains(QStringLiteral("another updater holds the installation")),
             qPrintable(logText()));

    first.reset();
    second.start();
    QVERIFY(waitForState(second, State::Finished));
    QVERIFY2(logText().contains(QStringLiteral("what an interrupted update left was removed")),
             qPrintable(logText()));
    QTRY_COMPARE_WITH_TIMEOUT(productStarts(),
                              QStringList({ QStringLiteral("1.0"), QStringLiteral("2.0") }), 30000);
}

void tst_ProductUpdate::closedBeforeInstalled_data()
{
    QTest::addColumn<bool>("serverUp");
    QTest::newRow("while downloading") << true;
    QTest::newRow("after the download failed") << false;
}

// The press stopped the product; giving up before anything is installed
// starts it again, and the log says the update was abandoned.
void tst_ProductUpdate::closedBeforeInstalled()
{
    QFETCH(bool, serverUp);
    FtpTestServer::Options options;
    options.holdAfter = 256 * 1024;
    QVERIFY(serve(options));
    UpdateSettings updateSettings = settings();
    if (!serverUp)
        server.stop(); // nothing listens on that port any more
    ProductUpdate update(updateSettings);
    QVERIFY(update.claimInstallation());

    update.start();
    if (serverUp)
        QTRY_COMPARE_WITH_TIMEOUT(server.eventCount("held"), 1, 60000);
    else
        QVERIFY(waitForState(update, State::DownloadFailed));
    QVERIFY(update.close());

    QCOMPARE(update.state(), State::Finished);
    QTRY_COMPARE_WITH_TIMEOUT(productStarts().size(), 2, 30000);
    QCOMPARE(productStarts(), QStringList({ QStringLiteral("1.0"), QStringLiteral("1.0") }));
    QVERIFY(!QFileInfo::exists(home->filePath(QStringLiteral("data/payload.bin"))));
    QVERIFY2(logText().contains(QStringLiteral("the update was abandoned")), qPrintable(logText()));
}

// An apply whose rollback cannot finish either leaves the installation part
// old, part new: the product is not started on it, and the next start of
// the updater repairs it before anything else.
void tst_ProductUpdate::mixedInstallationNotStarted()
{
    QVERIFY(serve());
    QScopedPointer<ProductUpdate> update(new ProductUpdate(settings()));
    // The third move of the apply fails, and so does every move after it.
    update->installer()->setRenameHook([](int step) { return step < 3; });
    QVERIFY(update->claimInstallation());
    update->start();
    QVERIFY(waitForState(*update, State::Unrepaired));
    QVERIFY2(logText().contains(QStringLiteral("part old, part new")), qPrintable(logText()));
    QCOMPARE(productStarts(), QStringList { QStringLiteral("1.0") });

    update.reset(new ProductUpdate(settings()));
    QVERIFY(update->claimInstallation());
    QCOMPARE(update->state(), State::Idle);
    QCOMPARE(readFile(home->filePath(QStringLiteral("version.txt"))).trimmed(), QByteArray("1.0"));
    QVERIFY(!QFileInfo::exists(home->filePath(QStringLiteral("data/payload.bin"))));
    update->start();
    QVERIFY(waitForState(*update, State::Finished));
    QVERIFY(!waitForProduct(home->path(), QStringLiteral("2.0")).isEmpty());
}

void tst_ProductUpdate::differentialUpdate_data()
{
    QTest::addColumn<bool>("repair"); // the installed archive is the one served
    QTest::addColumn<bool>("damaged"); // a byte of the installed archive's payload flipped
    QTest::addColumn<bool>("signedBuild");
    QTest::addColumn<States>("states");
    QTest::addColumn<QString>("logged");

    const States once { State::Downloading, State::Installing, State::Starting, State::Finished };
    QTest::newRow("installed archive reused") << false << false << false << once << "was assembled";
    QTest::newRow("the same release again") << true << false << false << once << "was assembled";
    const States twice { State::Downloading, State::Installing, State::Downloading,
                         State::Installing,  State::Starting,   State::Finished };
    QTest::newRow("installed archive damaged")
        << false << true << false << twice << "it is downloaded whole once";
    const States signedTwice { State::Downloading, State::FetchingSignature, State::Installing,
                               State::Downloading, State::FetchingSignature, State::Installing,
                               State::Starting,    State::Finished };
    QTest::newRow("installed archive damaged, signed")
        << false << true << true << signedTwice << "it is downloaded whole once";
}

// The archive put together from the installed release's one: installed
// whole; one assembled from a damaged archive is refused before anything
// changes, downloaded whole once and installed.
void tst_ProductUpdate::differentialUpdate()
{
    QFETCH(bool, repair);
    QFETCH(bool, damaged);
    QFETCH(bool, signedBuild);
    QFETCH(States, states);
    QFETCH(QString, logged);
    QTemporaryDir keys;
    const QString archive = served.filePath(QStringLiteral("vlm_update.zip"));
    QFile::remove(archive + QStringLiteral(".minisig"));
    UpdateSettings updateSettings = settings();
    QByteArray installed =
        readFile(repair ? archive : older.filePath(QStringLiteral("vlm_update.zip")));
    if (damaged)
        installed[installed.size() / 2] = char(~installed.at(installed.size() / 2));
    QVERIFY(writeFile(updateSettings.archivePath(), installed));
    if (signedBuild) {
        if (!makeSigningKey(keys.filePath(QStringLiteral("publisher"))))
            QSKIP("the minisign tool (Debian package minisign) makes the keys and signatures");
        QVERIFY(signFile(keys.filePath(QStringLiteral("publisher")), archive,
                         QStringLiteral("timestamp:2000\tfile:vlm_update.zip\thashed")));
        updateSettings.publicKey =
            QString::fromLatin1(readFile(keys.filePath(QStringLiteral("publisher.pub"))));
    }
    QVERIFY(serve());
    updateSettings.port = server.port();

    QScopedPointer<ProductUpdate> update(new ProductUpdate(updateSettings));
    QSignalSpy changes(update.data(), &ProductUpdate::stateChanged);
    QVERIFY(update->claimInstallation());
    update->start();
    QVERIFY(waitForState(*update, State::Finished));
    QCOMPARE(statesOf(changes), states);
    QVERIFY2(logText().contains(logged), qPrintable(logText()));
    QVERIFY2(!waitForProduct(home->path(), QStringLiteral("2.0")).isEmpty(), qPrintable(logText()));
    QCOMPARE(readFile(home->filePath(QStringLiteral("data/payload.bin"))),
             readFile(source.filePath(QStringLiteral("data/payload.bin"))));
    // What the updater leaves is the new archive, for the next update.
    update.reset();
    QCOMPARE(readFile(updateSettings.archivePath()), readFile(archive));
}

void tst_ProductUpdate::secureUpdate_data()
{
    QTest::addColumn<QString>("program"); // a real server; empty: the test server
    QTest::addColumn<QSsl::SslProtocol>("protocol");
    QTest::addColumn<bool>("serverTls");
    QTest::addColumn<bool>("rightKey");
    QTest::addColumn<QString>("logged");

    for (const char *program : { "vsftpd", "proftpd", "pure-ftpd" }) {
        QTest::addRow("%s, TLS 1.2", program)
            << program << QSsl::TlsV1_2 << true << true << "was assembled";
        QTest::addRow("%s, TLS 1.3", program)
            << program << QSsl::TlsV1_3 << true << true << "was assembled";
    }
    QTest::newRow("wrong key") << QString() << QSsl::TlsV1_2OrLater << true << false
                               << "does not carry the pinned key";
    QTest::newRow("plain server") << QString() << QSsl::TlsV1_2OrLater << false << true
                                  << "refused TLS";
}

// A build that requires TLS, with the server's key pinned: the differential
// update from servers that require their data connections to resume the
// session; a wrong key or a plain server ends the download with the reason.
void tst_ProductUpdate::secureUpdate()
{
    QFETCH(QString, program);
    QFETCH(QSsl::SslProtocol, protocol);
    QFETCH(bool, serverTls);
    QFETCH(bool, rightKey);
    QFETCH(QString, logged);
    if (!QSslSocket::supportsSsl())
        QSKIP("this Qt has no TLS");
    QFile::remove(served.filePath(QStringLiteral("vlm_update.zip.minisig")));
    FtpTestServer::Options options;
    options.realServer = program;
    if (serverTls)
        options.extra << QStringLiteral("--tls") << certificates.path();
    if (!serve(options))
        QSKIP(qPrintable(QStringLiteral("%1 cannot run here: %2")
                             .arg(program.isEmpty() ? QStringLiteral("the test server") : program,
                                  server.errorString())));
    UpdateSettings updateSettings = settings();
    updateSettings.security.required = true;
    updateSettings.security.protocol = protocol;
    const QList<QSslCertificate> shown =
        QSslCertificate::fromPath(certificates.filePath(QStringLiteral("sound.pem")));
    updateSettings.security.pin = rightKey && !shown.isEmpty()
        ? FtpSecurity::pinOf(shown.first())
        : QByteArray("sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
    QVERIFY(writeFile(updateSettings.archivePath(),
                      readFile(older.filePath(QStringLiteral("vlm_update.zip")))));

    ProductUpdate update(updateSettings);
    QVERIFY(update.claimInstallation());
    update.start();
    const State end =
        logged == QLatin1String("was assembled") ? State::Finished : State::DownloadFailed;
    QVERIFY2(waitForState(update, end), qPrintable(logText()));
    QVERIFY2(logText().contains(logged), qPrintable(logText()));
    if (end == State::Finished) {
        QVERIFY2(!waitForProduct(home->path(), QStringLiteral("2.0")).isEmpty(),
                 qPrintable(logText()));
        QCOMPARE(readFile(home->filePath(QStringLiteral("data/payload.bin"))),
                 readFile(source.filePath(QStringLiteral("data/payload.bin"))));
    }
}

QTEST_GUILESS_MAIN(tst_ProductUpdate)
#include "tst_productupdate.moc"
