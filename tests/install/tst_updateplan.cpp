#include "installation.h"
#include "updateplan.h"

#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

// Lays out one entry below root: "path" a file, "path/" a folder,
// "path->target" a link, "path|" a named pipe.
bool make(const QString &root, const QString &entry)
{
    const QStringList link = entry.split(QStringLiteral("->"));
    const QString path = root + QLatin1Char('/') + link.first();
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    if (link.size() == 2)
        return QFile::link(link.last(), path);
    if (entry.endsWith(QLatin1Char('/')))
        return QDir().mkpath(path);
#ifndef Q_OS_WIN
    if (entry.endsWith(QLatin1Char('|')))
        return ::mkfifo(QFile::encodeName(path.chopped(1)).constData(), 0600) == 0;
#endif
    return Installation::writeFile(path, entry.toUtf8());
}

QStringList describe(const QList<UpdatePlan::Entry> &entries)
{
    QStringList lines;
    for (const UpdatePlan::Entry &entry : entries)
        lines.append(entry.path
                     + (entry.old == UpdateJournal::OldVersion::Existed
                            ? QLatin1String(" replaces")
                            : QLatin1String(" is new")));
    return lines;
}

} // namespace

// What an apply would move, read off a staged tree and an installation.
class tst_UpdatePlan : public QObject
{
    Q_OBJECT

private slots:
    void make_data();
    void make();
};

void tst_UpdatePlan::make_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QStringList>("staged");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("error"); // part of errorString(); empty: planned

    const QStringList none;
    // "/" makes the staging folder alone.
    QTest::newRow("nothing staged") << none << QStringList { "/" } << none << QString();
    QTest::newRow("a new file") << none << QStringList { "a.txt" } << QStringList { "a.txt is new" }
                                << QString();
    QTest::newRow("a replaced file") << QStringList { "a.txt" } << QStringList { "a.txt" }
                                     << QStringList { "a.txt replaces" } << QString();
    QTest::newRow("a new folder moves whole")
        << none << QStringList { "new/x.txt", "new/sub/y.txt", "new/empty/" }
        << QStringList { "new is new" } << QString();
    QTest::newRow("a folder both have is merged")
        << QStringList { "data/old.txt", "data/kept.txt" }
        << QStringList { "data/old.txt", "data/add.txt", "data/maps/north.bin" }
        << QStringList { "data/add.txt is new", "data/maps is new", "data/old.txt replaces" }
        << QString();
    QTest::newRow("in the order of the names")
        << QStringList { "b.txt" } << QStringList { "c.txt", "a/x.txt", "b.txt" }
        << QStringList { "a is new", "b.txt replaces", "c.txt is new" } << QString();
    QTest::newRow("a reserved name deeper down is a plain one")
        << QStringList { "data/" } << QStringList { "data/vlm_update.journal" }
        << QStringList { "data/vlm_update.journal is new" } << QString();
    QTest::newRow("a file over an installed folder")
        << QStringList { "docs/readme.txt" } << QStringList { "docs" } << none
        << QStringLiteral("docs is a folder in the installation but a file in the archive");
    QTest::newRow("a folder over an installed file")
        << QStringList { "notes.txt" } << QStringList { "notes.txt/inside.txt" } << none
        << QStringLiteral("notes.txt is a file in the installation but a folder in the archive");
    QTest::newRow("a reserved name, in another case")
        << none << QStringList { "a.txt", "VLM_UPDATE.Journal" } << none
        << QStringLiteral("the archive holds VLM_UPDATE.Journal, a name the updater keeps for "
                          "itself");
    QTest::newRow("the release record's name")
        << none << QStringList { "vlm_update.release" } << none
        << QStringLiteral("vlm_update.release, a name the updater keeps for itself");
#ifndef Q_OS_WIN
    // Making links on Windows takes a privilege the tests do not have.
    QTest::newRow("a staged link") << none << QStringList { "data/shortcut->a.txt" } << none
                                   << QStringLiteral("the archive holds a link, data/shortcut: "
                                                     "links are not installed");
    QTest::newRow("a link deep in a new folder")
        << none << QStringList { "new/sub/x.txt", "new/sub/shortcut->x.txt" } << none
        << QStringLiteral("the archive holds a link, new/sub/shortcut");
    // A link in the installation is not followed into the folder it names.
    QTest::newRow("a folder over an installed link")
        << QStringList { "elsewhere/", "data->elsewhere" } << QStringList { "data/x.txt" } << none
        << QStringLiteral("data is a file in the installation but a folder in the archive");
    QTest::newRow("a named pipe") << none << QStringList { "pipe|" } << none
                                  << QStringLiteral("the archive holds pipe, which is neither a "
                                                    "file nor a folder");
#endif
    QTest::newRow("nothing unpacked")
        << none << QStringList() << none
        << QStringLiteral("the unpacked folder vlm_update.staging cannot be read: ");
}

void tst_UpdatePlan::make()
{
    QFETCH(QStringList, installed);
    QFETCH(QStringList, staged);
    QFETCH(QStringList, entries);
    QFETCH(QString, error);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const InstallLayout layout { home.path(), QStringLiteral("vlm_update.zip"), QString() };
    for (const QString &entry : qAsConst(installed))
        QVERIFY2(::make(home.path(), entry), qPrintable(entry));
    for (const QString &entry : qAsConst(staged))
        QVERIFY2(::make(layout.stagingPath(), entry), qPrintable(entry));
    const auto before = Installation::filesBelow(home.path());

    UpdatePlan plan(layout);
    QCOMPARE(plan.make(), error.isEmpty());
    QVERIFY2(plan.errorString().contains(error), qPrintable(plan.errorString()));
    if (error.isEmpty())
        QCOMPARE(describe(plan.entries()), entries);
    QCOMPARE(Installation::filesBelow(home.path()), before);
}

QTEST_GUILESS_MAIN(tst_UpdatePlan)
#include "tst_updateplan.moc"
