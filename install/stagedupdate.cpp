#include "stagedupdate.h"

#include "platform.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

namespace {

// Anything at all: a file, a folder or a link, dangling or not.
bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool isLink(const QFileInfo &info)
{
    return info.isSymbolicLink() || info.isJunction();
}

bool isRealFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !isLink(info);
}

// The journal is read back from the disk: only plain relative paths that
// stay inside the installation are acted on.
bool isPlainRelative(const QString &path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path) || QDir::cleanPath(path) != path)
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return !parts.contains(QLatin1String("..")) && !path.contains(QLatin1Char(':'))
        && !path.contains(QLatin1Char('\\'));
}

QStringList pathsOf(const QList<UpdateJournal::Entry> &entries)
{
    QStringList paths;
    for (const UpdateJournal::Entry &entry : entries)
        paths.append(entry.path);
    return paths;
}

// Pauses between the passes of a rollback that did not finish: the moves
// back meet the same transient locks as the moves in.
constexpr int RollBackPausesMs[] = { 100, 300, 600 };

const char HookRefusal[] = "stopped at the rename hook";

} // namespace

StagedUpdate::StagedUpdate(const UpdateSettings &settings)
    : m_settings(settings)
    , m_journal(settings.journalPath())
{
    for (const QString &path :
         { settings.stagingPath(), settings.backupPath(), settings.journalPath(), journalPart(),
           settings.lockPath(), settings.releasePath() })
        m_reserved.append(QFileInfo(path).fileName());
}

void StagedUpdate::setRecord(const QString &path, const QByteArray &content)
{
    m_recordName = QDir(m_settings.appDir).relativeFilePath(path);
    m_recordContent = content;
    m_reserved.append(m_recordName);
}

bool StagedUpdate::apply()
{
    m_error.clear();
    m_report.clear();
    m_steps = 0;
    if (m_journal.exists())
        return fail(QStringLiteral("an earlier update has not been rolled back yet"));
    // Whatever the backup holds once the journal is written, this apply put
    // there: a rollback takes it for the old version.
    QStringList left;
    removeTree(m_settings.backupPath(), true, &left);
    if (!left.isEmpty()) {
        fail(left.join(QLatin1String("; ")));
        return discardStaged();
    }
    QList<Entry> entries;
    if (!plan(QString(), &entries) || !stageRecord(&entries))
        return discardStaged();
    if (entries.isEmpty()) {
        fail(QStringLiteral("the archive holds nothing to install"));
        return discardStaged();
    }
    if (!m_journal.write(entries)) {
        fail(QLatin1String("the journal could not be written: ") + m_journal.errorString());
        return discardStaged();
    }

    for (int i = 0; i < entries.size(); ++i) {
        if (moveIn(entries.at(i)))
            continue;
        // The entry that failed may have gone into the backup already; a
        // new one that did not move in is not the apply's to remove.
        QList<Entry> moved = entries.mid(0, i);
        if (entries.at(i).old == OldVersion::Existed)
            moved.append(entries.at(i));
        return undo(moved, m_error);
    }
    return commit(entries);
}

// The update is whole in place. Its files and renames reach the disk before
// the journal goes, and the journal's removal before the old files go: a
// power cut at any moment leaves the journal with every old file, or the
// update done.
bool StagedUpdate::commit(const QList<Entry> &entries)
{
    QString reason = QLatin1String(HookRefusal);
    if (!step() || !syncMoved(m_settings.appDir, pathsOf(entries), &reason))
        return undo(entries,
                    QLatin1String("the new files could not be forced to the disk: ") + reason);
    if (!m_journal.remove()) {
        if (m_journal.exists())
            return undo(entries,
                        QLatin1String("the journal could not be removed: ")
                            + m_journal.errorString());
        m_report = QLatin1String("the journal of the update is removed, but ")
            + m_journal.errorString() + QLatin1String(": the old files stay in ")
            + named(m_settings.backupPath()) + QLatin1String(" until the next start");
        return true;
    }
    removeOldFiles();
    return true;
}

