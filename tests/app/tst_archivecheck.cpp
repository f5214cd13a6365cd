#include "archivecheck.h"
#include "installation.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using namespace Installation;

namespace {

using Damage = std::function<QByteArray(const QByteArray &)>;

QByteArray flipped(QByteArray bytes, qint64 at)
{
    bytes[int(at)] = char(bytes.at(int(at)) ^ 0x20);
    return bytes;
}

// Where the end record starts: the archives made here carry no comment.
int endRecord(const QByteArray &zip)
{
    return zip.size() - 22;
}

int directoryStart(const QByteArray &zip)
{
    const uchar *p = reinterpret_cast<const uchar *>(zip.constData()) + endRecord(zip) + 16;
    return int(p[0] | p[1] << 8 | p[2] << 16 | uint(p[3]) << 24);
}

// Whether 7za itself finds the archive sound: the check must agree with it
// on every archive it reads.
bool unpackerAccepts(const QString &path)
{
    QProcess unpacker;
    unpacker.setProcessChannelMode(QProcess::MergedChannels);
    unpacker.start(QStringLiteral("7za"), { QStringLiteral("t"), QStringLiteral("-p-"), path });
    return unpacker.waitForFinished(60000) && unpacker.exitStatus() == QProcess::NormalExit
        && unpacker.exitCode() == 0;
}

} // namespace

Q_DECLARE_METATYPE(ArchiveCheck::Result)
Q_DECLARE_METATYPE(Damage)

class tst_ArchiveCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();
    void missingFile();

private:
    QString archive(const QString &name) const { return archives.filePath(name); }

    QTemporaryDir source;
    QTemporaryDir archives;
    QTemporaryDir work;
};

void tst_ArchiveCheck::initTestCase()
{
    QVERIFY(source.isValid() && archives.isValid() && work.isValid());
    QVERIFY(writeFile(source.filePath(QStringLiteral("vlm.exe")), randomBytes(300 * 1024, 1)));
    QVERIFY(writeFile(source.filePath(QStringLiteral("data/config.txt")),
                      QByteArray("key = value\n").repeated(20000)));
    QVERIFY(writeFile(source.filePath(QStringLiteral("data/empty.txt")), QByteArray()));
    QVERIFY(writeFile(source.filePath(QStringLiteral("资料/说明 文件.txt")), "更新说明\n"));
    QVERIFY(QDir(source.path()).mkpath(QStringLiteral("logs/empty folder")));

    const struct
    {
        const char *name;
        QStringList switches;
    } made[] = {
        { "stored.zip", { QStringLiteral("-mx=0") } },
        { "deflated.zip", {} },
        { "ppmd.zip", { QStringLiteral("-mm=PPMd") } },
        { "encrypted.zip", { QStringLiteral("-psecret") } },
    };
    for (const auto &zip : made)
        QVERIFY(makeArchive(archive(QLatin1String(zip.name)), source.path(), zip.switches));
}

