#include "updatemoves.h"

#include "fileoperations.h"
#include "pathcheck.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

using namespace PathCheck;

namespace {

// Pauses between the passes of a rollback that did not finish: the moves
// back meet the same transient locks as the moves in.
constexpr int RollBackPausesMs[] = { 100, 300, 600 };

} // namespace

UpdateMoves::UpdateMoves(const InstallLayout &layout)
    : layout(layout)
{
}

bool UpdateMoves::moveIn(const Entry &entry)
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

bool UpdateMoves::rollBack(const QList<Entry> &entries)
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

bool UpdateMoves::rollBackOnce(const QList<Entry> &entries)
{
    QStringList failures;
    for (int i = entries.size() - 1; i >= 0; --i) {
        if (!restore(entries.at(i)))
            failures.append(error);
    }
    return failures.isEmpty() || fail(failures.join(QLatin1String("; ")));
}

// The journal and the backup alone decide: whatever the staging folder
// holds, or no longer holds, does not count.
bool UpdateMoves::restore(const Entry &entry)
{
    const QString &path = entry.path;
    if (entry.old == OldVersion::None)
        return removeInstalled(path);
    // An old version that is not in the backup never moved.
    return !present(backedUp(path))
        || (removeInstalled(path) && rename(backedUp(path), installed(path)));
}

bool UpdateMoves::removeLeftovers()
{
    QStringList left;
    for (const QString &path :
         { layout.stagingPath(), layout.backupPath(), layout.journalPartPath() })
        removeTree(path, true, &left);
    return left.isEmpty() || fail(left.join(QLatin1String("; ")));
}

bool UpdateMoves::step()
{
    ++steps;
    return !renameHook || renameHook(steps);
}

QString UpdateMoves::hookRefusal()
{
    return QStringLiteral("stopped at the rename hook");
}

bool UpdateMoves::rename(const QString &from, const QString &to)
{
    QString reason = hookRefusal();
    if (!step() || !moveEntry(from, to, &reason))
        return fail(QDir::toNativeSeparators(from) + QLatin1String(" could not be moved to ")
                    + QDir::toNativeSeparators(to) + QLatin1String(": ") + reason);
    return true;
}

bool UpdateMoves::removeInstalled(const QString &path)
{
    const QString target = installed(path);
    if (!present(target))
        return true;
    if (!step())
        return fail(named(target) + QLatin1String(" could not be removed: ") + hookRefusal());
    QStringList failures;
    removeTree(target, true, &failures);
    return failures.isEmpty() || fail(failures.join(QLatin1String("; ")));
}

void UpdateMoves::removeTree(const QString &path, bool retry, QStringList *failures) const
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

bool UpdateMoves::fail(const QString &reason)
{
    error = reason;
    return false;
}

QString UpdateMoves::staged(const QString &path) const
{
    if (path.isEmpty())
        return layout.stagingPath();
    return layout.stagingPath() + QLatin1Char('/') + path;
}

QString UpdateMoves::installed(const QString &path) const
{
    return layout.inAppDir(path);
}

QString UpdateMoves::backedUp(const QString &path) const
{
    return layout.backupPath() + QLatin1Char('/') + path;
}

QString UpdateMoves::named(const QString &path) const
{
    return QDir::toNativeSeparators(QDir(layout.appDir).relativeFilePath(path));
}
