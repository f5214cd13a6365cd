#include "installation.h"
#include "stagedupdate.h"
#include "updateinstaller.h"

#include <QDirIterator>
#include <QProcess>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using namespace Installation;

namespace {

using Tree = QMap<QString, QByteArray>;

enum class Damage { None, LocalHeaderCrc, EndRecordUndercount, Truncated, NotAZip, LinkAttribute };

// The first installed file the update replaces, in the order of the moves,
// and a later one: a failure at the later one has earlier moves to undo.
const QString FirstMoved = QStringLiteral("data/config.txt");
const QString LaterMoved = QStringLiteral("vlm.exe");
// Each replaced file takes two renames, a new folder one.
constexpr int RenamesOfUpdate = 7;

// The offset of the central directory header that names entry.
int centralHeader(const QByteArray &zip, const QByteArray &entry)
{
    for (int at = zip.indexOf("PK\x01\x02"); at >= 0; at = zip.indexOf("PK\x01\x02", at + 4)) {
        const int nameLength = qFromLittleEndian<quint16>(zip.constData() + at + 28);
        if (zip.mid(at + 46, nameLength) == entry)
            return at;
    }
    return -1;
}

bool damage(const QString &path, Damage kind)
{
    QByteArray zip = readFile(path);
    const int central = centralHeader(zip, FirstMoved.toUtf8());
    const int end = zip.lastIndexOf("PK\x05\x06");
    if (central < 0 || end < 0)
        return false;
    switch (kind) {
    case Damage::None:
        return true;
    case Damage::LocalHeaderCrc: {
        // The directory still holds the right checksum.
        const int local = qFromLittleEndian<quint32>(zip.constData() + central + 42);
        zip[local + 14] = char(zip.at(local + 14) ^ 1);
        break;
    }
    case Damage::EndRecordUndercount: {
        const quint16 entries = qFromLittleEndian<quint16>(zip.constData() + end + 10);
        qToLittleEndian<quint16>(entries - 1, zip.data() + end + 8);
        qToLittleEndian<quint16>(entries - 1, zip.data() + end + 10);
        break;
    }
    case Damage::Truncated:
        zip.truncate(zip.size() * 3 / 4);
        break;
    case Damage::NotAZip:
        zip = randomBytes(zip.size(), 11);
        break;
    case Damage::LinkAttribute:
        // Made on Unix, with the mode of a symbolic link.
        zip[central + 5] = 3;
        qToLittleEndian<quint32>(quint32(0120777) << 16, zip.data() + central + 38);
        break;
    }
    return writeFile(path, zip);
}

Tree treeOf(const QString &dir)
{
    Tree tree;
    const Tree files = filesBelow(dir);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        tree.insert(it.key(), QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256));
    return tree;
}

QStringList linksBelow(const QString &dir)
{
    QStringList links;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().isSymLink())
            links.append(it.filePath());
    }
    return links;
}

} // namespace

Q_DECLARE_METATYPE(Damage)

// The installer on a real installation folder, with the real 7za: an update
// goes in whole or not at all, whatever the archive holds or the disk does.
class tst_StagedUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void install_data();
    void install();
    void fileCannotBeReplaced();
    void diskFullWhileUnpacking();
    void crashWhileApplying_data();
    void crashWhileApplying();
    void signedArchive_data();
    void signedArchive();

private:
    bool layOut(const QString &dir);
    bool packUpdate(const QStringList &extraFiles, Damage kind,
                    const QStringList &switches = QStringList());
    bool runInstaller(const QString &publicKey = QString());
    bool unpackOnly();
    QString lastLogRecord() const;
    void checkUntouched();
    UpdateSettings settings() const { return UpdateSettings::builtIn(home->path()); }

    QScopedPointer<QTemporaryDir> home;
    QTemporaryDir source;
    Tree oldTree;
    Tree newTree;
    QString logDir;
    QString immutable;
    QString mountPoint;
};

void tst_StagedUpdate::initTestCase()
{
    QVERIFY(source.isValid());
    logDir = QCoreApplication::applicationDirPath() + QStringLiteral("/log");
}

void tst_StagedUpdate::init()
{
    home.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/Velmora 产品-XXXXXX")));
    QVERIFY(home->isValid());
    QVERIFY(layOut(home->path()));
    QDir(logDir).removeRecursively();
    QVERIFY(QDir().mkpath(logDir));
}