void tst_ArchiveCheck::check_data()
{
    QTest::addColumn<QString>("archive");
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<ArchiveCheck::Result>("expected");
    QTest::addColumn<QString>("reason");

    const Damage none = [](const QByteArray &zip) { return zip; };
    const QString stored = QStringLiteral("stored.zip");
    const QString deflated = QStringLiteral("deflated.zip");

    QTest::newRow("stored") << stored << none << ArchiveCheck::Sound << QString();
    QTest::newRow("deflated") << deflated << none << ArchiveCheck::Sound << QString();
    QTest::newRow("no entries") << QString() << Damage([](const QByteArray &) {
        return QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
    }) << ArchiveCheck::Sound << QString();
    QTest::newRow("with a comment") << deflated << Damage([](const QByteArray &zip) {
        QByteArray commented = zip;
        commented[endRecord(zip) + 20] = 7;
        return commented + "comment";
    }) << ArchiveCheck::Sound << QString();

    const QString cut = QStringLiteral("cut short, or not a zip archive");
    QTest::newRow("empty file") << QString()
                                << Damage([](const QByteArray &) { return QByteArray(); })
                                << ArchiveCheck::Damaged << QStringLiteral("too short");
    QTest::newRow("text") << QString() << Damage([](const QByteArray &) {
        return QByteArray("not an archive at all\n").repeated(100);
    }) << ArchiveCheck::Damaged
                          << cut;
    QTest::newRow("stored, cut in half")
        << stored << Damage([](const QByteArray &zip) { return zip.left(zip.size() / 2); })
        << ArchiveCheck::Damaged << cut;
    QTest::newRow("deflated, last byte missing")
        << deflated << Damage([](const QByteArray &zip) { return zip.left(zip.size() - 1); })
        << ArchiveCheck::Damaged << cut;
    QTest::newRow("deflated, cut in the directory")
        << deflated
        << Damage([](const QByteArray &zip) { return zip.left(directoryStart(zip) + 10); })
        << ArchiveCheck::Damaged << cut;
    QTest::newRow("stored, a byte changed")
        << stored << Damage([](const QByteArray &zip) { return flipped(zip, zip.size() / 2); })
        << ArchiveCheck::Damaged << QStringLiteral("does not match its checksum");
    QTest::newRow("deflated, a byte changed") << deflated << Damage([](const QByteArray &zip) {
        return flipped(zip, directoryStart(zip) / 2);
    }) << ArchiveCheck::Damaged << QStringLiteral(" ");
    QTest::newRow("first header damaged")
        << stored << Damage([](const QByteArray &zip) { return flipped(zip, 1); })
        << ArchiveCheck::Damaged << QStringLiteral("has a damaged header");
    QTest::newRow("directory damaged") << stored << Damage([](const QByteArray &zip) {
        return flipped(zip, directoryStart(zip) + 1);
    }) << ArchiveCheck::Damaged << QStringLiteral("has a damaged directory");
    QTest::newRow("entry runs into the directory") << stored << Damage([](const QByteArray &zip) {
        // The first entry's stored size grows beyond what the archive holds.
        QByteArray grown = zip;
        grown[directoryStart(zip) + 23] = char(0x40);
        grown[directoryStart(zip) + 27] = char(0x40);
        return grown;
    }) << ArchiveCheck::Damaged << QStringLiteral("is cut short");

    QTest::newRow("PPMd") << QStringLiteral("ppmd.zip") << none << ArchiveCheck::Unchecked
                          << QStringLiteral("method 98");
    QTest::newRow("encrypted") << QStringLiteral("encrypted.zip") << none << ArchiveCheck::Unchecked
                               << QStringLiteral("encrypted");
    QTest::newRow("data in front")
        << stored << Damage([](const QByteArray &zip) { return QByteArray(4096, 'x') + zip; })
        << ArchiveCheck::Unchecked << QStringLiteral("directory");
}

void tst_ArchiveCheck::check()
{
    QFETCH(QString, archive);
    QFETCH(Damage, damage);
    QFETCH(ArchiveCheck::Result, expected);
    QFETCH(QString, reason);

    const QByteArray original = archive.isEmpty() ? QByteArray() : readFile(this->archive(archive));
    QVERIFY(archive.isEmpty() || !original.isEmpty());
    const QString path = work.filePath(QStringLiteral("vlm_update.zip"));
    QVERIFY(writeFile(path, damage(original)));

    ArchiveCheck check(path);
    QCOMPARE(check.run(), expected);
    QVERIFY2(check.errorString().contains(reason), qPrintable(check.errorString()));
    if (expected == ArchiveCheck::Sound)
        QVERIFY(check.errorString().isEmpty());
    // The check stands in for the unpacker's own test: the two must agree.
    if (expected != ArchiveCheck::Unchecked)
        QCOMPARE(unpackerAccepts(path), expected == ArchiveCheck::Sound);
    // It reads the archive and nothing else.
    QCOMPARE(readFile(path), damage(original));
}

void tst_ArchiveCheck::missingFile()
{
    ArchiveCheck check(work.filePath(QStringLiteral("absent.zip")));
    QCOMPARE(check.run(), ArchiveCheck::Damaged);
    QVERIFY2(check.errorString().startsWith(QStringLiteral("cannot be read")),
             qPrintable(check.errorString()));
}

QTEST_GUILESS_MAIN(tst_ArchiveCheck)
#include "tst_archivecheck.moc"
