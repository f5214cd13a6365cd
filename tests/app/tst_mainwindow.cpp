#include "ftptestserver.h"
#include "installation.h"
#include "logreader.h"
#include "mainwindow.h"
#include "updateconfig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Installation;

namespace {

const QString Title = QStringLiteral("Velmora升级程序1.1");

int logRecordCount(const QString &appDir)
{
    return LogReader(appDir + QStringLiteral("/log")).recordCount();
}

} // namespace

// The window in this process, with this test's folder as the installation
// and another folder as the working directory: the archive lands beside the
// executable and is installed there.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void window();
    void downloadProgress_data();
    void downloadProgress();
    void progressPaced_data();
    void progressPaced();
    void closingEndsEventLoop();
    void failedDownloadThenRetry();
    void anotherUpdaterRunning();
    void windowAnswersDuringLongUnpack();
    void signedUpdate_data();
    void signedUpdate();

private:
    bool serverBuiltIn() const;
    static QString whyNoServer();
    void prepareUpdate(qint64 payloadSize);
    static QLabel *labelOf(MainWindow &window) { return window.findChild<QLabel *>(); }
    static QPushButton *buttonOf(MainWindow &window) { return window.findChild<QPushButton *>(); }

    QString appDir;
    QTemporaryDir elsewhere;
    QTemporaryDir served;
    QTemporaryDir archiveSource;
    FtpTestServer server;
};

void tst_MainWindow::initTestCase()
{
    appDir = QCoreApplication::applicationDirPath();
    QVERIFY(served.isValid() && archiveSource.isValid() && elsewhere.isValid());
    QVERIFY(QDir::setCurrent(elsewhere.path()));
}

void tst_MainWindow::init()
{
    // Everything an earlier update left in the installation goes.
    QDir dir(appDir);
    const QStringList entries = dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (QFileInfo(dir.filePath(entry)).isDir())
            QDir(dir.filePath(entry)).removeRecursively();
        else if (!entry.startsWith(QLatin1String("tst_")))
            dir.remove(entry);
    }
    QVERIFY(dir.mkdir(QStringLiteral("log")));
}

void tst_MainWindow::cleanup()
{
    server.stop();
    killProducts(appDir);
}

bool tst_MainWindow::serverBuiltIn() const
{
    return QStringLiteral(UPDATE_HOST) == QLatin1String("127.0.0.1") && FtpTestServer::available();
}

QString tst_MainWindow::whyNoServer()
{
    if (!FtpTestServer::available())
        return FtpTestServer::whyUnavailable();
    return QStringLiteral("built for the production server; configure with UPDATE_HOST=127.0.0.1");
}

void tst_MainWindow::prepareUpdate(qint64 payloadSize)
{
    QDir(archiveSource.path()).removeRecursively();
    QVERIFY(QDir().mkpath(archiveSource.path()));
    QVERIFY(writeProduct(archiveSource.filePath(QStringLiteral("vlm.exe")), QStringLiteral("2.0")));
    QVERIFY(writeFile(archiveSource.filePath(QStringLiteral("data/payload.bin")),
                      randomBytes(payloadSize, 7)));
    QFile::remove(served.filePath(QStringLiteral("vlm_update.zip")));
    QVERIFY(makeArchive(served.filePath(QStringLiteral("vlm_update.zip")), archiveSource.path()));
}

void tst_MainWindow::window()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), Title);
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(window.minimumSize(), QSize(300, 50));
    QCOMPARE(window.maximumSize(), QSize(300, 50));

    QLabel *label = labelOf(window);
    QPushButton *button = buttonOf(window);
    QVERIFY(label && button);
    QVERIFY(label->text().isEmpty());
    QCOMPARE(label->geometry(), QRect(20, 10, 200, 30));
    QCOMPARE(button->text(), QStringLiteral("开始更新"));
    QCOMPARE(button->geometry(), QRect(200, 10, 80, 30));
    QVERIFY(button->isEnabled());

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(300, 50));
    window.resize(600, 400);
    QCOMPARE(window.size(), QSize(300, 50));
    window.showMaximized();
    QCOMPARE(window.size(), QSize(300, 50));
