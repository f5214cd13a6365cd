#include "commandrunner.h"
#include "logreader.h"
#include "shellcommand.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#ifndef Q_OS_WIN
#include <signal.h>
#endif

namespace {

// Long enough for a shell to start under the sanitizers, short enough to
// keep the slow cases quick.
const int shortBound = 700;
// How late a call may return after its bound on a busy machine.
const int lateness = 3000;

} // namespace

class tst_CommandRunner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

#ifdef Q_OS_WIN
    void windowsShell_data();
    void windowsShell();
#else
    void output_data();
    void output();
    void separateShells();
    void finishBound_data();
    void finishBound();
    void defaultBoundKillsShell();
    void boundEndsWhatShellStarted();
    void nonAsciiCommandLine();
    void shellNotFound();
    void shellCommand_data();
    void shellCommand();
#endif

private:
    bool readRecords(QByteArrayList *texts) const;
#ifndef Q_OS_WIN
    pid_t loggedPid() const;
#endif

    QDir logDir;
};

void tst_CommandRunner::initTestCase()
{
    logDir.setPath(QCoreApplication::applicationDirPath() + QLatin1String("/log"));
}

void tst_CommandRunner::init()
{
    QVERIFY(logDir.removeRecursively());
    QVERIFY(logDir.mkpath(QStringLiteral(".")));
}

void tst_CommandRunner::cleanup()
{
    QVERIFY(logDir.removeRecursively());
}

// Splits the log into the texts of its records; false unless every byte of
// every file belongs to a well-formed record.
bool tst_CommandRunner::readRecords(QByteArrayList *texts) const
{
    const LogReader log(logDir.path());
    *texts = log.records();
    return log.wellFormed();
}

#ifdef Q_OS_WIN
void tst_CommandRunner::windowsShell_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QByteArray>("logged");
    QTest::addColumn<QByteArray>("notLogged");

    QTest::newRow("output") << "echo hello\n" << true << QByteArray("hello") << QByteArray();
    QTest::newRow("standard error is not logged") << "echo out & echo err 1>&2\n"
                                                  << true << QByteArray("out") << QByteArray("err");
    QTest::newRow("failed command") << "echo before & exit 3\n"
                                    << false << QByteArray("before") << QByteArray();
    QTest::newRow("runs in the given folder") << "cd\n"
                                              << true << QByteArray("<folder>") << QByteArray();
}

// cmd, as the updater runs it: through the blocking runner and without
// blocking, each logging one record of what cmd printed.
void tst_CommandRunner::windowsShell()
{
    QFETCH(QString, commandLine);
    QFETCH(bool, succeeded);
    QFETCH(QByteArray, logged);
    QFETCH(QByteArray, notLogged);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    logged.replace("<folder>", QDir::toNativeSeparators(folder.path()).toLocal8Bit());

    runCommand(commandLine, folder.path(), DefaultFinishTimeoutMs);
    ShellCommand command;
    QSignalSpy finished(&command, &ShellCommand::finished);
    command.start(commandLine, folder.path());
    QVERIFY(finished.wait(DefaultFinishTimeoutMs));
    QCOMPARE(finished.first().first().toBool(), succeeded);

    QByteArrayList texts;
    QVERIFY(readRecords(&texts));
    QCOMPARE(texts.size(), 2);
    for (const QByteArray &text : qAsConst(texts)) {
        QVERIFY2(text.contains(logged), text.constData());
        QVERIFY2(notLogged.isEmpty() || !text.contains(notLogged), text.constData());
    }
}
#else
void tst_CommandRunner::output_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("one command") << "echo hello\n" << QByteArray("hello\n");
    QTest::newRow("no final line feed") << "echo hello" << QByteArray("hello\n");
    QTest::newRow("several lines") << "echo one; echo two\necho three\n"
                                   << QByteArray("one\ntwo\nthree\n");
    QTest::newRow("unquoted words") << "echo a   b\n" << QByteArray("a b\n");
    QTest::newRow("no output") << "true\n" << QByteArray();
    QTest::newRow("empty command line") << QString() << QByteArray();
    QTest::newRow("standard error is not logged") << "echo out; echo err >&2\n"
                                                  << QByteArray("out\n");
    QTest::newRow("failing command") << "echo before; false; exit 3\n" << QByteArray("before\n");
    QTest::newRow("zero byte in output") << "printf 'ab\\000cd'\n" << QByteArray("ab");
    QTest::newRow("zero character in command line")
        << QLatin1String("echo ab") + QChar(0) + QLatin1String("; echo cd\n") << QByteArray("ab\n");
    QTest::newRow("non-ASCII output") << QString::fromUtf8("echo 'äö 升级'\n")
                                      << QByteArray("\xc3\xa4\xc3\xb6 \xe5\x8d\x87\xe7\xba\xa7\n");
}

