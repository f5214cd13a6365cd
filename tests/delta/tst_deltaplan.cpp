#include "deltaplan.h"
#include "testzip.h"

#include <QTest>

namespace {

using Entries = QVector<TestZipEntry>;

// An entry whose content, and so checksum, is told by seed.
TestZipEntry entry(const QByteArray &name, int size, quint32 seed, quint16 time = 0)
{
    return { name, QByteArray(size, char('a' + seed % 26)), seed, time };
}

ZipDirectory directoryOf(const QByteArray &archive)
{
    ZipDirectory directory;
    directory.parse(archive, 0, archive.size());
    return directory;
}

constexpr int Big = 1024 * 1024;
constexpr int Small = 10 * 1024;

} // namespace

Q_DECLARE_METATYPE(Entries)

// How the new archive is planned from the installed one's directory and
// the server's.
class tst_DeltaPlan : public QObject
{
    Q_OBJECT

private slots:
    void make_data();
    void make();
};

void tst_DeltaPlan::make_data()
{
    QTest::addColumn<Entries>("installed");
    QTest::addColumn<Entries>("offered");
    QTest::addColumn<bool>("zip64");
    QTest::addColumn<qint64>("gap");
    QTest::addColumn<bool>("endHoldsAll"); // the first read of the end took the whole archive
    QTest::addColumn<QString>("kinds"); // the pieces in order: Copy, Fetch, Known
    QTest::addColumn<qint64>("fetched"); // -1: not worth following

    const TestZipEntry a = entry("a.dll", Big, 1), b = entry("b.dat", Big, 2),
                       c = entry("c.exe", Big, 3), d = entry("d.txt", Big, 4);
    const Entries release { a, b, c };
    const qint64 gap = 256 * 1024;

    QTest::newRow("unchanged") << release << release << false << gap << false << "CK" << qint64(0);
    const TestZipEntry b2 = entry("b.dat", Big, 5);
    QTest::newRow("one changed") << release << Entries { a, b2, c } << false << gap << false
                                 << "CFCK" << testZipExtent(b2);
    QTest::newRow("one added") << release << Entries { a, b, c, d } << false << gap << false
                               << "CFK" << testZipExtent(d);
    QTest::newRow("one removed") << release << Entries { a, c } << false << gap << false << "CCK"
                                 << qint64(0);
    QTest::newRow("reordered") << release << Entries { c, a, b } << false << gap << false << "CCK"
                               << qint64(0);
    // The data is reused, the header that names it fetched.
    const TestZipEntry renamed = entry("renamed.dat", Big, 2);
    QTest::newRow("renamed") << release << Entries { a, renamed, c } << false << gap << false
                             << "CFCK" << qint64(30 + renamed.name.size());
    const TestZipEntry touched = entry("b.dat", Big, 2, 7);
    QTest::newRow("only the header changed") << release << Entries { a, touched, c } << false << gap
                                             << false << "CFCK" << qint64(30 + touched.name.size());
    QTest::newRow("zip64, unchanged")
        << release << release << true << gap << false << "CK" << qint64(0);
    QTest::newRow("zip64, one changed")
        << release << Entries { a, b2, c } << true << gap << false << "CFCK" << testZipExtent(b2);
    QTest::newRow("nothing reusable")
        << release << Entries { entry("a.dll", Big, 6), b2, entry("c.exe", Big, 7) } << false << gap
        << false << "" << qint64(-1);

    // Two changes with a small unchanged entry between: one range.
    const TestZipEntry s = entry("s.ini", Small, 8), x = entry("x.dll", Small, 9),
                       y = entry("y.dll", Small, 10), x2 = entry("x.dll", Small, 11),
                       y2 = entry("y.dll", Small, 12);
    const Entries spread { x, s, y, a, b, c };
    const Entries spreadChanged { x2, s, y2, a, b, c };
    QTest::newRow("fetches merged across a small gap")
        << spread << spreadChanged << false << gap << false << "FCK"
        << testZipExtent(x2) + testZipExtent(s) + testZipExtent(y2);
    QTest::newRow("fetches apart across a large gap")
        << spread << spreadChanged << false << qint64(1024) << false << "FCFCK"
        << testZipExtent(x2) + testZipExtent(y2);
    QTest::newRow("changed bytes read with the end")
        << release << Entries { a, b2, c } << false << gap << true << "CKCK" << qint64(0);
}

void tst_DeltaPlan::make()
{
    QFETCH(Entries, installed);
    QFETCH(Entries, offered);
    QFETCH(bool, zip64);
    QFETCH(qint64, gap);
    QFETCH(bool, endHoldsAll);
    QFETCH(QString, kinds);
    QFETCH(qint64, fetched);
    const QByteArray old = testZip(installed, zip64);
    const QByteArray fresh = testZip(offered, zip64);
    const ZipDirectory offeredDirectory = directoryOf(fresh);
    const qint64 knownFrom = endHoldsAll ? 0 : offeredDirectory.directoryOffset();
    DeltaSettings settings;
    settings.mergeGap = gap;
    const DeltaPlan plan = DeltaPlan::make(directoryOf(old), offeredDirectory, knownFrom, settings);

    if (fetched < 0) {
        QVERIFY(!plan.isWorthwhile());
        QVERIFY2(plan.whyNot().contains(QStringLiteral("plain transfer")),
                 qPrintable(plan.whyNot()));
        return;
    }
    QVERIFY2(plan.isWorthwhile(), qPrintable(plan.whyNot()));
    QString seen;
    for (const DeltaSegment &piece : plan.segments())
        seen += QLatin1Char("CFK"[piece.kind]);
    QCOMPARE(seen, kinds);
    QCOMPARE(plan.fetched(), fetched);
    QCOMPARE(plan.fetchCount(), int(kinds.count(QLatin1Char('F'))));

    // Whatever the plan, it assembles the new archive byte for byte.
    QByteArray assembled;
    for (const DeltaSegment &piece : plan.segments()) {
        QCOMPARE(piece.offset, qint64(assembled.size()));
        assembled += piece.kind == DeltaSegment::Copy
            ? old.mid(int(piece.source), int(piece.length))
            : fresh.mid(int(piece.offset), int(piece.length));
    }
    QCOMPARE(assembled, fresh);
}

QTEST_GUILESS_MAIN(tst_DeltaPlan)
#include "tst_deltaplan.moc"
