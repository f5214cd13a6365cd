#include "testzip.h"
#include "zipdirectory.h"

#include <QTest>

using Status = ZipDirectory::Status;
Q_DECLARE_METATYPE(Status)

namespace {

QVector<TestZipEntry> threeEntries()
{
    return { { "vlm.exe", QByteArray(5000, 'a'), 11, 0 },
             { "data/payload.bin", QByteArray(7000, 'b'), 22, 0 },
             { "readme.txt", QByteArray(30, 'c'), 33, 0 } };
}

} // namespace

// An archive's central directory read from the archive's end.
class tst_ZipDirectory : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void tst_ZipDirectory::parse_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<int>("tailSize"); // of the archive's last bytes given; -1: all
    QTest::addColumn<Status>("status");
    QTest::addColumn<int>("entries");
    QTest::addColumn<qint64>("neededFrom");

    const QByteArray plain = testZip(threeEntries());
    const qint64 directory = testZipExtent(threeEntries().at(0))
        + testZipExtent(threeEntries().at(1)) + testZipExtent(threeEntries().at(2));
    QTest::newRow("whole archive") << plain << -1 << Status::Complete << 3 << qint64(-1);
    QTest::newRow("its end only") << plain << int(plain.size() - directory) << Status::Complete << 3
                                  << qint64(-1);
    QTest::newRow("less than its directory") << plain << 100 << Status::NeedsMore << 0 << directory;
    QTest::newRow("comment") << testZip(threeEntries(), false, "release 2.0") << -1
                             << Status::Complete << 3 << qint64(-1);
    QTest::newRow("zip64") << testZip(threeEntries(), true) << -1 << Status::Complete << 3
                           << qint64(-1);
    // The end record alone: the zip64 locator before it is needed.
    const QByteArray zip64 = testZip(threeEntries(), true);
    QTest::newRow("zip64, end record only")
        << zip64 << 22 << Status::NeedsMore << 0 << qint64(zip64.size() - 42);
    QTest::newRow("no entries") << testZip({}) << -1 << Status::Complete << 0 << qint64(-1);
    QTest::newRow("not a zip") << QByteArray(3000, 'x') << -1 << Status::Invalid << 0 << qint64(-1);
    QByteArray fewer = plain;
    fewer[plain.size() - 12] = 2; // the end record counts 2 entries
    fewer[plain.size() - 14] = 2;
    QTest::newRow("end record counts fewer") << fewer << -1 << Status::Invalid << 0 << qint64(-1);
    QByteArray misplaced = plain;
    misplaced[plain.size() - 6] = char(misplaced.at(plain.size() - 6) + 1);
    QTest::newRow("directory offset off by one")
        << misplaced << -1 << Status::Invalid << 0 << qint64(-1);
    QTest::newRow("cut short") << plain.left(plain.size() - 30) << -1 << Status::Invalid << 0
                               << qint64(-1);
}

void tst_ZipDirectory::parse()
{
    QFETCH(QByteArray, archive);
    QFETCH(int, tailSize);
    QFETCH(Status, status);
    QFETCH(int, entries);
    QFETCH(qint64, neededFrom);
    const qint64 from = tailSize < 0 ? 0 : archive.size() - tailSize;
    ZipDirectory directory;
    QCOMPARE(directory.parse(archive.mid(int(from)), from, archive.size()), status);
    QCOMPARE(directory.entries().size(), entries);
    if (status == Status::NeedsMore)
        QCOMPARE(directory.neededFrom(), neededFrom);
    if (status == Status::Invalid)
        QVERIFY(!directory.errorString().isEmpty());
    if (status != Status::Complete || entries == 0)
        return;
    const ZipEntry &payload = directory.entries().at(1);
    QCOMPARE(payload.name, QByteArray("data/payload.bin"));
    QCOMPARE(payload.crc, quint32(22));
    QCOMPARE(payload.size, qint64(7000));
    QCOMPARE(payload.offset, testZipExtent(threeEntries().at(0)));
    // Local headers are read where the bytes were given.
    QCOMPARE(payload.headerLength, from == 0 ? qint64(30 + payload.name.size()) : qint64(-1));
}

QTEST_GUILESS_MAIN(tst_ZipDirectory)
#include "tst_zipdirectory.moc"
