#ifndef STAGEDUPDATE_H
#define STAGEDUPDATE_H

#include "updatejournal.h"
#include "updatesettings.h"

#include <QFileInfoList>
#include <QStringList>

#include <functional>

// Moves an update that was unpacked into the staging folder into the
// installation, all or nothing. Each installed file the update replaces is
// first moved aside into the backup folder, then the new one moved into
// place: renames within one file system, no data copied. On any failure
// everything moves back in reverse order. The journal, on disk before the
// first rename, lets recover() put right an apply that was cut off; it and
// the backup alone say what to put back, whatever became of the staging
// folder. Files and folders the update does not hold are left alone.
class StagedUpdate
{
public:
    using Entry = UpdateJournal::Entry;
    using OldVersion = UpdateJournal::OldVersion;

    explicit StagedUpdate(const UpdateSettings &settings);

    // Adds the file path, directly in the installation's folder, to the
    // update: written into the staged tree once the archive's files passed
    // the checks, then moved in and journaled like them, last. A rollback
    // puts the old one back; an archive that holds the name is refused.
    void setRecord(const QString &path, const QByteArray &content);

    // Checks the staged tree (regular files and folders only, at any depth)
    // and applies it. False leaves the installation as it was unless
    // needsRepair(); errorString() says why.
    bool apply();

    // Run before anything else touches the installation: rolls back an
    // apply that was cut off and removes what an earlier update left
    // (staging and backup folders). False when an apply could not be rolled
    // back whole; the journal then stays for the next try.
    bool recover();

    // What apply() or recover() did that the log should hear of, empty when
    // nothing: a rollback, removed leftovers, files that stay.
    QString report() const { return m_report; }

    // Removes the staging and backup folders of an earlier attempt.
    bool removeLeftovers();

    // Whether the installation may be part old, part new: a rollback could
    // not finish, and the journal stays for the next start to repair it.
    bool needsRepair() const { return m_journal.exists(); }

    QString errorString() const { return m_error; }

    // Test seam: called before each move (a rename, or a removal of what a
    // rollback takes out) of the apply and its rollback, numbered from 1,
    // and once more before the commit; false fails that step.
    void setRenameHook(std::function<bool(int)> hook) { m_renameHook = std::move(hook); }

private:
    bool plan(const QString &relative, QList<Entry> *entries);
    bool checkNewFolder(const QString &relative);
    bool checkKind(const QFileInfo &entry, const QString &path);
    bool listStaged(const QString &relative, QFileInfoList *entries);
    bool stageRecord(QList<Entry> *entries);
    bool moveIn(const Entry &entry);
    bool commit(const QList<Entry> &entries);
    void removeOldFiles();
    bool rollBack(const QList<Entry> &entries);
    bool rollBackOnce(const QList<Entry> &entries);
    bool restore(const Entry &entry);
    bool rollBackInterrupted();
    bool discardStaged();
    bool undo(const QList<Entry> &entries, const QString &reason);
    bool step();
    bool rename(const QString &from, const QString &to);
    bool removeInstalled(const QString &path);
    void removeTree(const QString &path, bool retry, QStringList *failures) const;
    bool fail(const QString &reason);

    QString staged(const QString &path) const;
    QString installed(const QString &path) const;
    QString backedUp(const QString &path) const;
    QString named(const QString &path) const;
    QString journalPart() const { return m_settings.journalPath() + QLatin1String(".part"); }

    UpdateSettings m_settings;
    UpdateJournal m_journal;
    QStringList m_reserved;
    QString m_recordName;
    QByteArray m_recordContent;
    std::function<bool(int)> m_renameHook;
    int m_steps = 0;
    QString m_error;
    QString m_report;
};

#endif // STAGEDUPDATE_H