void tst_StagedUpdate::cleanup()
{
    if (!immutable.isEmpty())
        QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), immutable });
    immutable.clear();
    if (!mountPoint.isEmpty())
        QProcess::execute(QStringLiteral("umount"), { QStringLiteral("-l"), mountPoint });
    mountPoint.clear();
    home.reset();
}

bool tst_StagedUpdate::layOut(const QString &dir)
{
    if (!writeFile(dir + QStringLiteral("/vlm.exe"), "old product\n")
        || !writeFile(dir + QStringLiteral("/data/config.txt"), "old configuration\n")
        || !writeFile(dir + QStringLiteral("/data/maps/north.bin"), randomBytes(300000, 1))
        || !writeFile(dir + QStringLiteral("/docs/readme.txt"), "old documents\n")
        || !writeFile(dir + QStringLiteral("/user-notes.txt"), "not in the archive\n"))
        return false;
    oldTree = treeOf(dir);
    return true;
}

// The new version, plus extra files ("path" or "path->link target"),
// packed into the installation's vlm_update.zip and damaged as asked.
bool tst_StagedUpdate::packUpdate(const QStringList &extraFiles, Damage kind,
                                  const QStringList &switches)
{
    QDir(source.path()).removeRecursively();
    const QString root = source.path();
    if (!writeFile(root + QStringLiteral("/vlm.exe"), "new product\n")
        || !writeFile(root + QStringLiteral("/data/config.txt"), "new configuration\n")
        || !writeFile(root + QStringLiteral("/data/maps/north.bin"), randomBytes(600000, 2))
        || !writeFile(root + QStringLiteral("/资料/说明 文件.txt"), "更新说明\n"))
        return false;
    newTree = oldTree;
    const Tree added = treeOf(root);
    for (auto it = added.cbegin(); it != added.cend(); ++it)
        newTree.insert(it.key(), it.value());
    for (const QString &extra : extraFiles) {
        const QStringList parts = extra.split(QStringLiteral("->"));
        const QString path = root + QLatin1Char('/') + parts.first();
        const bool made = parts.size() == 2
            ? QDir().mkpath(QFileInfo(path).path()) && QFile::link(parts.last(), path)
            : writeFile(path, "extra\n");
        if (!made)
            return false;
    }
    const QString archive = settings().archivePath();
    QFile::remove(archive);
    return makeArchive(archive, root, switches) && damage(archive, kind);
}

bool tst_StagedUpdate::runInstaller(const QString &publicKey)
{
    UpdateSettings signedSettings = settings();
    signedSettings.publicKey = publicKey;
    UpdateInstaller installer(signedSettings);
    QSignalSpy finished(&installer, &UpdateInstaller::finished);
    installer.start();
    if (!finished.wait(120000))
        return false;
    return finished.first().first().toBool();
}

QString tst_StagedUpdate::lastLogRecord() const
{
    const QStringList files = QDir(logDir).entryList(QDir::Files, QDir::Name);
    if (files.isEmpty())
        return QString();
    const QString text = QString::fromLocal8Bit(readFile(logDir + QLatin1Char('/') + files.last()));
    return text.section(QStringLiteral("\r\n"), -1);
}

void tst_StagedUpdate::checkUntouched()
{
    Tree now = treeOf(home->path());
    now.remove(settings().archiveName);
    now.remove(settings().signatureName());
    QCOMPARE(now.keys(), oldTree.keys());
    QVERIFY(now == oldTree);
    QCOMPARE(linksBelow(home->path()), QStringList());
}

void tst_StagedUpdate::install_data()
{
    QTest::addColumn<QStringList>("extraFiles");
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<QString>("reason");

    const QStringList none;
    const QString unpackFailed = QStringLiteral("vlm_update.zip could not be unpacked whole");
    QTest::newRow("sound") << none << Damage::None << none << QString();
    QTest::newRow("packed with BZip2")
        << none << Damage::None << QStringList { QStringLiteral("-mm=BZip2") } << QString();
    QTest::newRow("local header disagrees with the directory")
        << none << Damage::LocalHeaderCrc << none << unpackFailed;
    QTest::newRow("end record counts fewer entries")
        << none << Damage::EndRecordUndercount << none << unpackFailed;
    QTest::newRow("cut short") << none << Damage::Truncated << none << unpackFailed;
    QTest::newRow("not a zip") << none << Damage::NotAZip << none << unpackFailed;
    QTest::newRow("a folder over an installed file")
        << QStringList { QStringLiteral("user-notes.txt/inside.txt") } << Damage::None << none
        << QStringLiteral("user-notes.txt is a file in the installation but a folder");
    QTest::newRow("a file over an installed folder")
        << QStringList { QStringLiteral("docs") } << Damage::None << none
        << QStringLiteral("docs is a folder in the installation but a file");
#ifndef Q_OS_WIN
    // 7-Zip for Windows makes no links from zip entries unless told to.
    QTest::newRow("a link entry") << QStringList { QStringLiteral("data/shortcut->config.txt") }
                                  << Damage::None << QStringList { QStringLiteral("-snl") }
                                  << QStringLiteral("holds a link, data/shortcut");
    QTest::newRow("a link made by the entry's attributes")
        << none << Damage::LinkAttribute << none << QStringLiteral("holds a link, data/config.txt");
#endif
    QTest::newRow("a name the updater keeps")
        << QStringList { QStringLiteral("vlm_update.backup/data/config.txt") } << Damage::None
        << none << QStringLiteral("a name the updater keeps for itself");
}

