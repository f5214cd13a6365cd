#ifndef STAGEDUPDATE_H
#define STAGEDUPDATE_H

#include "installlayout.h"
#include "updatejournal.h"
#include "updatemoves.h"

#include <QStringList>

#include <functional>

// Moves an update that was unpacked into the staging folder into the
// installation, all or nothing. Each installed file the update replaces is
// first moved aside into the backup folder, then the new one moved into
// place: renames within one file system, no data copied. On any failure
// everything moves back in reverse order. The journal, on disk before the
// first rename, lets UpdateRecovery put right an apply that was cut off; it
// and the backup alone say what to put back, whatever became of the staging
// folder. Files and folders the update does not hold are left alone.
class StagedUpdate
{
public:
    using Entry = UpdateJournal::Entry;
    using OldVersion = UpdateJournal::OldVersion;

    explicit StagedUpdate(const InstallLayout &layout);

    // Checks the staged tree (UpdatePlan) and applies it. A record that is
    // not null is written to the layout's release record in the same
    // transaction, last: a rollback puts the old one back. False leaves the
    // installation as it was unless needsRepair(); errorString() says why.
    bool apply(const QByteArray &record = QByteArray());

    // Whether the installation may be part old, part new: a rollback could
    // not finish, and the journal stays for the next start to repair it.
    bool needsRepair() const { return journal.exists(); }

    QString errorString() const { return error; }
    // What an apply that succeeded left for the next start: files that
    // could not be removed yet.
    QStringList notes() const { return left; }

    // Test seam: called before each move (a rename, or a removal of what a
    // rollback takes out) of the apply and its rollback, numbered from 1,
    // and once more before the commit; false fails that step.
    void setRenameHook(std::function<bool(int)> hook) { moves.setRenameHook(std::move(hook)); }

private:
    bool prepare(const QByteArray &record, QList<Entry> *entries);
    bool stageRecord(const QByteArray &record, QList<Entry> *entries);
    bool moveAll(const QList<Entry> &entries);
    bool commit(const QList<Entry> &entries);
    void removeOldFiles();
    bool discardStaged();
    bool undo(const QList<Entry> &entries, QString failure);
    bool fail(const QString &reason);

    InstallLayout layout;
    UpdateJournal journal;
    UpdateMoves moves;
    QString error;
    QStringList left;
};

#endif // STAGEDUPDATE_H
