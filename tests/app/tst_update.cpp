#include "ftptestserver.h"
#include "installation.h"
#include "updateconfig.h"
#include "xvfbdisplay.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Installation;

// The real updater executable, installed in a folder whose path holds a
// space and Chinese characters, driven through its window on an X server.
class tst_Update : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void update();
    void unpackOutlastingTheRunnerBound();

private:
    struct Run
    {
        int exitCode = -1;
        QProcess::ExitStatus status = QProcess::CrashExit;
        QByteArray output;
    };
    void install(const QString &updater);
    Run pressUpdate();
    void checkArchiveInPlace();

    XvfbDisplay x;
    FtpTestServer server;
    QScopedPointer<QTemporaryDir> home;
    QTemporaryDir served;
    QTemporaryDir source;
    QString dir;
};

void tst_Update::initTestCase()
{
    if (QStringLiteral(UPDATE_HOST) != QLatin1String("127.0.0.1"))
        QSKIP("built for the production server; configure with UPDATE_HOST=127.0.0.1");
    QVERIFY(served.isValid() && source.isValid());
    QVERIFY2(x.start(), "cannot start Xvfb");
}

void tst_Update::cleanup()
{
    server.stop();
    if (!dir.isEmpty())
        killProducts(dir);
}

void tst_Update::install(const QString &updater)
{
    home.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/Velmora 产品-XXXXXX")));
    QVERIFY(home->isValid());
    dir = home->path();
    QVERIFY(QFile::copy(updater, dir + QStringLiteral("/vlm-updater")));
    QVERIFY(QDir(dir).mkdir(QStringLiteral("log")));
    QVERIFY(writeProduct(dir + QStringLiteral("/vlm.exe"), QStringLiteral("1.0")));
    QVERIFY(writeFile(dir + QStringLiteral("/data/config.txt"), "old configuration\n"));
    QVERIFY(writeFile(dir + QStringLiteral("/user-notes.txt"), "not in the archive\n"));
}

tst_Update::Run tst_Update::pressUpdate()
{
    Run run;
    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), x.display());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // Full stacks, so that leaks of the libraries the X platform loads and
    // unloads again can be told from the updater's own (see lsan.supp).
    if (env.contains(QStringLiteral("ASAN_OPTIONS")))
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS"))
                       + QStringLiteral(":fast_unwind_on_malloc=0"));
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(dir);
    updater.setProcessChannelMode(QProcess::MergedChannels);
    updater.start(dir + QStringLiteral("/vlm-updater"), QStringList());
    if (!updater.waitForStarted(30000))
        return run;

    const QString window = x.findWindow(QStringLiteral("Velmora升级程序1.1"));
    if (window.isEmpty() || !x.click(window, 240, 25)) {
        updater.kill();
        updater.waitForFinished();
        run.output = "the window was not found or could not be clicked\n" + updater.readAll();
        return run;
    }
    if (!updater.waitForFinished(240000)) {
        updater.kill();
        updater.waitForFinished();
        run.output = "the updater did not end\n";
        return run;
    }
    run.exitCode = updater.exitCode();
    run.status = updater.exitStatus();
    run.output = updater.readAll();
    return run;
}

void tst_Update::checkArchiveInPlace()
{
    const QMap<QString, QByteArray> expected = filesBelow(source.path());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(readFile(dir + QLatin1Char('/') + it.key()) == it.value(), qPrintable(it.key()));
}