void tst_StagedUpdate::install()
{
    QFETCH(QStringList, extraFiles);
    QFETCH(Damage, damage);
    QFETCH(QStringList, switches);
    QFETCH(QString, reason);

    QVERIFY(packUpdate(extraFiles, damage, switches));
    const bool installed = runInstaller();
    const QString record = lastLogRecord();
    QVERIFY2(installed == reason.isEmpty(), qPrintable(record));
    if (installed) {
        Tree now = treeOf(home->path());
        now.remove(settings().archiveName);
        QVERIFY(now == newTree);
    } else {
        checkUntouched();
        QVERIFY2(record.contains(QStringLiteral("the update was not installed")),
                 qPrintable(record));
        QVERIFY2(record.contains(reason), qPrintable(record));
    }
    // Nothing of the update's machinery stays behind.
    const UpdateSettings s = settings();
    for (const QString &path : { s.stagingPath(), s.backupPath(), s.journalPath() })
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));
}

// An installed file that cannot be moved: on Windows held open by another
// program (Qt opens files without the sharing that allows a rename); on
// Linux given the immutable attribute, which stops even root.
void tst_StagedUpdate::fileCannotBeReplaced()
{
    const QString locked = home->filePath(LaterMoved);
#ifdef Q_OS_WIN
    QFile holder(locked);
    QVERIFY(holder.open(QIODevice::ReadOnly));
#else
    if (QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("+i"), locked }) != 0)
        QSKIP("chattr +i needs root and a file system that keeps the attribute");
    immutable = locked;
#endif
    QVERIFY(packUpdate(QStringList(), Damage::None));

    QVERIFY(!runInstaller());
    checkUntouched();
    const QString record = lastLogRecord();
    // The log is written in the system's 8-bit encoding, which may not spell
    // every character of the path.
    const QString logged = QString::fromLocal8Bit(QDir::toNativeSeparators(locked).toLocal8Bit());
    QVERIFY2(record.contains(logged + QStringLiteral(" could not be moved"))
                 && record.contains(QStringLiteral("every file was moved back")),
             qPrintable(record));
}

void tst_StagedUpdate::diskFullWhileUnpacking()
{
    const QString dir = home->path();
    if (QProcess::execute(QStringLiteral("mount"),
                          { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                            QStringLiteral("size=16m"), QStringLiteral("tmpfs"), dir })
        != 0)
        QSKIP("mounting a small file system needs root and the right to mount (CAP_SYS_ADMIN)");
    mountPoint = dir;
    QVERIFY(layOut(dir));
    // Random data does not compress: the unpacked files need as much room
    // again as the archive, and the file system is left less than that.
    QVERIFY(
        packUpdate({ QStringLiteral("data/big.bin") }, Damage::None, { QStringLiteral("-mx=0") }));
    QVERIFY(writeFile(source.filePath(QStringLiteral("data/big.bin")), randomBytes(6 << 20, 4)));
    QFile::remove(settings().archivePath());
    QVERIFY(makeArchive(settings().archivePath(), source.path(), { QStringLiteral("-mx=0") }));
    const qint64 free = QStorageInfo(dir).bytesAvailable();
    QVERIFY(QProcess::execute(
                QStringLiteral("mount"),
                { QStringLiteral("-o"),
                  QStringLiteral("remount,size=%1").arg(16 * 1024 * 1024 - free + (3 << 20)), dir })
            == 0);

    QVERIFY(!runInstaller());
    checkUntouched();
    QVERIFY2(lastLogRecord().contains(QStringLiteral("could not be unpacked whole")),
             qPrintable(lastLogRecord()));
    QVERIFY(!QFileInfo::exists(settings().stagingPath()));
}

