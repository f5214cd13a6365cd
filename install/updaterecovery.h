#ifndef UPDATERECOVERY_H
#define UPDATERECOVERY_H

#include "installlayout.h"
#include "updatejournal.h"
#include "updatemoves.h"

#include <QStringList>

// What the updater does before anything else touches the installation:
// rolls back an apply that was cut off, by its journal (see StagedUpdate),
// and removes what an earlier update left (staging and backup folders).
class UpdateRecovery
{
public:
    explicit UpdateRecovery(const InstallLayout &layout);

    // False when an apply could not be rolled back whole; the journal then
    // stays for the next try, and errorString() says why.
    bool run();

    // Whether the installation may be part old, part new.
    bool needsRepair() const { return journal.exists(); }

    QString errorString() const { return error; }
    // What was done that the log should hear of: a rollback, removed
    // leftovers, files that stay.
    QStringList notes() const { return done; }

private:
    bool rollBackInterrupted();
    void removeLeftovers(bool rolledBack);
    bool fail(const QString &reason);

    InstallLayout layout;
    UpdateJournal journal;
    UpdateMoves moves;
    QString error;
    QStringList done;
};

#endif // UPDATERECOVERY_H