#ifndef Q_OS_WIN
    // Windows offers users no way to put such a window in full screen, and
    // there Qt's showFullScreen() sizes any window to the screen.
    window.showFullScreen();
    QCOMPARE(window.size(), QSize(300, 50));
#endif
}

void tst_MainWindow::downloadProgress_data()
{
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("label");
    QTest::newRow("0 of a download") << 0 << 0 << QStringLiteral("下载进度0%");
    QTest::newRow("99 of a download") << 99 << 0 << QStringLiteral("下载进度99%");
    QTest::newRow("more than the total") << 150 << 0 << QStringLiteral("下载进度150%");
    QTest::newRow("upload complete") << 100 << 1 << QStringLiteral("下载进度100%");
    QTest::newRow("failure") << -100 << 1 << QStringLiteral("下载进度-100%");
}

void tst_MainWindow::downloadProgress()
{
    QFETCH(int, x);
    QFETCH(int, id);
    QFETCH(QString, label);

    MainWindow window;
    window.show();
    window.DownloadProgress(x, id);
    QCOMPARE(labelOf(window)->text(), label);
    QVERIFY(window.isVisible());
    QCOMPARE(logRecordCount(appDir), 0); // no command ran
}

void tst_MainWindow::progressPaced_data()
{
    QTest::addColumn<int>("lastX");
    QTest::addColumn<int>("lastId");
    QTest::addColumn<QString>("shown");

    QTest::newRow("still running") << 37 << 0 << QStringLiteral("下载进度37%");
    QTest::newRow("then failed") << -100 << 1 << QStringLiteral("下载进度-100%");
    QTest::newRow("then more than the total") << 150 << 0 << QStringLiteral("下载进度150%");
}

// Percentages arriving faster than the screen shows them: the first at
// once, the latest when the frame is over, the end of the transfer at once
// and never overwritten by a percentage that was still waiting.
void tst_MainWindow::progressPaced()
{
    QFETCH(int, lastX);
    QFETCH(int, lastId);
    QFETCH(QString, shown);

    MainWindow window;
    window.show();
    QLabel *label = labelOf(window);
    window.DownloadProgress(5, 0);
    QCOMPARE(label->text(), QStringLiteral("下载进度5%"));
    for (int x = 6; x <= 36; ++x)
        window.DownloadProgress(x, 0);
    window.DownloadProgress(lastX, lastId);
    if (lastX == 37)
        QCOMPARE(label->text(), QStringLiteral("下载进度5%"));
    else
        QCOMPARE(label->text(), shown);
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), shown, 5000);
    // Once no frame is pending, nothing that waited can replace what is shown.
    const QList<QTimer *> timers = window.findChildren<QTimer *>();
    QTRY_VERIFY_WITH_TIMEOUT(
        std::none_of(timers.cbegin(), timers.cend(), [](const QTimer *t) { return t->isActive(); }),
        5000);
    QCOMPARE(label->text(), shown);
}

void tst_MainWindow::closingEndsEventLoop()
{
    MainWindow window;
    window.show();
    QTimer::singleShot(0, &window, &QWidget::close);
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!window.isVisible());
    QCOMPARE(logRecordCount(appDir), 0);
}

