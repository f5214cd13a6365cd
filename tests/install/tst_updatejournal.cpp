#include "installation.h"
#include "updatejournal.h"

#include <QTemporaryDir>
#include <QtTest>

using OldVersion = UpdateJournal::OldVersion;

namespace {

QStringList describe(const QList<UpdateJournal::Entry> &entries)
{
    QStringList lines;
    for (const UpdateJournal::Entry &entry : entries)
        lines.append(entry.path
                     + (entry.old == OldVersion::Existed ? QLatin1String(" existed")
                                                         : QLatin1String(" is new")));
    return lines;
}

} // namespace

// The journal is read back by a later start of the updater, perhaps after a
// crash: it takes what this updater wrote and nothing else.
class tst_UpdateJournal : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void writeAndRemove();
    void writeFails();
};

void tst_UpdateJournal::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("error"); // empty: read

    const QString foreign = QStringLiteral("it is not a journal this updater wrote");
    QTest::newRow("as written") << QByteArray(R"({"format":2,"entries":[{"path":"a","old":true},)"
                                              R"({"path":"b/c","old":false}]})")
                                << QStringList { "a existed", "b/c is new" } << QString();
    QTest::newRow("no entries") << QByteArray(R"({"format":2,"entries":[]})") << QStringList()
                                << QString();
    QTest::newRow("format 1: paths alone")
        << QByteArray(R"({"format":1,"paths":["a","b"]})") << QStringList() << foreign;
    QTest::newRow("paths alone under this format")
        << QByteArray(R"({"format":2,"paths":["a"]})") << QStringList() << foreign;
    QTest::newRow("a later format")
        << QByteArray(R"({"format":3,"entries":[]})") << QStringList() << foreign;
    QTest::newRow("no format") << QByteArray(R"({"entries":[]})") << QStringList() << foreign;
    QTest::newRow("entries not a list")
        << QByteArray(R"({"format":2,"entries":{}})") << QStringList() << foreign;
    QTest::newRow("cut short") << QByteArray(R"({"format":2,"entries":[{"pa)") << QStringList()
                               << foreign;
    QTest::newRow("empty") << QByteArray("") << QStringList() << foreign;
    QTest::newRow("an entry that does not say")
        << QByteArray(R"({"format":2,"entries":[{"path":"a"}]})") << QStringList()
        << QStringLiteral("an entry does not say whether an old version existed");
    QTest::newRow("an entry that says it in words")
        << QByteArray(R"({"format":2,"entries":[{"path":"a","old":"yes"}]})") << QStringList()
        << QStringLiteral("an entry does not say whether an old version existed");
}

void tst_UpdateJournal::read()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, entries);
    QFETCH(QString, error);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("vlm_update.journal"));
    QVERIFY(Installation::writeFile(path, content));

    UpdateJournal journal(path);
    QVERIFY(journal.exists());
    QCOMPARE(journal.read(), error.isEmpty());
    QCOMPARE(journal.errorString(), error);
    QCOMPARE(describe(journal.entries()), entries);
}

// What one apply writes, the next start reads, and the end of the update
// removes.
void tst_UpdateJournal::writeAndRemove()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("vlm_update.journal"));
    const QList<UpdateJournal::Entry> entries { { QStringLiteral("vlm.exe"), OldVersion::Existed },
                                                { QStringLiteral("资料"), OldVersion::None } };
    QVERIFY(UpdateJournal(path).write(entries));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList { "vlm_update.journal" });

    UpdateJournal later(path);
    QVERIFY2(later.read(), qPrintable(later.errorString()));
    QCOMPARE(describe(later.entries()), describe(entries));
    QVERIFY2(later.remove(), qPrintable(later.errorString()));
    QVERIFY(!later.exists());
    QVERIFY2(later.remove(), qPrintable(later.errorString()));
    QVERIFY(!later.read());
    QCOMPARE(later.errorString(), Installation::openError(path));
}

// Nothing has moved when the journal cannot be written: none may stay.
void tst_UpdateJournal::writeFails()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing/vlm_update.journal"));
    UpdateJournal journal(path);
    QVERIFY(!journal.write({ { QStringLiteral("vlm.exe"), OldVersion::Existed } }));
    QVERIFY(!journal.errorString().isEmpty());
    QVERIFY(!journal.exists());
    QCOMPARE(journal.entries().size(), 0);
}

QTEST_GUILESS_MAIN(tst_UpdateJournal)
#include "tst_updatejournal.moc"
