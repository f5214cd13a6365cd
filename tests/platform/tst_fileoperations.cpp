#include "fileoperations.h"
#include "installation.h"

#ifndef Q_OS_WIN
#include "smallfilesystem.h"
#endif

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

using namespace Installation;

namespace {

// Lays out one entry below root: "path" a file holding its own name,
// "path/" a folder.
bool make(const QString &root, const QString &entry)
{
    const QString path = root + QLatin1Char('/') + entry;
    if (entry.endsWith(QLatin1Char('/')))
        return QDir().mkpath(path);
    return QDir().mkpath(QFileInfo(path).path()) && writeFile(path, entry.toUtf8());
}

enum class Operation { Move, Remove, RemoveReadOnly, MakeFolder, List, Sync };

bool run(Operation operation, const QString &root, const QString &path, const QString &target,
         QString *errorString)
{
    const QString full = root + QLatin1Char('/') + path;
    switch (operation) {
    case Operation::Move:
        return moveEntry(full, root + QLatin1Char('/') + target, errorString);
    case Operation::Remove:
        return removeFile(full, true, errorString);
    case Operation::RemoveReadOnly:
        return QFile::setPermissions(full, QFileDevice::ReadOwner | QFileDevice::ReadUser)
            && removeFile(full, false, errorString);
    case Operation::MakeFolder:
        return makeFolder(full, errorString);
    case Operation::List:
        return canListFolder(full, errorString);
    case Operation::Sync:
        return syncFolder(full, errorString) && syncMoved(root, { path }, errorString);
    }
    return false;
}

// "path:content" of each file below root.
QStringList filesIn(const QString &root)
{
    QStringList files;
    const QMap<QString, QByteArray> found = filesBelow(root);
    for (auto it = found.cbegin(); it != found.cend(); ++it)
        files.append(it.key() + QLatin1Char(':') + QString::fromUtf8(it.value()));
    return files;
}

#ifndef Q_OS_WIN
// A held file's tries take about the sum of the pauses.
int heldPausesMs()
{
    int sum = 0;
    for (const int pause : HeldFilePausesMs)
        sum += pause;
    return sum;
}
#endif

} // namespace

Q_DECLARE_METATYPE(Operation)

// The file operations the install builds on, on the real file system.
class tst_FileOperations : public QObject
{
    Q_OBJECT

private slots:
    void operation_data();
    void operation();
    void writeFileDurably_data();
    void writeFileDurably();
    void heldForGood();
};

void tst_FileOperations::operation_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("target"); // of a move
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QStringList>("after"); // the files below the folder, with their content
    QTest::addColumn<QString>("reason"); // on Linux; elsewhere only one is asked for

    const Operation move = Operation::Move;
    const Operation remove = Operation::Remove;
    const Operation folder = Operation::MakeFolder;
    const Operation list = Operation::List;
    const Operation sync = Operation::Sync;
    const QString missing = QStringLiteral("No such file or directory");
    QTest::newRow("a file moved") << QStringList { "a" } << move << "a"
                                  << "b" << true << QStringList { "b:a" } << QString();
    QTest::newRow("a folder moved whole")
        << QStringList { "d/x", "d/e/y" } << move << "d"
        << "f" << true << QStringList { "f/e/y:d/e/y", "f/x:d/x" } << QString();
    QTest::newRow("no move onto a file")
        << QStringList { "a", "b" } << move << "a"
        << "b" << false << QStringList { "a:a", "b:b" } << QStringLiteral("File exists");
    QTest::newRow("no move onto an empty folder")
        << QStringList { "a", "b/" } << move << "a"
        << "b" << false << QStringList { "a:a" } << QStringLiteral("File exists");
    QTest::newRow("no move of what is not there")
        << QStringList { "b" } << move << "a"
        << "c" << false << QStringList { "b:b" } << missing;
    QTest::newRow("no move into a missing folder")
        << QStringList { "a" } << move << "a"
        << "no/b" << false << QStringList { "a:a" } << missing;
    QTest::newRow("a file removed") << QStringList { "a", "b" } << remove << "a" << QString()
                                    << true << QStringList { "b:b" } << QString();
    QTest::newRow("a read-only file removed")
        << QStringList { "a", "b" } << Operation::RemoveReadOnly << "a" << QString() << true
        << QStringList { "b:b" } << QString();
    QTest::newRow("removing what is not there") << QStringList { "b" } << remove << "a" << QString()
                                                << true << QStringList { "b:b" } << QString();
    QTest::newRow("a folder is not a file")
        << QStringList { "d/x" } << remove << "d" << QString() << false << QStringList { "d/x:d/x" }
        << QStringLiteral("Is a directory");
    QTest::newRow("folders made down to the last")
        << QStringList() << folder << "a/b/c" << QString() << true << QStringList() << QString();
    QTest::newRow("a folder below a file")
        << QStringList { "a" } << folder << "a/b/c" << QString() << false << QStringList { "a:a" }
        << QStringLiteral("File exists");
    QTest::newRow("a folder listed") << QStringList { "d/x" } << list << "d" << QString() << true
                                     << QStringList { "d/x:d/x" } << QString();
    QTest::newRow("a missing folder listed")
        << QStringList() << list << "d" << QString() << false << QStringList() << missing;
    QTest::newRow("a file listed") << QStringList { "a" } << list << "a" << QString() << false
                                   << QStringList { "a:a" } << QStringLiteral("Not a directory");
    QTest::newRow("a folder synced") << QStringList { "d/x" } << sync << "d" << QString() << true
                                     << QStringList { "d/x:d/x" } << QString();
    QTest::newRow("a missing folder synced")
        << QStringList() << sync << "d" << QString() << false << QStringList() << missing;
}

