#include "stagedupdate.h"

#include "fileoperations.h"
#include "pathcheck.h"
#include "updateplan.h"

#include <QFile>

using namespace PathCheck;

namespace {

QStringList pathsOf(const QList<UpdateJournal::Entry> &entries)
{
    QStringList paths;
    for (const UpdateJournal::Entry &entry : entries)
        paths.append(entry.path);
    return paths;
}

} // namespace

StagedUpdate::StagedUpdate(const InstallLayout &layout)
    : layout(layout)
    , journal(layout.journalPath())
    , moves(layout)
{
}

bool StagedUpdate::apply(const QByteArray &record)
{
    error.clear();
    left.clear();
    if (journal.exists())
        return fail(QStringLiteral("an earlier update has not been rolled back yet"));
    QList<Entry> entries;
    if (!prepare(record, &entries))
        return discardStaged();
    if (!journal.write(entries)) {
        fail(QLatin1String("the journal could not be written: ") + journal.errorString());
        return discardStaged();
    }
    return moveAll(entries) && commit(entries);
}

// Whatever the backup holds once the journal is written, this apply put
// there: a rollback takes it for the old version.
bool StagedUpdate::prepare(const QByteArray &record, QList<Entry> *entries)
{
    QStringList held;
    moves.removeTree(layout.backupPath(), true, &held);
    if (!held.isEmpty())
        return fail(held.join(QLatin1String("; ")));
    UpdatePlan plan(layout);
    if (!plan.make())
        return fail(plan.errorString());
    *entries = plan.entries();
    if (!stageRecord(record, entries))
        return false;
    return !entries->isEmpty() || fail(QStringLiteral("the archive holds nothing to install"));
}

// The record goes in last, after the files it speaks of, and as they do:
// journaled, rolled back with them, made durable by the same commit.
bool StagedUpdate::stageRecord(const QByteArray &record, QList<Entry> *entries)
{
    if (record.isNull())
        return true;
    const QString name = layout.releaseName();
    const QString target = moves.installed(name);
    if (isRealFolder(target))
        return fail(name + QLatin1String(" is a folder in the installation, not a record"));
    QFile file(moves.staged(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(record) != record.size() || !file.flush())
        return fail(QLatin1String("the record ") + name + QLatin1String(" could not be written: ")
                    + file.errorString());
    entries->append({ name, present(target) ? OldVersion::Existed : OldVersion::None });
    return true;
}

bool StagedUpdate::moveAll(const QList<Entry> &entries)
{
    for (int i = 0; i < entries.size(); ++i) {
        if (moves.moveIn(entries.at(i)))
            continue;
        // The entry that failed may have gone into the backup already; a
        // new one that did not move in is not the apply's to remove.
        QList<Entry> moved = entries.mid(0, i);
        if (entries.at(i).old == OldVersion::Existed)
            moved.append(entries.at(i));
        return undo(moved, moves.errorString());
    }
    return true;
}

// The update is whole in place. Its files and renames reach the disk before
// the journal goes, and the journal's removal before the old files go: a
// power cut at any moment leaves the journal with every old file, or the
// update done.
bool StagedUpdate::commit(const QList<Entry> &entries)
{
    QString reason = UpdateMoves::hookRefusal();
    if (!moves.step() || !syncMoved(layout.appDir, pathsOf(entries), &reason))
        return undo(entries,
                    QLatin1String("the new files could not be forced to the disk: ") + reason);
    if (!journal.remove()) {
        if (journal.exists())
            return undo(entries,
                        QLatin1String("the journal could not be removed: ")
                            + journal.errorString());
        left.append(QLatin1String("the journal of the update is removed, but ")
                    + journal.errorString() + QLatin1String(": the old files stay in ")
                    + moves.named(layout.backupPath()) + QLatin1String(" until the next start"));
        return true;
    }
    removeOldFiles();
    return true;
}

// On Windows a running program's files cannot be removed, only renamed: when
// the update replaces the updater itself, its old files stay in the backup.
void StagedUpdate::removeOldFiles()
{
    QStringList held;
    moves.removeTree(layout.stagingPath(), true, &held);
    moves.removeTree(layout.backupPath(), false, &held);
    for (const QString &item : qAsConst(held))
        left.append(item + QLatin1String(" and stays until the next start"));
}

// Nothing has moved yet: the unpacked files go, the reason stays.
bool StagedUpdate::discardStaged()
{
    moves.removeLeftovers();
    return false;
}

// failure is a copy: the rollback's own failures must not overwrite it.
bool StagedUpdate::undo(const QList<Entry> &entries, const QString failure)
{
    if (!moves.rollBack(entries))
        return fail(failure + QLatin1String("; moving the old files back failed too (")
                    + moves.errorString()
                    + QLatin1String("): the installation is part old, part new until the next "
                                    "start of the updater repairs it"));
    if (!journal.remove() && journal.exists())
        return fail(failure
                    + QLatin1String("; every file was moved back, but the journal could "
                                    "not be removed (")
                    + journal.errorString()
                    + QLatin1String("): the next start of the updater removes it"));
    moves.removeLeftovers();
    return fail(failure + QLatin1String("; every file was moved back"));
}

bool StagedUpdate::fail(const QString &reason)
{
    error = reason;
    return false;
}
