#ifndef UPDATEMOVES_H
#define UPDATEMOVES_H

#include "installlayout.h"
#include "updatejournal.h"

#include <QStringList>

#include <functional>

// The moves of an update between the staging folder, the installation and
// the backup folder, and the moves back. Paths are relative to the
// installation. Each failing move leaves its reason in errorString().
class UpdateMoves
{
public:
    using Entry = UpdateJournal::Entry;
    using OldVersion = UpdateJournal::OldVersion;

    explicit UpdateMoves(const InstallLayout &layout);

    // Moves the installed version of the entry's path aside, when there is
    // one, and the staged one into its place.
    bool moveIn(const Entry &entry);
    // Puts back what the installation had at each entry's path before the
    // moves in, the last entry first. Passes are repeated within a short
    // bound: each looks at what is where, so a later one finishes what an
    // earlier one, or a cut-off rollback, left.
    bool rollBack(const QList<Entry> &entries);

    // Removes path (a link as a link), with its contents; what cannot be
    // removed is added to failures. With retry, held files are waited for.
    void removeTree(const QString &path, bool retry, QStringList *failures) const;
    // Removes the staging and backup folders and the journal's part file
    // of an earlier attempt.
    bool removeLeftovers();

    // A step of the moves, counted from 1 (see setRenameHook()); false when
    // the hook fails it.
    bool step();
    void setRenameHook(std::function<bool(int)> hook) { renameHook = std::move(hook); }

    QString staged(const QString &path) const;
    QString installed(const QString &path) const;
    QString backedUp(const QString &path) const;
    // A path inside the installation as the log names it.
    QString named(const QString &path) const;

    QString errorString() const { return error; }

    // The reason a step that the hook failed gives.
    static QString hookRefusal();

private:
    bool rollBackOnce(const QList<Entry> &entries);
    bool restore(const Entry &entry);
    bool rename(const QString &from, const QString &to);
    bool removeInstalled(const QString &path);
    bool fail(const QString &reason);

    InstallLayout layout;
    std::function<bool(int)> renameHook;
    int steps = 0;
    QString error;
};

#endif // UPDATEMOVES_H
