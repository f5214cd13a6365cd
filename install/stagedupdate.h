#ifndef STAGEDUPDATE_H
#define STAGEDUPDATE_H

#include "updatejournal.h"
#include "updatesettings.h"

#include <QStringList>

#include <functional>

// Moves an update that was unpacked into the staging folder into the
// installation, all or nothing. Each installed file the update replaces is
// first moved aside into the backup folder, then the new one moved into
// place: renames within one file system, no data copied. On any failure
// everything moves back in reverse order. The journal, on disk before the
// first rename, lets recover() put right an apply that was cut off.
// Files and folders the update does not hold are left alone.
class StagedUpdate
{
public:
    explicit StagedUpdate(const UpdateSettings &settings);

    // Checks the staged tree (regular files and folders only) and applies
    // it. False leaves the installation as it was; errorString() says why.
    bool apply();

    // Run before anything else touches the installation: rolls back an
    // apply that was cut off and removes what an interrupted update left
    // (staging and backup folders). False when an apply could not be rolled
    // back whole; the journal then stays for the next try. report() says
    // what was done, empty when there was nothing to do.
    bool recover();
    QString report() const { return m_report; }

    // Removes the staging and backup folders of an earlier attempt.
    bool removeLeftovers();

    QString errorString() const { return m_error; }

    // Test seam: called after each rename of the apply with their count so far.
    void setRenameHook(std::function<void(int)> hook) { m_renameHook = std::move(hook); }

private:
    bool plan(const QString &relative, QStringList *paths);
    bool moveIn(const QString &path);
    bool rollBack(const QStringList &paths);
    bool discardStaged();
    bool undo(const QStringList &paths, const QString &reason);
    bool rename(const QString &from, const QString &to);
    bool fail(const QString &reason);

    QString staged(const QString &path) const;
    QString installed(const QString &path) const;
    QString backedUp(const QString &path) const;

    UpdateSettings m_settings;
    UpdateJournal m_journal;
    QStringList m_reserved;
    std::function<void(int)> m_renameHook;
    int m_renames = 0;
    QString m_error;
    QString m_report;
};

#endif // STAGEDUPDATE_H