void tst_FileOperations::operation()
{
    QFETCH(QStringList, before);
    QFETCH(Operation, operation);
    QFETCH(QString, path);
    QFETCH(QString, target);
    QFETCH(bool, succeeds);
    QFETCH(QStringList, after);
    QFETCH(QString, reason);
    QTemporaryDir root;
    for (const QString &entry : qAsConst(before))
        QVERIFY2(make(root.path(), entry), qPrintable(entry));

    QString errorString;
    QCOMPARE(run(operation, root.path(), path, target, &errorString), succeeds);
    QCOMPARE(filesIn(root.path()), after);
    if (succeeds)
        return;
    // The system's own words, without a full stop that the log would double.
    QVERIFY(!errorString.isEmpty());
    QVERIFY(!errorString.endsWith(QLatin1Char('.')));
#ifndef Q_OS_WIN
    QCOMPARE(errorString, reason);
#endif
}

void tst_FileOperations::writeFileDurably_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QStringList>("after");

    QTest::newRow("a new file") << QStringList() << QStringLiteral("f") << true
                                << QStringList { "f:new" };
    QTest::newRow("an old one replaced whole")
        << QStringList { "f" } << QStringLiteral("f") << true << QStringList { "f:new" };
    QTest::newRow("an old part file replaced")
        << QStringList { "f.part" } << QStringLiteral("f") << true << QStringList { "f:new" };
    // The rename onto a folder fails: the folder stays, and no part file.
    QTest::newRow("a folder in its place")
        << QStringList { "f/x" } << QStringLiteral("f") << false << QStringList { "f/x:f/x" };
    QTest::newRow("in a missing folder")
        << QStringList { "g" } << QStringLiteral("d/f") << false << QStringList { "g:g" };
}

// The file holds its old content or the whole new one, never a part.
void tst_FileOperations::writeFileDurably()
{
    QFETCH(QStringList, before);
    QFETCH(QString, path);
    QFETCH(bool, succeeds);
    QFETCH(QStringList, after);
    QTemporaryDir root;
    for (const QString &entry : qAsConst(before))
        QVERIFY(make(root.path(), entry));

    QString errorString;
    QCOMPARE(::writeFileDurably(root.filePath(path), "new", &errorString), succeeds);
    QCOMPARE(errorString.isEmpty(), succeeds);
    QCOMPARE(filesIn(root.path()), after);
}

// A mount point is held by the system: its move is tried again for the
// whole bound, then given up with the system's reason.
void tst_FileOperations::heldForGood()
{
#ifdef Q_OS_WIN
    QSKIP("a file held by another program is shown by the installer's suite");
#else
    QTemporaryDir root;
    const QString mounted = root.filePath(QStringLiteral("mounted"));
    QVERIFY(QDir().mkpath(mounted));
    SmallFileSystem disk;
    if (!disk.mount(mounted, 1 << 20))
        QSKIP(qPrintable(SmallFileSystem::whyUnavailable()));

    QElapsedTimer timer;
    timer.start();
    QString errorString;
    QVERIFY(!moveEntry(mounted, root.filePath(QStringLiteral("moved")), &errorString));
    QVERIFY2(timer.elapsed() >= heldPausesMs(), QByteArray::number(timer.elapsed()));
    QCOMPARE(errorString, QStringLiteral("Device or resource busy"));
    QVERIFY(QFileInfo(mounted).isDir());
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("moved"))));
#endif
}

QTEST_GUILESS_MAIN(tst_FileOperations)
#include "tst_fileoperations.moc"