void tst_MainWindow::failedDownloadThenRetry()
{
    if (!serverBuiltIn())
        QSKIP(qPrintable(whyNoServer()));
    prepareUpdate(200 * 1024);
    QVERIFY(writeProduct(appDir + QStringLiteral("/vlm.exe"), QStringLiteral("1.0")));
    QVERIFY(startProduct(appDir));
    const qint64 oldPid = productPid(waitForProduct(appDir, QStringLiteral("1.0")));
    QVERIFY(oldPid > 0);

    MainWindow window;
    window.show();
    // Nothing listens on the update port yet.
    QTest::mouseClick(buttonOf(window), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(labelOf(window)->text(), QStringLiteral("下载进度-100%"), 60000);
    QVERIFY(window.isVisible());
    QVERIFY(waitForProcessGone(oldPid));
    QVERIFY(!QFileInfo::exists(appDir + QStringLiteral("/data/payload.bin")));
    QCOMPARE(productPid(productState(appDir)), oldPid);
    QCOMPARE(QFileInfo(appDir + QStringLiteral("/vlm_update.zip")).size(), 0);
    // The stop command, why the archive is downloaded whole, why that failed.
    QCOMPARE(logRecordCount(appDir), 3);

    FtpTestServer::Options options;
    options.root = served.path();
    options.port = quint16(UPDATE_PORT);
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    QTest::mouseClick(buttonOf(window), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 60000);

    QCOMPARE(labelOf(window)->text(), QStringLiteral("启动程序..."));
    const QJsonObject state = waitForProduct(appDir, QStringLiteral("2.0"));
    QVERIFY(processAlive(productPid(state)));
    QCOMPARE(readFile(appDir + QStringLiteral("/data/payload.bin")),
             readFile(archiveSource.filePath(QStringLiteral("data/payload.bin"))));
    // Stop, whole, failure; then stop, whole, unpack, start.
    QCOMPARE(logRecordCount(appDir), 7);
}

// A second updater on the same installation (a double click) says so and
// touches nothing, presses included.
void tst_MainWindow::anotherUpdaterRunning()
{
    ProductUpdate first(UpdateSettings::builtIn(appDir));
    QVERIFY(first.claimInstallation());

    MainWindow window;
    window.show();
    QCOMPARE(labelOf(window)->text(), QStringLiteral("更新已在进行中"));
    QTest::mouseClick(buttonOf(window), Qt::LeftButton);
    QCOMPARE(labelOf(window)->text(), QStringLiteral("更新已在进行中"));
    QCOMPARE(logRecordCount(appDir), 1); // no command ran; why, once
    window.close();
    QVERIFY(!window.isVisible());
}

// Text packed with PPMd unpacks slowly, far beyond the bound of a shell
// command. Meanwhile the window goes on painting and answering, a close
// request waits until the product runs again, and the product then finds
// the whole archive installed.
void tst_MainWindow::windowAnswersDuringLongUnpack()
{
    if (!serverBuiltIn())
        QSKIP(qPrintable(whyNoServer()));
    QDir(archiveSource.path()).removeRecursively();
    QVERIFY(writeProduct(archiveSource.filePath(QStringLiteral("vlm.exe")), QStringLiteral("3.0")));
    QByteArray text;
    const QByteArray words[] = {
        "alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta ", "eta "
    };
    QRandomGenerator generator { 5 };
    while (text.size() < 24 * 1024 * 1024)
        text += words[generator.bounded(7)];
    for (int i = 0; i < 4; ++i)
        QVERIFY(writeFile(archiveSource.filePath(QStringLiteral("texts/part%1.txt").arg(i)),
                          text.mid(i)));
    QFile::remove(served.filePath(QStringLiteral("vlm_update.zip")));
    QVERIFY(makeArchive(served.filePath(QStringLiteral("vlm_update.zip")), archiveSource.path(),
                        { QStringLiteral("-mm=PPMd"), QStringLiteral("-mx=9") }));
    FtpTestServer::Options options;
    options.root = served.path();
    options.port = quint16(UPDATE_PORT);
    QVERIFY2(server.start(options), qPrintable(server.errorString()));

    UpdateSettings settings = UpdateSettings::builtIn(appDir);
    settings.commandTimeoutMs = 300;
    recordProductSnapshots();
    MainWindow window(settings);
    window.show();
    QLabel *label = labelOf(window);
    const QString unpacking = QStringLiteral("解包中..");
    int ticks = 0;
    qint64 longestGap = 0;
    QElapsedTimer sinceTick;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] {
        if (label->text() != unpacking)
            return;
        if (ticks++ > 0)
            longestGap = qMax(longestGap, sinceTick.elapsed());
        sinceTick.start();
        label->repaint();
    });
    ticker.start(50);

    QTest::mouseClick(buttonOf(window), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), unpacking, 60000);
    window.close();
    QVERIFY(window.isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 240000);

    QVERIFY2(ticks * 50 > 3 * settings.commandTimeoutMs,
             "the archive unpacks too fast to outlast the bound of a command");
    QVERIFY2(longestGap < 2000, QByteArray::number(longestGap));
    QCOMPARE(label->text(), QStringLiteral("启动程序..."));
    // The stand-in hashes some 100 MiB before it reports: slow in a build
    // without optimisation.
    const QJsonObject state = waitForProduct(appDir, QStringLiteral("3.0"), 180000);
    QVERIFY2(!state.isEmpty(), "the new product did not start");
    const QMap<QString, QByteArray> seen = productSnapshot(appDir);
    const QMap<QString, QByteArray> expected = treeOf(archiveSource.path());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(seen.value(it.key()), it.value().toHex());
}