// On Windows a running program's files cannot be removed, only renamed: when
// the update replaces the updater itself, its old files stay in the backup.
void StagedUpdate::removeOldFiles()
{
    QStringList left;
    removeTree(m_settings.stagingPath(), true, &left);
    removeTree(m_settings.backupPath(), false, &left);
    for (QString &item : left)
        item += QLatin1String(" and stays until the next start");
    m_report = left.join(QLatin1String("; "));
}

// Nothing has moved yet: the unpacked files go, the reason stays.
bool StagedUpdate::discardStaged()
{
    const QString reason = m_error;
    removeLeftovers();
    return fail(reason);
}

bool StagedUpdate::undo(const QList<Entry> &entries, const QString &reason)
{
    if (!rollBack(entries))
        return fail(reason + QLatin1String("; moving the old files back failed too (") + m_error
                    + QLatin1String("): the installation is part old, part new until the next "
                                    "start of the updater repairs it"));
    if (!m_journal.remove() && m_journal.exists())
        return fail(reason
                    + QLatin1String("; every file was moved back, but the journal could "
                                    "not be removed (")
                    + m_journal.errorString()
                    + QLatin1String("): the next start of the updater removes it"));
    removeLeftovers();
    return fail(reason + QLatin1String("; every file was moved back"));
}

bool StagedUpdate::recover()
{
    m_report.clear();
    m_error.clear();
    QStringList done;
    const bool rolledBack = m_journal.exists();
    if (rolledBack) {
        if (!rollBackInterrupted())
            return false;
        done.append(QStringLiteral("an update that was cut off was rolled back: the installation "
                                   "is as it was before it"));
        if (!m_error.isEmpty())
            done.append(m_error);
    }
    const bool interrupted =
        !rolledBack && (present(m_settings.stagingPath()) || present(journalPart()));
    const bool oldFiles = !rolledBack && present(m_settings.backupPath());
    QStringList left;
    removeTree(m_settings.stagingPath(), true, &left);
    removeTree(journalPart(), true, &left);
    if (interrupted && left.isEmpty())
        done.append(QStringLiteral("what an interrupted update left was removed"));
    const int before = left.size();
    removeTree(m_settings.backupPath(), false, &left);
    if (oldFiles && left.size() == before)
        done.append(QStringLiteral("the old files of the last update were removed"));
    for (const QString &item : qAsConst(left))
        done.append(item + QLatin1String(" and stays until the next start"));
    m_report = done.join(QLatin1String("; "));
    return true;
}

bool StagedUpdate::rollBackInterrupted()
{
    if (!m_journal.read()) {
        m_report = QLatin1String("the journal of an earlier update cannot be read (")
            + m_journal.errorString() + QLatin1String("): its files were left as they are");
        return fail(m_report);
    }
    const QList<Entry> entries = m_journal.entries();
    for (const Entry &entry : entries) {
        if (!isPlainRelative(entry.path)) {
            m_report = QLatin1String("the journal of an earlier update names ") + entry.path
                + QLatin1String(", which is not inside the installation: nothing was rolled "
                                "back");
            return fail(m_report);
        }
    }
    if (!rollBack(entries)) {
        m_report = QLatin1String("an update that was cut off could not be rolled back whole (")
            + m_error + QLatin1String("); the next start tries again");
        return false;
    }
    m_error.clear();
    if (!m_journal.remove()) {
        if (m_journal.exists()) {
            m_report = QLatin1String("an update that was cut off was rolled back, but its journal "
                                     "could not be removed (")
                + m_journal.errorString() + QLatin1String("); the next start tries again");
            return fail(m_report);
        }
        // Gone, though perhaps not on the disk: a rollback done twice is harmless.
        m_error = QLatin1String("the journal: ") + m_journal.errorString();
    }
    return true;
}

bool StagedUpdate::removeLeftovers()
{
    QStringList left;
    for (const QString &path : { m_settings.stagingPath(), m_settings.backupPath(), journalPart() })
        removeTree(path, true, &left);
    return left.isEmpty() || fail(left.join(QLatin1String("; ")));
}

