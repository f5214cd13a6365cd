#include "commandlines.h"
#include "commandrunner.h"
#include "installation.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#ifndef Q_OS_WIN
#include <signal.h>
#endif

namespace {

// Every name carries this run's process id: other suites on the machine run
// products of their own, which the stop commands here must not reach.
QString uniqueName(const QString &pattern)
{
    return pattern.arg(QCoreApplication::applicationPid() % 100000);
}

} // namespace

class tst_Platform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startAndStop_data();
    void startAndStop();
#ifndef Q_OS_WIN
    void stopCommandEndsByName_data();
    void stopCommandEndsByName();
#endif

private:
    bool startNamed(const QString &name);

    QString sleepProgram;
    std::unique_ptr<QTemporaryDir> programs;
    std::vector<std::unique_ptr<QProcess>> processes;
};

void tst_Platform::initTestCase()
{
#ifndef Q_OS_WIN
    sleepProgram = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    QVERIFY(!sleepProgram.isEmpty());
#endif
}

void tst_Platform::init()
{
    programs.reset(new QTemporaryDir);
    QVERIFY(programs->isValid());
}

void tst_Platform::cleanup()
{
    for (const auto &process : processes) {
        process->kill();
        process->waitForFinished(30000);
    }
    processes.clear();
    programs.reset();
}

void tst_Platform::startAndStop_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("plain folder") << QStringLiteral("product");
    // Outside the code page of a Western Windows, which cmd reads its input in.
    QTest::newRow("space and Chinese characters") << QStringLiteral("产品 目录");
}

// The start command returns at once although the product, a console
// program, never ends; the product runs from its folder whatever the
// folder's name, and the stop command ends it.
void tst_Platform::startAndStop()
{
    QFETCH(QString, folder);
    const QString dir = programs->filePath(folder);
    const QString name = uniqueName(QStringLiteral("vlm%1.exe"));
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(QFile::copy(QStringLiteral(STANDIN_PRODUCT), dir + QLatin1Char('/') + name));
    QVERIFY(Installation::writeFile(dir + QStringLiteral("/version.txt"), "7\n"));

    QElapsedTimer timer;
    timer.start();
    runCommand(startCommand(dir, name), dir, DefaultFinishTimeoutMs);
    QVERIFY2(timer.elapsed() < DefaultFinishTimeoutMs / 2, QByteArray::number(timer.elapsed()));
    QTRY_VERIFY_WITH_TIMEOUT(
        Installation::readFile(dir + QStringLiteral("/product-started.txt")).startsWith("7 "),
        30000);
    const qint64 pid = Installation::readFile(dir + QStringLiteral("/product-started.txt"))
                           .split(' ')
                           .value(1)
                           .toLongLong();
    QVERIFY(Installation::processAlive(pid));

    runCommand(stopCommand(name), dir, DefaultFinishTimeoutMs);
    QVERIFY(Installation::waitForProcessGone(pid));
}

#ifndef Q_OS_WIN
// A copy of sleep under the given file name: the system knows a process by
// the name of the file it runs.
bool tst_Platform::startNamed(const QString &name)
{
    const QString path = programs->filePath(name);
    if (!QFile::exists(path) && !QFile::copy(sleepProgram, path))
        return false;
    processes.emplace_back(new QProcess);
    processes.back()->start(path, { QStringLiteral("300") });
    return processes.back()->waitForStarted(30000);
}

void tst_Platform::stopCommandEndsByName_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("running");
    QTest::addColumn<QStringList>("ended");

    const QString vlm = uniqueName(QStringLiteral("vlm%1.exe"));
    QTest::newRow("only that exact name")
        << vlm
        << QStringList { vlm, uniqueName(QStringLiteral("vlm%1Xexe")),
                         uniqueName(QStringLiteral("vlm%1.exe2")),
                         uniqueName(QStringLiteral("xvlm%1.exe")),
                         uniqueName(QStringLiteral("vlm%1")) }
        << QStringList { vlm };
    QTest::newRow("spaces around the name")
        << vlm << QStringList { vlm, QLatin1Char(' ') + vlm, vlm + QLatin1Char(' ') }
        << QStringList { vlm };
    QTest::newRow("every process of the name")
        << vlm << QStringList { vlm, vlm, vlm } << QStringList { vlm, vlm, vlm };
    QTest::newRow("none of the name")
        << vlm << QStringList { uniqueName(QStringLiteral("vlm%1.ex")) } << QStringList();

    const QString chinese = uniqueName(QStringLiteral("产 %1.exe"));
    QTest::newRow("space and Chinese")
        << chinese << QStringList { chinese, uniqueName(QStringLiteral("产%1.exe")) }
        << QStringList { chinese };
    const QString quoted = uniqueName(QStringLiteral("it's$%1`"));
    QTest::newRow("quote, dollar and backquote")
        << quoted << QStringList { quoted, uniqueName(QStringLiteral("its%1")) }
        << QStringList { quoted };

    // The system keeps 15 bytes of a name: a longer one must not end the
    // process whose whole name is those 15 bytes.
    const QString longName = uniqueName(QStringLiteral("long-product-%1-name.exe"));
    QTest::newRow("longer than the system keeps")
        << longName << QStringList { longName.left(15) } << QStringList();
}

void tst_Platform::stopCommandEndsByName()
{
    QFETCH(QString, target);
    QFETCH(QStringList, running);
    QFETCH(QStringList, ended);

    for (const QString &name : running)
        QVERIFY2(startNamed(name), qPrintable(name));

    runCommand(stopCommand(target));

    // Killed or not, each process ends by a signal: the survivors by the
    // one sent here, which shows the command did not reach them.
    for (int i = 0; i < running.size(); ++i) {
        QProcess *process = processes[size_t(i)].get();
        const QString name = running.at(i);
        const bool shouldEnd = ended.contains(name);
        if (!shouldEnd)
            process->terminate();
        QVERIFY2(process->waitForFinished(30000), qPrintable(name));
        QCOMPARE(process->exitStatus(), QProcess::CrashExit);
        QCOMPARE(process->exitCode(), shouldEnd ? SIGKILL : SIGTERM);
    }
}

#endif

QTEST_GUILESS_MAIN(tst_Platform)
#include "tst_platform.moc"