void tst_Update::update()
{
    install(QStringLiteral(UPDATER_EXECUTABLE));
    QDir(source.path()).removeRecursively();
    QVERIFY(writeProduct(source.filePath(QStringLiteral("vlm.exe")), QStringLiteral("2.0")));
    QVERIFY(writeFile(source.filePath(QStringLiteral("data/config.txt")), "new configuration\n"));
    QVERIFY(writeFile(source.filePath(QStringLiteral("data/maps/region/north.bin")),
                      randomBytes(1024 * 1024, 11)));
    QVERIFY(writeFile(source.filePath(QStringLiteral("资料/说明 文件.txt")), "更新说明\n"));
    QVERIFY(makeArchive(served.filePath(QStringLiteral("vlm_update.zip")), source.path()));

    FtpTestServer::Options options;
    options.root = served.path();
    options.port = quint16(UPDATE_PORT);
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    QVERIFY(startProduct(dir));
    const qint64 oldPid = productPid(waitForProduct(dir, QStringLiteral("1.0")));
    QVERIFY(oldPid > 0);

    const Run run = pressUpdate();
    QVERIFY2(run.status == QProcess::NormalExit && run.exitCode == 0, run.output.constData());

    QVERIFY(waitForProcessGone(oldPid));
    const QJsonObject state = waitForProduct(dir, QStringLiteral("2.0"));
    QVERIFY2(!state.isEmpty(), "the new product did not start");
    QVERIFY(processAlive(productPid(state)));
    checkArchiveInPlace();
    QCOMPARE(readFile(dir + QStringLiteral("/vlm_update.zip")),
             readFile(served.filePath(QStringLiteral("vlm_update.zip"))));
    QCOMPARE(readFile(dir + QStringLiteral("/user-notes.txt")), QByteArray("not in the archive\n"));

    // One record for each of the three commands; 7za's report among them.
    const QStringList logs = QDir(dir + QStringLiteral("/log")).entryList(QDir::Files);
    QCOMPARE(logs.size(), 1);
    QVERIFY(
        logs.first().contains(QRegularExpression(QStringLiteral("^debug_\\d\\d-\\d\\d\\.log$"))));
    const QString log =
        QString::fromLocal8Bit(readFile(dir + QStringLiteral("/log/") + logs.first()));
    static const QRegularExpression stamp(
        QStringLiteral("\\[\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]\\n"));
    QCOMPARE(log.count(stamp), 3);
    QVERIFY2(log.contains(QStringLiteral("Everything is Ok")), qPrintable(log));
}

void tst_Update::unpackOutlastingTheRunnerBound()
{
    install(QStringLiteral(UPDATER_SHORTBOUND_EXECUTABLE));
    QDir(source.path()).removeRecursively();
    QVERIFY(writeProduct(source.filePath(QStringLiteral("vlm.exe")), QStringLiteral("3.0")));
    // Text-like data packed with PPMd unpacks slowly, far beyond the bound.
    QByteArray text;
    const QByteArray words[] = {
        "alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta ", "eta "
    };
    QRandomGenerator generator { 5 };
    while (text.size() < 24 * 1024 * 1024)
        text += words[generator.bounded(7)];
    for (int i = 0; i < 4; ++i)
        QVERIFY(writeFile(source.filePath(QStringLiteral("texts/part%1.txt").arg(i)), text.mid(i)));
    QVERIFY(makeArchive(served.filePath(QStringLiteral("vlm_update.zip")), source.path(),
                        { QStringLiteral("-mm=PPMd"), QStringLiteral("-mx=9") }));

    QElapsedTimer unpackTime;
    unpackTime.start();
    QVERIFY(QProcess::execute(QStringLiteral("7za"),
                              { QStringLiteral("t"), QStringLiteral("-bso0"),
                                served.filePath(QStringLiteral("vlm_update.zip")) })
            == 0);
    QVERIFY2(unpackTime.elapsed() > 3 * SHORT_BOUND_MS,
             "the archive unpacks too fast to outlast the runner's bound");

    FtpTestServer::Options options;
    options.root = served.path();
    options.port = quint16(UPDATE_PORT);
    QVERIFY2(server.start(options), qPrintable(server.errorString()));

    const Run run = pressUpdate();
    QVERIFY2(run.status == QProcess::NormalExit && run.exitCode == 0, run.output.constData());

    // What the new product found when it started must be the whole archive.
    const QJsonObject state = waitForProduct(dir, QStringLiteral("3.0"));
    QVERIFY2(!state.isEmpty(), "the new product did not start");
    const QJsonObject seen = state.value(QStringLiteral("files")).toObject();
    const QMap<QString, QByteArray> expected = filesBelow(source.path());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QJsonObject file = seen.value(it.key()).toObject();
        const QByteArray digest =
            QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex();
        QVERIFY2(file.value(QStringLiteral("sha256")).toString().toLatin1() == digest,
                 qPrintable(it.key()));
    }
}

QTEST_GUILESS_MAIN(tst_Update)
#include "tst_update.moc"
