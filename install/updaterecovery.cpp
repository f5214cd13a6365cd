#include "updaterecovery.h"

#include "pathcheck.h"

using namespace PathCheck;

UpdateRecovery::UpdateRecovery(const InstallLayout &layout)
    : layout(layout)
    , journal(layout.journalPath())
    , moves(layout)
{
}

bool UpdateRecovery::run()
{
    error.clear();
    done.clear();
    const bool rolledBack = journal.exists();
    if (rolledBack && !rollBackInterrupted())
        return false;
    removeLeftovers(rolledBack);
    return true;
}

bool UpdateRecovery::rollBackInterrupted()
{
    if (!journal.read())
        return fail(QLatin1String("the journal of an earlier update cannot be read (")
                    + journal.errorString() + QLatin1String("): its files were left as they are"));
    const QList<UpdateJournal::Entry> entries = journal.entries();
    for (const UpdateJournal::Entry &entry : entries) {
        if (!isPlainRelative(entry.path))
            return fail(QLatin1String("the journal of an earlier update names ") + entry.path
                        + QLatin1String(", which is not inside the installation: nothing was "
                                        "rolled back"));
    }
    if (!moves.rollBack(entries))
        return fail(QLatin1String("an update that was cut off could not be rolled back whole (")
                    + moves.errorString() + QLatin1String("); the next start tries again"));
    const bool removed = journal.remove();
    if (!removed && journal.exists())
        return fail(QLatin1String("an update that was cut off was rolled back, but its journal "
                                  "could not be removed (")
                    + journal.errorString() + QLatin1String("); the next start tries again"));
    done.append(QStringLiteral("an update that was cut off was rolled back: the installation is "
                               "as it was before it"));
    // Gone, though perhaps not on the disk: a rollback done twice is harmless.
    if (!removed)
        done.append(QLatin1String("the journal: ") + journal.errorString());
    return true;
}

void UpdateRecovery::removeLeftovers(bool rolledBack)
{
    const bool interrupted =
        !rolledBack && (present(layout.stagingPath()) || present(layout.journalPartPath()));
    const bool oldFiles = !rolledBack && present(layout.backupPath());
    QStringList left;
    moves.removeTree(layout.stagingPath(), true, &left);
    moves.removeTree(layout.journalPartPath(), true, &left);
    if (interrupted && left.isEmpty())
        done.append(QStringLiteral("what an interrupted update left was removed"));
    const int before = left.size();
    moves.removeTree(layout.backupPath(), false, &left);
    if (oldFiles && left.size() == before)
        done.append(QStringLiteral("the old files of the last update were removed"));
    for (const QString &item : qAsConst(left))
        done.append(item + QLatin1String(" and stays until the next start"));
}

bool UpdateRecovery::fail(const QString &reason)
{
    error = reason;
    return false;
}
