#include <QtTest>

#include "filehelpers.h"

#include <memory>

namespace {

// Builds entries below root: "a/b/" is a folder, "a/f" an empty file and
// "a/l@t" a symbolic link a/l to root/t.
bool createTree(const QString &root, const QStringList &entries)
{
    const QDir dir(root);
    for (const QString &entry : entries) {
        const int at = entry.indexOf(QLatin1Char('@'));
        const QString path = dir.filePath(entry.left(at));
        if (!dir.mkpath(QFileInfo(path).path()))
            return false;
        if (at >= 0) {
            if (!QFile::link(dir.filePath(entry.mid(at + 1)), path))
                return false;
        } else if (entry.endsWith(QLatin1Char('/'))) {
            if (!dir.mkpath(path))
                return false;
        } else {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write("data") != 4)
                return false;
        }
    }
    return true;
}

// Everything below root, hidden entries included, without following links:
// folders end in "/", links in "@".
QStringList listTree(const QString &root)
{
    QStringList entries;
    const QDir dir(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString entry = dir.relativeFilePath(info.filePath());
        if (info.isSymLink())
            entry += QLatin1Char('@');
        else if (info.isDir())
            entry += QLatin1Char('/');
        entries << entry;
    }
    entries.sort();
    return entries;
}

using Removal = bool (*)(const QString &);

} // namespace

Q_DECLARE_METATYPE(Removal)

class tst_FileHelpers : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listContains_data();
    void listContains();
    void removal_data();
    void removal();
    void removalOfEmptyPath_data();
    void removalOfEmptyPath();
    void removalLeavesUndeletableFile_data();
    void removalLeavesUndeletableFile();
    void findMaxFile_data();
    void findMaxFile();
    void findMaxFileInWorkingDirectory();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_savedCurrent;
    QString m_immutable;
};

void tst_FileHelpers::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    m_savedCurrent = QDir::currentPath();
}

void tst_FileHelpers::cleanup()
{
    QDir::setCurrent(m_savedCurrent);
    if (!m_immutable.isEmpty())
        QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), m_immutable });
    m_immutable.clear();
    m_dir.reset();
}

void tst_FileHelpers::listContains_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<bool>("expected");

    QTest::newRow("empty list") << "a" << QStringList() << false;
    QTest::newRow("first") << "a" << QStringList { "a", "b" } << true;
    QTest::newRow("last") << "b" << QStringList { "a", "b" } << true;
    QTest::newRow("other case") << "A" << QStringList { "a", "b" } << false;
    QTest::newRow("prefix") << "a" << QStringList { "ab" } << false;
    QTest::newRow("empty value") << "" << QStringList { "a", "" } << true;
}

void tst_FileHelpers::listContains()
{
    QFETCH(QString, value);
    QFETCH(QStringList, list);
    QFETCH(bool, expected);

    QCOMPARE(::listContains(value, list), expected);
}

void tst_FileHelpers::removal_data()
{
    QTest::addColumn<Removal>("remove");
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("survivors");

    const Removal all = removeDirectory;
    const Removal files = removeDirectoryFiles;
    const QStringList outside = { "out/", "out/kept", "out/sub/", "out/sub/deep" };

    QTest::newRow("all: nested folders")
        << all << QStringList { "d/a", "d/s/b", "d/s/t/c", "d/s/t/u/", "d/e/" } << "d" << true
        << QStringList();
    QTest::newRow("all: empty folder")
        << all << QStringList { "d/" } << "d" << true << QStringList();
    QTest::newRow("all: missing path")
        << all << QStringList { "x" } << "d" << true << QStringList { "x" };
    QTest::newRow("all: relative to root")
        << all << QStringList { "p/c/f" } << "p/c" << true << QStringList { "p/" };
    QTest::newRow("all: hidden file") << all << QStringList { "d/a", "d/s/.h", "d/s/b", "d/t/c" }
                                      << "d" << false << QStringList { "d/", "d/s/", "d/s/.h" };
    QTest::newRow("all: hidden folder")
        << all << QStringList { "d/.git/config", "d/a" } << "d" << false
        << QStringList { "d/", "d/.git/", "d/.git/config" };
    QTest::newRow("all: links out of the tree") << all
                                                << QStringList(outside)
            + QStringList { "d/a", "d/dl@out", "d/fl@out/kept", "d/s/dl@out/sub" }
                                                << "d" << true << outside;
#ifndef Q_OS_WIN
    // Qt makes a shortcut file on Windows, not a link a folder can be named by.
    QTest::newRow("all: link named as the tree")
        << all << QStringList(outside) + QStringList { "dl@out" } << "dl" << true << outside;
#endif

    QTest::newRow("files: only files")
        << files << QStringList { "d/a", "d/b" } << "d" << true << QStringList();
    QTest::newRow("files: empty folder")
        << files << QStringList { "d/" } << "d" << true << QStringList();
    QTest::newRow("files: missing path")
        << files << QStringList { "x" } << "d" << true << QStringList { "x" };
    QTest::newRow("files: subfolder stays whole")
        << files << QStringList { "d/a", "d/s/b", "d/s/t/" } << "d" << false
        << QStringList { "d/", "d/s/", "d/s/b", "d/s/t/" };
    QTest::newRow("files: parent stays")
        << files << QStringList { "p/c/f" } << "p/c" << true << QStringList { "p/" };
    QTest::newRow("files: hidden file")
        << files << QStringList { "d/a", "d/.h" } << "d" << false << QStringList { "d/", "d/.h" };
    QTest::newRow("files: links out of the tree")
        << files << QStringList(outside) + QStringList { "d/a", "d/dl@out", "d/fl@out/kept" } << "d"
        << true << outside;
#ifndef Q_OS_WIN
    QTest::newRow("files: link named as the tree")
        << files << QStringList(outside) + QStringList { "dl@out" } << "dl" << true << outside;
#endif
}

