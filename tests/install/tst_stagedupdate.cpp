#include "installation.h"
#include "releaseorder.h"
#include "stagedupdate.h"
#include "updateinstaller.h"
#include "updaterecovery.h"
#include "updatesettings.h"

#include <QDirIterator>
#include <QProcess>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include "immutablefile.h"
#include "smallfilesystem.h"
#endif

using namespace Installation;
using Outcome = UpdateInstaller::Outcome;

namespace {

using Tree = QMap<QString, QByteArray>;

enum class Damage { None, LocalHeaderCrc, EndRecordUndercount, Truncated, NotAZip, LinkAttribute };
// What a disk cleaner, a virus scanner or a person may do to the staging
// folder while the installation waits for its next start.
enum class Tamper { None, Emptied, Removed };

// The first installed file the update replaces, in the order of the moves,
// and a later one: a failure at the later one has earlier moves to undo.
const QString FirstMoved = QStringLiteral("data/config.txt");
const QString LaterMoved = QStringLiteral("vlm.exe");
// Each replaced file takes two renames, a new folder one; the commit is the
// step after them.
constexpr int RenamesOfUpdate = 7;
constexpr int CommitStep = RenamesOfUpdate + 1;

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
Q_DECLARE_METATYPE(Tamper)

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
    void fileHeld_data();
    void fileHeld();
    void diskFullWhileUnpacking();
    void diskFullWhileSavingJournal();
    void faultWhileApplying_data();
    void faultWhileApplying();
    void runningProgramReplaced();
    void record_data();
    void record();
    void signedArchive_data();
    void signedArchive();

private:
    bool layOut(const QString &dir);
    bool packUpdate(const QStringList &extraFiles, Damage kind,
                    const QStringList &switches = QStringList());
    Outcome runInstaller(const QString &publicKey = QString());
    Outcome runInstaller(UpdateInstaller &installer);
    bool stageUpdate();
    bool mountSmallDisk(const QString &dir);
    QString lastLogRecord() const;
    void checkUntouched();
    UpdateSettings settings() const { return UpdateSettings::builtIn(home->path()); }
    InstallLayout layout() const { return settings().layout(); }