void tst_CommandRunner::output()
{
    QFETCH(QString, commandLine);
    QFETCH(QByteArray, expected);

    if (QTextCodec::codecForLocale()->mibEnum() != 106)
        QSKIP("the expected bytes assume a UTF-8 locale");

    runCommand(commandLine);

    QByteArrayList texts;
    QVERIFY(readRecords(&texts));
    QCOMPARE(texts, QByteArrayList { expected });
}

void tst_CommandRunner::separateShells()
{
    runCommand(QStringLiteral("x=first; cd /; echo \"[$x]\"; pwd -P\n"));
    runCommand(QStringLiteral("echo \"[$x]\"; pwd -P\n"));

    QByteArrayList texts;
    QVERIFY(readRecords(&texts));
    const QByteArray here = QFile::encodeName(QDir::currentPath());
    QCOMPARE(texts, (QByteArrayList { "[first]\n/\n", "[]\n" + here + '\n' }));
}

void tst_CommandRunner::finishBound_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<int>("bound");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("minElapsed");
    QTest::addColumn<int>("maxElapsed");

    // exec: the killed shell must not leave a sleeping child behind.
    QTest::newRow("ends before the bound") << "echo fast\n"
                                           << shortBound << QByteArray("fast\n") << 0 << shortBound;
    QTest::newRow("killed at the bound")
        << "echo before; exec sleep 60\n"
        << shortBound << QByteArray("before\n") << shortBound << shortBound + lateness;
    QTest::newRow("killed before its output")
        << "exec sleep 2; echo after\n"
        << shortBound << QByteArray() << shortBound << shortBound + lateness;
    QTest::newRow("no bound") << "sleep 2; echo after\n"
                              << -1 << QByteArray("after\n") << 2000 << 2000 + lateness;
}

void tst_CommandRunner::finishBound()
{
    QFETCH(QString, commandLine);
    QFETCH(int, bound);
    QFETCH(QByteArray, expected);
    QFETCH(int, minElapsed);
    QFETCH(int, maxElapsed);

    QElapsedTimer timer;
    timer.start();
    runCommand(commandLine, QString(), bound);
    const qint64 elapsed = timer.elapsed();

    QVERIFY2(elapsed >= minElapsed && elapsed < maxElapsed, QByteArray::number(elapsed));
    QByteArrayList texts;
    QVERIFY(readRecords(&texts));
    QCOMPARE(texts, QByteArrayList { expected });
}

// The build's own bound, and the shell it kills is gone once the call returns.
// The process number the command printed as the log's one record, or -1.
pid_t tst_CommandRunner::loggedPid() const
{
    QByteArrayList texts;
    if (!readRecords(&texts) || texts.size() != 1) {
        qWarning("the log holds %d records", int(texts.size()));
        return -1;
    }
    bool isNumber = false;
    const pid_t pid = texts.first().trimmed().toInt(&isNumber);
    if (!isNumber)
        qWarning("the record is no process number: %s", texts.first().constData());
    return isNumber ? pid : -1;
}

void tst_CommandRunner::defaultBoundKillsShell()
{
    QElapsedTimer timer;
    timer.start();
    runCommand(QStringLiteral("echo $$; exec sleep 60\n"));
    const qint64 elapsed = timer.elapsed();

    QVERIFY2(elapsed >= 10000 && elapsed < 10000 + lateness, QByteArray::number(elapsed));
    const pid_t pid = loggedPid();
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, 0), -1);
    QCOMPARE(errno, ESRCH);
}