void tst_FileHelpers::removal()
{
    QFETCH(Removal, remove);
    QFETCH(QStringList, tree);
    QFETCH(QString, path);
    QFETCH(bool, expected);
    QFETCH(QStringList, survivors);

    const QString root = m_dir->path();
    QVERIFY(createTree(root, tree));

    QCOMPARE(remove(QDir(root).filePath(path)), expected);
    QCOMPARE(listTree(root), survivors);
}

void tst_FileHelpers::removalOfEmptyPath_data()
{
    QTest::addColumn<Removal>("remove");
    QTest::newRow("removeDirectory") << Removal(removeDirectory);
    QTest::newRow("removeDirectoryFiles") << Removal(removeDirectoryFiles);
}

// QDir reads an empty path as the working directory; it must not be touched.
void tst_FileHelpers::removalOfEmptyPath()
{
    QFETCH(Removal, remove);
    QVERIFY(createTree(m_dir->path(), { "a", "s/b" }));
    QVERIFY(QDir::setCurrent(m_dir->path()));

    QCOMPARE(remove(QString()), false);
    QCOMPARE(listTree(m_dir->path()), QStringList({ "a", "s/", "s/b" }));
}

void tst_FileHelpers::removalLeavesUndeletableFile_data()
{
    QTest::addColumn<Removal>("remove");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("survivors");

    QTest::newRow("removeDirectory") << Removal(removeDirectory) << "d"
                                     << QStringList { "d/", "d/s/", "d/s/t/", "d/s/t/locked" };
    QTest::newRow("removeDirectoryFiles")
        << Removal(removeDirectoryFiles) << "d/s/t"
        << QStringList { "d/", "d/a", "d/s/", "d/s/b", "d/s/t/", "d/s/t/locked", "d/u/", "d/u/c" };
}

void tst_FileHelpers::removalLeavesUndeletableFile()
{
    QFETCH(Removal, remove);
    QFETCH(QString, path);
    QFETCH(QStringList, survivors);

    const QDir root(m_dir->path());
    QVERIFY(createTree(root.path(), { "d/a", "d/s/b", "d/s/t/locked", "d/s/t/free", "d/u/c" }));
    const QString locked = root.filePath("d/s/t/locked");
    QProcess chattr;
    chattr.start(QStringLiteral("chattr"), { QStringLiteral("+i"), locked });
    if (!chattr.waitForFinished() || chattr.exitStatus() != QProcess::NormalExit
        || chattr.exitCode() != 0) {
        QSKIP("chattr +i is unavailable here (no chattr, or the file system lacks the flag), "
              "so no file resists removal");
    }
    m_immutable = locked;

    QCOMPARE(remove(root.filePath(path)), false);
    QCOMPARE(listTree(root.path()), survivors);
}

void tst_FileHelpers::findMaxFile_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QString>("expected");

    QTest::newRow("one file") << QStringList { "d/model.max" } << "model.max";
    QTest::newRow("name order ignores case")
        << QStringList { "d/B.max", "d/a.max", "d/C.max" } << "a.max";
    QTest::newRow("suffix in other case") << QStringList { "d/scene.MAX" } << QString();
    QTest::newRow("two dots") << QStringList { "d/scene.old.max" } << QString();
    QTest::newRow("max is not the suffix") << QStringList { "d/scene.max.bak" } << QString();
    QTest::newRow("folder named x.max") << QStringList { "d/x.max/" } << QString();
    QTest::newRow("folder before file") << QStringList { "d/a.max/", "d/b.max" } << "b.max";
    QTest::newRow("hidden file") << QStringList { "d/.max", "d/.h.max" } << QString();
    QTest::newRow("among others") << QStringList { "d/A.MAX", "d/a.b.max", "d/m.max/", "d/readme",
                                                   "d/z.max" }
                                  << "z.max";
    QTest::newRow("link to a file") << QStringList { "t", "d/l.max@t" } << "l.max";
    QTest::newRow("empty folder") << QStringList { "d/" } << QString();
    QTest::newRow("missing folder") << QStringList { "x.max" } << QString();
}

void tst_FileHelpers::findMaxFile()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, expected);

    QVERIFY(createTree(m_dir->path(), tree));
    QCOMPARE(::findMaxFile(m_dir->filePath("d")), expected);
}

void tst_FileHelpers::findMaxFileInWorkingDirectory()
{
    QVERIFY(createTree(m_dir->path(), { "b.max", "d/a.max" }));
    QVERIFY(QDir::setCurrent(m_dir->path()));

    QCOMPARE(::findMaxFile(QString()), QStringLiteral("b.max"));
    QCOMPARE(::findMaxFile("d"), QStringLiteral("a.max"));
}

QTEST_GUILESS_MAIN(tst_FileHelpers)
#include "tst_filehelpers.moc"
