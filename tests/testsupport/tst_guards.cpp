#include "immutablefile.h"
#include "installation.h"
#include "smallfilesystem.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace Installation;

class tst_Guards : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void smallFileSystem_data();
    void smallFileSystem();
    void unmountedWhenGone();
    void immutableFile_data();
    void immutableFile();

private:
    QScopedPointer<QTemporaryDir> root;
};

namespace {

bool isMountPoint(const QString &dir)
{
    return QStorageInfo(dir).rootPath() == QDir(dir).absolutePath();
}

} // namespace

void tst_Guards::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(root->isValid());
}

// A file system of the size asked for: a file that fits is written, one past
// the room left is not, and resizing moves that limit.
void tst_Guards::smallFileSystem_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("resized");

    QTest::newRow("1 MiB") << qint64(1 << 20) << qint64(0);
    QTest::newRow("4 MiB, then 2") << qint64(4 << 20) << qint64(2 << 20);
    QTest::newRow("1 MiB, then 3") << qint64(1 << 20) << qint64(3 << 20);
}

void tst_Guards::smallFileSystem()
{
    QFETCH(qint64, size);
    QFETCH(qint64, resized);

    SmallFileSystem disk;
    if (!disk.mount(root->path(), size))
        QSKIP(qPrintable(SmallFileSystem::whyUnavailable()));
    QVERIFY(isMountPoint(root->path()));
    QCOMPARE(disk.used(), qint64(0));
    if (resized != 0) {
        QVERIFY(disk.resize(resized));
        size = resized;
    }
    QCOMPARE(QStorageInfo(root->path()).bytesTotal(), size);
    QVERIFY(writeFile(root->filePath(QStringLiteral("fits.bin")), randomBytes(size / 2, 1)));
    QVERIFY(disk.used() >= size / 2);
    QVERIFY(!writeFile(root->filePath(QStringLiteral("too big.bin")), randomBytes(size, 2)));

    disk.unmount();
    QVERIFY(!isMountPoint(root->path()));
    QVERIFY(!QFile::exists(root->filePath(QStringLiteral("fits.bin"))));
    QCOMPARE(disk.used(), qint64(-1));
}

// A file still open there does not keep the mount past the guard.
void tst_Guards::unmountedWhenGone()
{
    QFile held(root->filePath(QStringLiteral("held.txt")));
    {
        SmallFileSystem disk;
        if (!disk.mount(root->path(), 1 << 20))
            QSKIP(qPrintable(SmallFileSystem::whyUnavailable()));
        QVERIFY(held.open(QIODevice::WriteOnly));
    }
    QVERIFY(!isMountPoint(root->path()));
}

// Nothing, root included, changes the file or folder while the guard holds
// it; once it lets go, everything does again.
void tst_Guards::immutableFile_data()
{
    QTest::addColumn<bool>("folder");

    QTest::newRow("file") << false;
    QTest::newRow("folder") << true;
}

void tst_Guards::immutableFile()
{
    QFETCH(bool, folder);

    const QString path = root->filePath(QStringLiteral("locked"));
    const QString inside = folder ? path + QStringLiteral("/inside.txt") : path;
    QVERIFY(folder ? QDir().mkdir(path) : writeFile(path, "old\n"));
    const QString moved = root->filePath(QStringLiteral("moved"));
    {
        ImmutableFile immutable;
        if (!immutable.set(path))
            QSKIP(qPrintable(ImmutableFile::whyUnavailable()));
        QVERIFY(!writeFile(inside, "new\n"));
        QVERIFY(!QDir().rename(path, moved));
    }
    QVERIFY(writeFile(inside, "new\n"));
    QVERIFY(QDir().rename(path, moved));
}

QTEST_GUILESS_MAIN(tst_Guards)
#include "tst_guards.moc"