void tst_MainWindow::signedUpdate_data()
{
    QTest::addColumn<bool>("signatureServed");
    QTest::addColumn<bool>("archiveTampered");
    QTest::addColumn<QString>("reason");

    QTest::newRow("sound") << true << false << QString();
    QTest::newRow("tampered archive") << true << true << QStringLiteral("does not match");
    QTest::newRow("no signature on the server")
        << false << false << QStringLiteral("could not be downloaded");
}

// A build with the publisher's key fetches the signature after the archive
// and installs only what it signed; otherwise the old product runs again.
void tst_MainWindow::signedUpdate()
{
    QFETCH(bool, signatureServed);
    QFETCH(bool, archiveTampered);
    QFETCH(QString, reason);
    if (!serverBuiltIn())
        QSKIP(qPrintable(whyNoServer()));
    QTemporaryDir keys;
    QVERIFY(keys.isValid());
    if (!makeSigningKey(keys.filePath(QStringLiteral("publisher"))))
        QSKIP("the minisign tool (Debian package minisign) makes the keys and signatures");
    prepareUpdate(100 * 1024);
    const QString archive = served.filePath(QStringLiteral("vlm_update.zip"));
    const QString signature = archive + QStringLiteral(".minisig");
    QFile::remove(signature);
    if (signatureServed)
        QVERIFY(signFile(keys.filePath(QStringLiteral("publisher")), archive,
                         QStringLiteral("version 2.0")));
    if (archiveTampered) {
        QVERIFY(makeArchive(archive, archiveSource.path(), { QStringLiteral("-mx=0") }));
    }
    QVERIFY(writeProduct(appDir + QStringLiteral("/vlm.exe"), QStringLiteral("1.0")));
    QVERIFY(startProduct(appDir));
    const qint64 oldPid = productPid(waitForProduct(appDir, QStringLiteral("1.0")));
    QVERIFY(oldPid > 0);
    FtpTestServer::Options options;
    options.root = served.path();
    options.port = quint16(UPDATE_PORT);
    QVERIFY2(server.start(options), qPrintable(server.errorString()));

    UpdateSettings settings = UpdateSettings::builtIn(appDir);
    settings.publicKey =
        QString::fromLatin1(readFile(keys.filePath(QStringLiteral("publisher.pub"))));
    MainWindow window(settings);
    window.show();
    QTest::mouseClick(buttonOf(window), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 60000);

    QVERIFY(waitForProcessGone(oldPid));
    const QString log = QString::fromLocal8Bit(
        readFile(appDir + QStringLiteral("/log/")
                 + QDir(appDir + QStringLiteral("/log")).entryList(QDir::Files).value(0)));
    if (reason.isEmpty()) {
        QVERIFY(!waitForProduct(appDir, QStringLiteral("2.0")).isEmpty());
        QVERIFY2(log.contains(QStringLiteral("trusted comment: version 2.0")), qPrintable(log));
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(productPid(productState(appDir)) != oldPid, 30000);
    QCOMPARE(productState(appDir).value(QStringLiteral("version")).toString(),
             QStringLiteral("1.0"));
    QVERIFY(!QFileInfo::exists(appDir + QStringLiteral("/data/payload.bin")));
    QVERIFY2(log.contains(QStringLiteral("the update was not installed: ")) && log.contains(reason),
             qPrintable(log));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