void tst_StagedUpdate::crashWhileApplying_data()
{
    QTest::addColumn<int>("renames");
    for (int renames = 1; renames < RenamesOfUpdate; ++renames)
        QTest::addRow("cut off after %d renames", renames) << renames;
}

// The apply runs in a child process (applycutoff) that ends abruptly after
// the given number of renames, as with a power cut. What the next start of the
// updater does first must bring back the old installation, with nothing
// left over, and the next update must then go in.
void tst_StagedUpdate::crashWhileApplying()
{
    QFETCH(int, renames);
    QVERIFY(packUpdate(QStringList(), Damage::None));
    QVERIFY(QDir().mkpath(settings().stagingPath()));
    QCOMPARE(
        QProcess::execute(QStringLiteral("7za"),
                          { QStringLiteral("x"), QStringLiteral("-bso0"), settings().archivePath(),
                            QStringLiteral("-o") + settings().stagingPath() }),
        0);

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QStringLiteral(APPLY_CUT_OFF), { QString::number(renames), home->path() });
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitCode(), 9);
    QVERIFY(QFileInfo::exists(settings().journalPath()));
    QVERIFY(treeOf(home->path()) != oldTree);

    StagedUpdate next(settings());
    QVERIFY2(next.recover(), qPrintable(next.errorString()));
    QVERIFY2(next.report().contains(QStringLiteral("rolled back")), qPrintable(next.report()));
    checkUntouched();
    for (const QString &path : { settings().stagingPath(), settings().backupPath() })
        QVERIFY2(!QFileInfo::exists(path), qPrintable(path));

    QVERIFY(runInstaller());
    Tree now = treeOf(home->path());
    now.remove(settings().archiveName);
    QVERIFY(now == newTree);
}

void tst_StagedUpdate::signedArchive_data()
{
    QTest::addColumn<QString>("signer");
    QTest::addColumn<bool>("alteredAfterSigning");
    QTest::addColumn<QString>("reason");

    QTest::newRow("signed by the publisher") << "publisher" << false << QString();
    QTest::newRow("altered after signing")
        << "publisher" << true << QStringLiteral("does not match");
    QTest::newRow("signed by another key") << "other" << false << QStringLiteral("made by the key");
    QTest::newRow("no signature") << QString() << false << QStringLiteral("missing");
}

// A build with a public key installs only what that key signed, and looks
// at nothing else of an archive before the signature holds.
void tst_StagedUpdate::signedArchive()
{
    QFETCH(QString, signer);
    QFETCH(bool, alteredAfterSigning);
    QFETCH(QString, reason);
    QTemporaryDir keys;
    QVERIFY(keys.isValid());
    if (!makeSigningKey(keys.filePath(QStringLiteral("publisher")))
        || !makeSigningKey(keys.filePath(QStringLiteral("other"))))
        QSKIP("the minisign tool (Debian package minisign) makes the keys and signatures");
    const QString publicKey =
        QString::fromLatin1(readFile(keys.filePath(QStringLiteral("publisher.pub"))));

    QVERIFY(packUpdate(QStringList(), Damage::None));
    const QString archive = settings().archivePath();
    if (!signer.isEmpty())
        QVERIFY(signFile(keys.filePath(signer), archive, QStringLiteral("version 2.0")));
    if (alteredAfterSigning) {
        QByteArray bytes = readFile(archive);
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
        QVERIFY(writeFile(archive, bytes));
    }

    const bool installed = runInstaller(publicKey);
    const QString log = QString::fromLocal8Bit(
        readFile(logDir + QLatin1Char('/') + QDir(logDir).entryList(QDir::Files).value(0)));
    QVERIFY2(installed == reason.isEmpty(), qPrintable(log));
    if (installed) {
        QVERIFY2(log.contains(QStringLiteral("trusted comment: version 2.0")), qPrintable(log));
        return;
    }
    checkUntouched();
    QVERIFY2(lastLogRecord().contains(QStringLiteral("vlm_update.zip is refused: "))
                 && lastLogRecord().contains(reason),
             qPrintable(lastLogRecord()));
    QVERIFY2(!log.contains(QStringLiteral("Extracting archive")), qPrintable(log));
}

QTEST_GUILESS_MAIN(tst_StagedUpdate)
#include "tst_stagedupdate.moc"