    QScopedPointer<QTemporaryDir> home;
    QTemporaryDir source;
    Tree oldTree;
    Tree newTree;
    QString logDir;
#ifndef Q_OS_WIN
    ImmutableFile immutable;
    SmallFileSystem smallDisk;
#endif
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
#ifndef Q_OS_WIN
    immutable.release();
    smallDisk.unmount();
#endif
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

Outcome tst_StagedUpdate::runInstaller(const QString &publicKey)
{
    InstallLayout signedLayout = layout();
    signedLayout.publicKey = publicKey;
    UpdateInstaller installer(signedLayout);
    return runInstaller(installer);
}

Outcome tst_StagedUpdate::runInstaller(UpdateInstaller &installer)
{
    QSignalSpy finished(&installer, &UpdateInstaller::finished);
    installer.start();
    if (!finished.wait(120000))
        return Outcome::Refused;
    return finished.first().first().value<Outcome>();
}

// Unpacks the archive into the staging folder as the installer does, for
// applies run on their own.
bool tst_StagedUpdate::stageUpdate()
{
    return QDir().mkpath(settings().stagingPath())
        && QProcess::execute(QStringLiteral("7za"),
                             { QStringLiteral("x"), QStringLiteral("-bso0"),
                               settings().archivePath(),
                               QStringLiteral("-o") + settings().stagingPath() })
        == 0;
}

bool tst_StagedUpdate::mountSmallDisk(const QString &dir)
{
#ifdef Q_OS_WIN
    Q_UNUSED(dir);
    return false;
#else
    return smallDisk.mount(dir, 16 << 20);
#endif
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
    QCOMPARE(now, oldTree);
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
    // A folder the installation lacks moves in whole: what it holds counts too.
    QTest::newRow("a link in a new folder")
        << QStringList { QStringLiteral("newdir/notes.txt"),
                         QStringLiteral("newdir/shortcut->notes.txt") }
        << Damage::None << QStringList { QStringLiteral("-snl") }
        << QStringLiteral("the archive holds a link, newdir/shortcut: links are not installed");
#endif
    QTest::newRow("a name the updater keeps")
        << QStringList { QStringLiteral("vlm_update.backup/data/config.txt") } << Damage::None
        << none << QStringLiteral("a name the updater keeps for itself");
    QTest::newRow("the name of the release record")
        << QStringList { QStringLiteral("vlm_update.release") } << Damage::None << none
        << QStringLiteral("vlm_update.release, a name the updater keeps for itself");
}

void tst_StagedUpdate::install()
{
    QFETCH(QStringList, extraFiles);
    QFETCH(Damage, damage);
    QFETCH(QStringList, switches);
    QFETCH(QString, reason);

    QVERIFY(packUpdate(extraFiles, damage, switches));
    const Outcome outcome = runInstaller();
    const bool installed = outcome == Outcome::Installed;
    const QString record = lastLogRecord();
    QCOMPARE(outcome, reason.isEmpty() ? Outcome::Installed : Outcome::Refused);
    if (installed) {
        Tree now = treeOf(home->path());
        now.remove(settings().archiveName);
        QCOMPARE(now, newTree);
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

void tst_StagedUpdate::fileHeld_data()
{
    QTest::addColumn<bool>("forGood");
    QTest::newRow("held for a moment") << false;
    QTest::newRow("held for good") << true;
}

// An installed file that cannot be moved: on Windows held open by another
// program without the sharing that allows a rename, as virus scanners do
// for a moment; on Linux given the immutable attribute, which stops even
// root and has no "moment".
void tst_StagedUpdate::fileHeld()
{
    QFETCH(bool, forGood);
    const QString locked = home->filePath(LaterMoved);
    UpdateInstaller installer(layout());
#ifdef Q_OS_WIN
    HANDLE holder = ::CreateFileW(reinterpret_cast<const wchar_t *>(locked.utf16()), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(holder != INVALID_HANDLE_VALUE);
    const auto release = [&holder] {
        if (holder)
            ::CloseHandle(holder);
        holder = nullptr;
    };
    const auto cleanup = qScopeGuard(release);
    // Let go of it a second after the apply began.
    if (!forGood)
        installer.setRenameHook([this, &release](int step) {
            if (step == 1)
                QMetaObject::invokeMethod(
                    this, [this, &release] { QTimer::singleShot(1000, this, release); });
            return true;
        });
#else
    if (!forGood)
        QSKIP("Linux has no lock that keeps a file from being renamed for a moment");
    if (!immutable.set(locked))
        QSKIP(qPrintable(ImmutableFile::whyUnavailable()));
#endif
    QVERIFY(packUpdate(QStringList(), Damage::None));

    QCOMPARE(runInstaller(installer), forGood ? Outcome::Refused : Outcome::Installed);
    if (!forGood)
        return;
    checkUntouched();
    // The log is written in the system's 8-bit encoding, which may not spell
    // every character of the path.
    const QString logged = QString::fromLocal8Bit(QDir::toNativeSeparators(locked).toLocal8Bit());
    QVERIFY2(lastLogRecord().contains(logged + QStringLiteral(" could not be moved"))
                 && lastLogRecord().contains(QStringLiteral("every file was moved back")),
             qPrintable(lastLogRecord()));
}

void tst_StagedUpdate::diskFullWhileUnpacking()
{
    const QString dir = home->path();
    if (!mountSmallDisk(dir))
        QSKIP("mounting a small file system needs root and the right to mount (CAP_SYS_ADMIN)");
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

    QCOMPARE(runInstaller(), Outcome::Refused);
    checkUntouched();
    QVERIFY2(lastLogRecord().contains(QStringLiteral("could not be unpacked whole")),
             qPrintable(lastLogRecord()));
    QVERIFY(!QFileInfo::exists(settings().stagingPath()));
}

// A disk that fills up while the journal is saved: nothing may move, and
// no journal may stay that a later start would act on.
void tst_StagedUpdate::diskFullWhileSavingJournal()
{
    const QString dir = home->path();
    if (!mountSmallDisk(dir))
        QSKIP("mounting a small file system needs root and the right to mount (CAP_SYS_ADMIN)");
    QVERIFY(layOut(dir));
    QVERIFY(packUpdate(QStringList(), Damage::None));
    QVERIFY(stageUpdate());
    QFile filler(dir + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    for (const int block : { 1 << 20, 4096, 1 }) {
        while (filler.write(QByteArray(block, 'f')) == block) { }
    }

    StagedUpdate update(layout());
    QVERIFY(!update.apply());
    QVERIFY2(update.errorString().contains(QStringLiteral("the journal could not be written")),
             qPrintable(update.errorString()));
    QVERIFY(!update.needsRepair());
    QVERIFY(filler.remove());
    checkUntouched();
    QCOMPARE(QDir(dir).entryList(QStringList { QStringLiteral("vlm_update.*") }),
             QStringList { settings().archiveName });
}

void tst_StagedUpdate::faultWhileApplying_data()
{
    QTest::addColumn<int>("crashAfter");
    QTest::addColumn<int>("failAt");
    QTest::addColumn<int>("rollbackFailsAt");
    QTest::addColumn<bool>("forGood");
    QTest::addColumn<Tamper>("tamper");
    QTest::addColumn<Outcome>("outcome");
    // What the log names as the step that failed; %1 is the installation.
    QTest::addColumn<QString>("failure");

    // Crashes: the apply runs in applycutoff, which ends abruptly.
    for (int steps = 1; steps <= RenamesOfUpdate; ++steps)
        QTest::addRow("crash after %d renames", steps)
            << steps << 0 << 0 << false << Tamper::None << Outcome::Unrepaired << QString();
    QTest::newRow("crash, staging emptied before old files moved")
        << 2 << 0 << 0 << false << Tamper::Emptied << Outcome::Unrepaired << QString();
    QTest::newRow("crash, staging removed")
        << 4 << 0 << 0 << false << Tamper::Removed << Outcome::Unrepaired << QString();
    QTest::newRow("crash before the commit, staging removed")
        << RenamesOfUpdate << 0 << 0 << false << Tamper::Removed << Outcome::Unrepaired
        << QString();
    QTest::newRow("crash during the rollback, staging removed")
        << 6 << 5 << 0 << false << Tamper::Removed << Outcome::Unrepaired << QString();
    // Failures: the installer runs here; step 5 moves vlm.exe aside, 7 puts
    // the old data/maps/north.bin back.
    const QString firstAside =
        QStringLiteral("%1/data/config.txt could not be moved to %1/vlm_update.backup/data/"
                       "config.txt: stopped at the rename hook");
    const QString vlmAside =
        QStringLiteral("%1/vlm.exe could not be moved to %1/vlm_update.backup/vlm.exe: stopped at "
                       "the rename hook");
    const QString vlmIn = QStringLiteral("%1/vlm_update.staging/vlm.exe could not be moved to "
                                         "%1/vlm.exe: stopped at the rename hook");
    const QString commit =
        QStringLiteral("the new files could not be forced to the disk: stopped at the rename hook");
    QTest::newRow("first move fails")
        << 0 << 1 << 0 << false << Tamper::None << Outcome::Refused << firstAside;
    QTest::newRow("later move fails")
        << 0 << 6 << 0 << false << Tamper::None << Outcome::Refused << vlmIn;
    QTest::newRow("commit fails") << 0 << CommitStep << 0 << false << Tamper::None
                                  << Outcome::Refused << commit;
    // The rollback's own failure does not take the place of the move's.
    QTest::newRow("rollback move fails once")
        << 0 << 5 << 7 << false << Tamper::None << Outcome::Refused << vlmAside;
    QTest::newRow("rollback fails for good")
        << 0 << 5 << 7 << true << Tamper::None << Outcome::Unrepaired << vlmAside;
    QTest::newRow("rollback fails for good, staging emptied")
        << 0 << 5 << 7 << true << Tamper::Emptied << Outcome::Unrepaired << vlmAside;
    QTest::newRow("rollback of the commit fails for good, staging removed")
        << 0 << CommitStep << CommitStep + 1 << true << Tamper::Removed << Outcome::Unrepaired
        << commit;
}

// Whatever stops an apply, and whatever then happens to the staging folder,
// the next start of the updater brings back the old installation, with
// nothing left over, and the next update goes in.
void tst_StagedUpdate::faultWhileApplying()
{
    QFETCH(int, crashAfter);
    QFETCH(int, failAt);
    QFETCH(int, rollbackFailsAt);
    QFETCH(bool, forGood);
    QFETCH(Tamper, tamper);
    QFETCH(Outcome, outcome);
    QFETCH(QString, failure);
    QVERIFY(packUpdate(QStringList(), Damage::None));

    if (crashAfter > 0) {
        QVERIFY(stageUpdate());
        QStringList args { QString::number(crashAfter), home->path() };
        if (failAt > 0)
            args << QString::number(failAt);
        QCOMPARE(QProcess::execute(QStringLiteral(APPLY_CUT_OFF), args), 9);
        QVERIFY(treeOf(home->path()) != oldTree);
    } else {
        UpdateInstaller installer(layout());
        installer.setRenameHook([=](int step) {
            const bool rollbackFails = rollbackFailsAt > 0
                && (forGood ? step >= rollbackFailsAt : step == rollbackFailsAt);
            return step != failAt && !rollbackFails;
        });
        QCOMPARE(runInstaller(installer), outcome);
        const QString record = lastLogRecord();
        // The log is written in the system's 8-bit encoding, which may not
        // spell every character of the path.
        const QString failed = QString::fromLocal8Bit(
            QDir::toNativeSeparators(failure.arg(home->path())).toLocal8Bit());
        const QString then = outcome == Outcome::Refused
            ? QStringLiteral("; every file was moved back")
            : QStringLiteral("; moving the old files back failed too (");
        QVERIFY2(record.contains(failed + then), qPrintable(record));
        if (outcome == Outcome::Unrepaired)
            QVERIFY2(record.contains(QStringLiteral("could not be removed: stopped at the rename "
                                                    "hook")),
                     qPrintable(record));
    }
    QCOMPARE(QFileInfo::exists(settings().journalPath()), outcome == Outcome::Unrepaired);
    const QString staging = settings().stagingPath();
    if (tamper == Tamper::Removed)
        QVERIFY(QDir(staging).removeRecursively());
    else if (tamper == Tamper::Emptied)
        QVERIFY(QDir(staging).removeRecursively() && QDir().mkpath(staging));

    UpdateRecovery next(layout());
    QVERIFY2(next.run(), qPrintable(next.errorString()));
    QCOMPARE(next.notes().join(QLatin1String("; ")).contains(QStringLiteral("was rolled back")),
             outcome == Outcome::Unrepaired);
    checkUntouched();
    QCOMPARE(QDir(home->path()).entryList(QStringList { QStringLiteral("vlm_update.*") }),
             QStringList { settings().archiveName });

    QCOMPARE(runInstaller(), Outcome::Installed);
    Tree now = treeOf(home->path());
    now.remove(settings().archiveName);
    QCOMPARE(now, newTree);
}

// An update that replaces a program running from the installation, as one
// does that replaces the updater itself: Windows can rename its file but not
// remove it, so the old file stays in the backup until the next start.
void tst_StagedUpdate::runningProgramReplaced()
{
    const QString name = QStringLiteral("vlm-updater.exe");
    const QString program = home->filePath(name);
    QVERIFY(QFile::copy(QStringLiteral(STANDIN_PRODUCT), program));
    QProcess running;
    running.start(program, QStringList());
    QVERIFY(running.waitForStarted());
    const auto stop = qScopeGuard([&running] { stopProcess(running); });
    QVERIFY(packUpdate({ name }, Damage::None));

    QCOMPARE(runInstaller(), Outcome::Installed);
    QCOMPARE(readFile(program), QByteArray("extra\n"));
    const QString left = settings().backupPath() + QLatin1Char('/') + name;
    const bool stays = QFileInfo::exists(left);
    const QString note = QDir::toNativeSeparators(QStringLiteral("vlm_update.backup/") + name)
        + QStringLiteral(" is still in use and stays until the next start");
    QVERIFY2(lastLogRecord().contains(note) == stays, qPrintable(lastLogRecord()));

    stopProcess(running);
    QVERIFY(waitForProcessGone(running.processId()));
    UpdateRecovery next(layout());
    QVERIFY(next.run());
    QVERIFY(!QFileInfo::exists(settings().backupPath()));
    QCOMPARE(next.notes(),
             stays ? QStringList { QStringLiteral("the old files of the last update were removed") }
                   : QStringList());
#ifdef Q_OS_WIN
    if (!stays)
        QSKIP("Wine removes a running program's file, which Windows refuses: what stays cannot "
              "be shown here");
#endif
}

void tst_StagedUpdate::record_data()
{
    QTest::addColumn<int>("installed"); // when the installed release was signed
    QTest::addColumn<int>("offered"); // when the archive was
    QTest::addColumn<int>("failAt");
    QTest::addColumn<Outcome>("outcome");
    // The record adds two renames: the old one aside, the new one in.
    QTest::newRow("committed with the files") << 1000 << 2000 << 0 << Outcome::Installed;
    QTest::newRow("refused as older") << 2000 << 1000 << 0 << Outcome::Refused;
    QTest::newRow("rolled back with the files")
        << 1000 << 2000 << CommitStep + 2 << Outcome::Refused;
}

// The record of the installed release and the files never disagree.
void tst_StagedUpdate::record()
{
    QFETCH(int, installed);
    QFETCH(int, offered);
    QFETCH(int, failAt);
    QFETCH(Outcome, outcome);
    QTemporaryDir keys;
    const QString key = keys.filePath(QStringLiteral("publisher"));
    if (!makeSigningKey(key))
        QSKIP("the minisign tool (Debian package minisign) makes the keys and signatures");
    const auto stamped = [](int time) {
        return QStringLiteral("timestamp:%1\tfile:vlm_update.zip\thashed").arg(time);
    };
    ReleaseOrder first { QByteArray() };
    QVERIFY(first.admits(stamped(installed), settings().archiveName));
    QVERIFY(writeFile(settings().releasePath(), first.nextRecord()));
    oldTree = treeOf(home->path());
    QVERIFY(packUpdate(QStringList(), Damage::None));
    QVERIFY(signFile(key, settings().archivePath(), stamped(offered)));
    InstallLayout signedLayout = layout();
    signedLayout.publicKey = QString::fromLatin1(readFile(key + QStringLiteral(".pub")));
    UpdateInstaller installer(signedLayout);
    installer.setRenameHook([failAt](int step) { return step != failAt; });

    QCOMPARE(runInstaller(installer), outcome);
    if (outcome == Outcome::Refused) {
        checkUntouched();
        return;
    }
    ReleaseOrder next(first.nextRecord());
    QVERIFY(next.admits(stamped(offered), settings().archiveName));
    Tree now = treeOf(home->path());
    now.remove(settings().archiveName);
    now.remove(settings().signatureName());
    newTree.insert(QFileInfo(settings().releasePath()).fileName(),
                   QCryptographicHash::hash(next.nextRecord(), QCryptographicHash::Sha256));
    QCOMPARE(now, newTree);
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

    const bool installed = runInstaller(publicKey) == Outcome::Installed;
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