// Lists what the update moves: each staged file, and each staged folder the
// installation does not have yet, whole. Folders both have are merged.
bool StagedUpdate::plan(const QString &relative, QList<Entry> *entries)
{
    QFileInfoList list;
    if (!listStaged(relative, &list))
        return false;
    for (const QFileInfo &entry : qAsConst(list)) {
        const QString path =
            relative.isEmpty() ? entry.fileName() : relative + QLatin1Char('/') + entry.fileName();
        if (relative.isEmpty() && m_reserved.contains(entry.fileName(), Qt::CaseInsensitive))
            return fail(QLatin1String("the archive holds ") + path
                        + QLatin1String(", a name the updater keeps for itself"));
        if (!checkKind(entry, path))
            return false;
        const QString target = installed(path);
        if (entry.isFile()) {
            if (isRealFolder(target))
                return fail(path
                            + QLatin1String(" is a folder in the installation but a file "
                                            "in the archive"));
            entries->append({ path, present(target) ? OldVersion::Existed : OldVersion::None });
        } else if (!present(target)) {
            if (!checkNewFolder(path))
                return false;
            entries->append({ path, OldVersion::None });
        } else if (!isRealFolder(target)) {
            return fail(path
                        + QLatin1String(" is a file in the installation but a folder "
                                        "in the archive"));
        } else if (!plan(path, entries)) {
            return false;
        }
    }
    return true;
}

// A folder the installation does not have moves in whole, so everything in
// it is looked at before the first move.
bool StagedUpdate::checkNewFolder(const QString &relative)
{
    QFileInfoList list;
    if (!listStaged(relative, &list))
        return false;
    for (const QFileInfo &entry : qAsConst(list)) {
        const QString path = relative + QLatin1Char('/') + entry.fileName();
        if (!checkKind(entry, path) || (entry.isDir() && !checkNewFolder(path)))
            return false;
    }
    return true;
}

bool StagedUpdate::checkKind(const QFileInfo &entry, const QString &path)
{
    if (isLink(entry))
        return fail(QLatin1String("the archive holds a link, ") + path
                    + QLatin1String(": links are not installed"));
    if (!entry.isFile() && !entry.isDir())
        return fail(QLatin1String("the archive holds ") + path
                    + QLatin1String(", which is neither a file nor a folder"));
    return true;
}

bool StagedUpdate::listStaged(const QString &relative, QFileInfoList *entries)
{
    const QString folder = staged(relative);
    QString reason;
    if (!canListFolder(folder, &reason))
        return fail(QLatin1String("the unpacked folder ") + named(folder)
                    + QLatin1String(" cannot be read: ") + reason);
    *entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    return true;
}

// The record goes in last, after the files it speaks of, and as they do:
// journaled, rolled back with them, made durable by the same commit.
bool StagedUpdate::stageRecord(QList<Entry> *entries)
{
    if (m_recordName.isEmpty())
        return true;
    if (!isPlainRelative(m_recordName) || m_recordName.contains(QLatin1Char('/')))
        return fail(QLatin1String("the record ") + m_recordName
                    + QLatin1String(" is not a file of the installation's folder"));
    const QString target = installed(m_recordName);
    if (isRealFolder(target))
        return fail(m_recordName + QLatin1String(" is a folder in the installation, not a record"));
    QFile file(staged(m_recordName));
    if (!file.open(QIODevice::WriteOnly) || file.write(m_recordContent) != m_recordContent.size()
        || !file.flush())
        return fail(QLatin1String("the record ") + m_recordName
                    + QLatin1String(" could not be written: ") + file.errorString());
    entries->append({ m_recordName, present(target) ? OldVersion::Existed : OldVersion::None });
    return true;
}

bool StagedUpdate::moveIn(const Entry &entry)
{
    const QString &path = entry.path;
    if (entry.old == OldVersion::Existed) {
        const QString backupFolder = QFileInfo(backedUp(path)).path();
        QString reason;
        if (!makeFolder(backupFolder, &reason))
            return fail(QDir::toNativeSeparators(backupFolder)
                        + QLatin1String(" could not be made to hold the old ") + path
                        + QLatin1String(": ") + reason);
        if (!rename(installed(path), backedUp(path)))
            return false;
    }
    return rename(staged(path), installed(path));
}

// Passes are repeated within a short bound: each looks at what is where, so
// a later one finishes what an earlier one, or a cut-off rollback, left.
bool StagedUpdate::rollBack(const QList<Entry> &entries)
{
    bool whole = rollBackOnce(entries);
    for (const int pause : RollBackPausesMs) {
        if (whole)
            break;
        QThread::msleep(pause);
        whole = rollBackOnce(entries);
    }
    return whole;
}

