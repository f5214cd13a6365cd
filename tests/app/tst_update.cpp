#include "ftptestserver.h"
#include "installation.h"
#include "installedupdater.h"
#include "updateconfig.h"
#include "xvfbdisplay.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace Installation;

// The real updater executable: what its window costs the process, and an
// unpack that takes far longer than its command runner's bound. The faults an
// update meets are tst_faults' subject.
class tst_Update : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowLoadsNoGlDriver();
    void unpackOutlastingTheRunnerBound();

private:
    XvfbDisplay x;
    FtpTestServer server;
    QTemporaryDir served;
    QTemporaryDir source;
};

void tst_Update::initTestCase()
{
    if (QStringLiteral(UPDATE_HOST) != QLatin1String("127.0.0.1"))
        QSKIP("built for the production server; configure with UPDATE_HOST=127.0.0.1");
    QVERIFY(served.isValid() && source.isValid());
    QVERIFY2(x.start(), "cannot start Xvfb");
}

// The window paints nothing with OpenGL. A GL driver loaded for it anyway
// (Mesa's software one maps LLVM) costs some 50 MiB, most of the start-up,
// and time on every command the updater forks.
void tst_Update::windowLoadsNoGlDriver()
{
    const QStringList drivers =
        QDir(QStringLiteral("/usr/lib")).entryList({ QStringLiteral("*-linux-gnu") }, QDir::Dirs);
    const bool haveDriver = std::any_of(drivers.cbegin(), drivers.cend(), [](const QString &dir) {
        return !QDir(QStringLiteral("/usr/lib/%1/dri").arg(dir))
                    .entryList({ QStringLiteral("*_dri.so") }, QDir::Files)
                    .isEmpty();
    });
    if (!haveDriver)
        QSKIP("no Mesa driver on this machine that a window could load");

    QTemporaryDir home;
    QVERIFY(home.isValid());
    InstalledUpdater updater(x);
    QVERIFY(updater.install(home.path(), QStringLiteral(UPDATER_EXECUTABLE)));
    QVERIFY(updater.launch());
    // The window is mapped: whatever its first showing loads is loaded.
    QFile maps(QStringLiteral("/proc/%1/maps").arg(updater.processId()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = maps.readAll().split('\n');
    for (const QByteArray &line : lines)
        QVERIFY2(!line.contains("/dri/") && !line.contains("libLLVM"), line.constData());
    QVERIFY(updater.close());
    QVERIFY(updater.waitForExit(20000));
    QVERIFY2(updater.exitedWithZero(), updater.output().constData());
}

void tst_Update::unpackOutlastingTheRunnerBound()
{
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/Velmora 产品-XXXXXX"));
    QVERIFY(home.isValid());
    InstalledUpdater updater(x);
    QVERIFY(updater.install(home.path(), QStringLiteral(UPDATER_SHORTBOUND_EXECUTABLE)));

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

    QVERIFY(updater.launchAndPress());
    QVERIFY2(updater.waitForExit(240000), "the updater did not end");
    QVERIFY2(updater.exitedWithZero(), updater.output().constData());

    // What the new product found when it started must be the whole archive.
    const QJsonObject state = waitForProduct(updater.dir(), QStringLiteral("3.0"));
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