// What the shell started dies with it at the bound: a stop command left
// running would act after the update had started the product again.
void tst_CommandRunner::boundEndsWhatShellStarted()
{
    runCommand(QStringLiteral("sleep 60 & echo $!; wait\n"), QString(), shortBound);
    const pid_t pid = loggedPid();
    QVERIFY(pid > 0);
    // Killed, the child waits for init to reap it: gone once kill() fails.
    QTRY_VERIFY_WITH_TIMEOUT(::kill(pid, 0) == -1, lateness);
}

// A directory named in Chinese must reach the shell so that it finds it.
void tst_CommandRunner::nonAsciiCommandLine()
{
    if (QTextCodec::codecForLocale()->mibEnum() != 106)
        QSKIP("the shell takes the bytes as UTF-8 only in a UTF-8 locale");

    QTemporaryDir temporary;
    QVERIFY(temporary.isValid());
    const QString folder = temporary.filePath(QString::fromUtf8("升级 目录"));
    QVERIFY(QDir().mkpath(folder));

    runCommand(QLatin1String("cd '") + folder
               + QString::fromUtf8("' && printf '%s' 'äö 升级' > out.txt && ls\n"));

    QFile out(folder + QLatin1String("/out.txt"));
    QVERIFY(out.open(QIODevice::ReadOnly));
    QCOMPARE(out.readAll(), QByteArray("\xc3\xa4\xc3\xb6 \xe5\x8d\x87\xe7\xba\xa7"));
    QByteArrayList texts;
    QVERIFY(readRecords(&texts));
    QCOMPARE(texts, QByteArrayList { "out.txt\n" });
}

void tst_CommandRunner::shellNotFound()
{
    QTemporaryDir emptyFolder;
    QVERIFY(emptyFolder.isValid());
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(emptyFolder.path()));
    QElapsedTimer timer;
    timer.start();
    runCommand(QStringLiteral("echo hello\n"), QString(), shortBound);
    const qint64 elapsed = timer.elapsed();
    ShellCommand command;
    QSignalSpy finished(&command, &ShellCommand::finished);
    command.start(QStringLiteral("echo hello\n"), QString());
    QVERIFY(finished.wait(lateness));
    qputenv("PATH", path);

    QVERIFY2(elapsed < shortBound, QByteArray::number(elapsed));
    QCOMPARE(finished.first().first().toBool(), false);
    QByteArrayList texts;
    QVERIFY(readRecords(&texts));
    QCOMPARE(texts.size(), 2);
    for (const QByteArray &text : qAsConst(texts))
        QVERIFY2(text.startsWith("the shell sh could not be started: "), text.constData());
}

void tst_CommandRunner::shellCommand_data()
{
    QTest::addColumn<QString>("commandLine");
    QTest::addColumn<bool>("succeeded");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("succeeds") << "echo done\n" << true << QByteArray("done\n");
    QTest::newRow("last command fails") << "echo before; false\n"
                                        << false << QByteArray("before\n");
    QTest::newRow("exits with a status") << "exit 2\n" << false << QByteArray();
    QTest::newRow("runs in the given folder") << "pwd -P\n" << true << QByteArray("<folder>\n");
}

// The same shell without blocking: the event loop goes on while it runs,
// and its exit status comes back.
void tst_CommandRunner::shellCommand()
{
    QFETCH(QString, commandLine);
    QFETCH(bool, succeeded);
    QFETCH(QByteArray, expected);
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/升级 XXXXXX"));
    QVERIFY(folder.isValid());
    expected.replace("<folder>", QFile::encodeName(QDir(folder.path()).canonicalPath()));

    ShellCommand command;
    QSignalSpy finished(&command, &ShellCommand::finished);
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    command.start(QStringLiteral("sleep 0.3; ") + commandLine, folder.path());
    QVERIFY(command.isRunning());
    QVERIFY(finished.wait(10000));
    QVERIFY(ticks > 5);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toBool(), succeeded);
    QByteArrayList texts;
    QVERIFY(readRecords(&texts));
    QCOMPARE(texts, QByteArrayList { expected });
}

#endif

QTEST_GUILESS_MAIN(tst_CommandRunner)
#include "tst_commandrunner.moc"