bool StagedUpdate::rollBackOnce(const QList<Entry> &entries)
{
    QStringList failures;
    for (int i = entries.size() - 1; i >= 0; --i) {
        if (!restore(entries.at(i)))
            failures.append(m_error);
    }
    return failures.isEmpty() || fail(failures.join(QLatin1String("; ")));
}

// Puts back what the installation had at the entry's path before the apply.
// The journal and the backup alone decide: whatever the staging folder holds,
// or no longer holds, does not count.
bool StagedUpdate::restore(const Entry &entry)
{
    const QString &path = entry.path;
    const bool inBackup = present(backedUp(path));
    switch (entry.old) {
    case OldVersion::None:
        return removeInstalled(path);
    case OldVersion::Existed:
        // An old version that is not in the backup never moved.
        return !inBackup || (removeInstalled(path) && rename(backedUp(path), installed(path)));
    case OldVersion::Unknown:
        break;
    }
    // A journal of format 1 does not say whether there was an old version;
    // the staging folder is the only witness left, as it was for the updater
    // that wrote it.
    if (inBackup)
        return removeInstalled(path) && rename(backedUp(path), installed(path));
    if (present(staged(path)) || !present(installed(path)))
        return true;
    if (!isRealFolder(m_settings.stagingPath()))
        return fail(path
                    + QLatin1String(" cannot be told old or new: the journal of an older updater "
                                    "does not say and the staging folder is gone"));
    return removeInstalled(path);
}

bool StagedUpdate::step()
{
    ++m_steps;
    return !m_renameHook || m_renameHook(m_steps);
}

bool StagedUpdate::rename(const QString &from, const QString &to)
{
    QString reason = QLatin1String(HookRefusal);
    if (!step() || !moveEntry(from, to, &reason))
        return fail(QDir::toNativeSeparators(from) + QLatin1String(" could not be moved to ")
                    + QDir::toNativeSeparators(to) + QLatin1String(": ") + reason);
    return true;
}

bool StagedUpdate::removeInstalled(const QString &path)
{
    const QString target = installed(path);
    if (!present(target))
        return true;
    if (!step())
        return fail(named(target) + QLatin1String(" could not be removed: ")
                    + QLatin1String(HookRefusal));
    QStringList failures;
    removeTree(target, true, &failures);
    return failures.isEmpty() || fail(failures.join(QLatin1String("; ")));
}

// A link is removed as a link: removing it recursively would empty its target.
void StagedUpdate::removeTree(const QString &path, bool retry, QStringList *failures) const
{
    if (!present(path))
        return;
    const QFileInfo info(path);
    const int before = failures->size();
    if (isRealFolder(path)) {
        const QFileInfoList entries = QDir(path).entryInfoList(
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &entry : entries)
            removeTree(entry.filePath(), retry, failures);
        if (!QDir(info.path()).rmdir(info.fileName()) && failures->size() == before)
            failures->append(named(path) + QLatin1String(" could not be removed"));
        return;
    }
    QString reason;
    bool inUse = false;
    if (removeFile(path, retry, &reason, &inUse) || QDir(info.path()).rmdir(info.fileName()))
        return;
    failures->append(
        named(path)
        + (inUse ? QLatin1String(" is still in use")
                 : QLatin1String(" could not be removed (") + reason + QLatin1Char(')')));
}

bool StagedUpdate::fail(const QString &reason)
{
    m_error = reason;
    return false;
}

QString StagedUpdate::staged(const QString &path) const
{
    if (path.isEmpty())
        return m_settings.stagingPath();
    return m_settings.stagingPath() + QLatin1Char('/') + path;
}

QString StagedUpdate::installed(const QString &path) const
{
    return m_settings.appDir + QLatin1Char('/') + path;
}

QString StagedUpdate::backedUp(const QString &path) const
{
    return m_settings.backupPath() + QLatin1Char('/') + path;
}

// A path inside the installation as the log names it.
QString StagedUpdate::named(const QString &path) const
{
    return QDir::toNativeSeparators(QDir(m_settings.appDir).relativeFilePath(path));
}
