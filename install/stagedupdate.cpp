#include "stagedupdate.h"

#include "platform.h"

#include <QDir>
#include <QFileInfo>

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

// A link is removed as a link: removing it recursively would empty its target.
bool removeTree(const QString &path)
{
    const QFileInfo info(path);
    if (!present(path))
        return true;
    if (isRealFolder(path))
        return QDir(path).removeRecursively();
    return QFile::remove(path) || QDir(info.path()).rmdir(info.fileName());
}

} // namespace

StagedUpdate::StagedUpdate(const UpdateSettings &settings)
    : m_settings(settings)
    , m_journal(settings.journalPath())
{
    for (const QString &path :
         { settings.stagingPath(), settings.backupPath(), settings.journalPath() })
        m_reserved.append(QFileInfo(path).fileName());
}

bool StagedUpdate::apply()
{
    m_error.clear();
    m_renames = 0;
    if (m_journal.exists())
        return fail(QStringLiteral("an earlier update has not been rolled back yet"));
    QStringList paths;
    if (!plan(QString(), &paths))
        return discardStaged();
    if (paths.isEmpty()) {
        fail(QStringLiteral("the archive holds nothing to install"));
        return discardStaged();
    }
    if (!m_journal.write(paths)) {
        fail(QLatin1String("the journal could not be written: ") + m_journal.errorString());
        return discardStaged();
    }

    for (int i = 0; i < paths.size(); ++i) {
        if (moveIn(paths.at(i)))
            continue;
        return undo(paths.mid(0, i + 1), m_error);
    }
    // The update is whole in place: from here on it counts as done.
    if (!m_journal.remove())
        return undo(paths,
                    QLatin1String("the journal could not be removed: ") + m_journal.errorString());
    removeLeftovers();
    return true;
}

// Nothing has moved yet: the unpacked files go, the reason stays.
bool StagedUpdate::discardStaged()
{
    const QString reason = m_error;
    removeLeftovers();
    return fail(reason);
}

bool StagedUpdate::undo(const QStringList &paths, const QString &reason)
{
    if (!rollBack(paths))
        return fail(reason + QLatin1String("; moving the old files back failed too (") + m_error
                    + QLatin1String("): the next start of the updater tries again"));
    m_journal.remove();
    removeLeftovers();
    return fail(reason + QLatin1String("; every file was moved back"));
}

bool StagedUpdate::recover()
{
    m_report.clear();
    m_error.clear();
    if (m_journal.exists()) {
        if (!m_journal.read()) {
            m_report = QLatin1String("the journal of an earlier update cannot be read (")
                + m_journal.errorString() + QLatin1String("): its files were left as they are");
            return fail(m_report);
        }
        const QStringList paths = m_journal.paths();
        for (const QString &path : paths) {
            if (!isPlainRelative(path)) {
                m_report = QLatin1String("the journal of an earlier update names ") + path
                    + QLatin1String(", which is not inside the installation: nothing was rolled "
                                    "back");
                return fail(m_report);
            }
        }
        if (!rollBack(paths)) {
            m_report = QLatin1String("an update that was cut off could not be rolled back whole (")
                + m_error + QLatin1String("); the next start tries again");
            return false;
        }
        m_journal.remove();
        m_report = QStringLiteral("an update that was cut off was rolled back: the installation "
                                  "is as it was before it");
    }
    const bool leftovers = present(m_settings.stagingPath()) || present(m_settings.backupPath());
    if (!removeLeftovers()) {
        m_report += QLatin1String(m_report.isEmpty() ? "" : "; ") + m_error;
    } else if (leftovers && m_report.isEmpty()) {
        m_report = QStringLiteral("what an interrupted update left was removed");
    }
    return true;
}

bool StagedUpdate::removeLeftovers()
{
    for (const QString &path : { m_settings.stagingPath(), m_settings.backupPath() }) {
        if (!removeTree(path))
            return fail(QDir::toNativeSeparators(path) + QLatin1String(" could not be removed"));
    }
    return true;
}

// Lists what the update moves: each staged file, and each staged folder the
// installation does not have yet, whole. Folders both have are merged.
bool StagedUpdate::plan(const QString &relative, QStringList *paths)
{
    const QString folder = staged(relative);
    const QFileInfo folderInfo(folder);
    if (!folderInfo.isReadable() || !folderInfo.isExecutable())
        return fail(QLatin1String("the unpacked folder ") + relative
                    + QLatin1String(" cannot be read"));
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString path =
            relative.isEmpty() ? entry.fileName() : relative + QLatin1Char('/') + entry.fileName();
        if (relative.isEmpty() && m_reserved.contains(entry.fileName(), Qt::CaseInsensitive))
            return fail(QLatin1String("the archive holds ") + path
                        + QLatin1String(", a name the updater keeps for itself"));
        if (isLink(entry))
            return fail(QLatin1String("the archive holds a link, ") + path
                        + QLatin1String(": links are not installed"));
        const QString target = installed(path);
        if (entry.isFile()) {
            if (isRealFolder(target))
                return fail(path
                            + QLatin1String(" is a folder in the installation but a file "
                                            "in the archive"));
            paths->append(path);
        } else if (entry.isDir()) {
            if (!present(target))
                paths->append(path);
            else if (!isRealFolder(target))
                return fail(path
                            + QLatin1String(" is a file in the installation but a folder "
                                            "in the archive"));
            else if (!plan(path, paths))
                return false;
        } else {
            return fail(QLatin1String("the archive holds ") + path
                        + QLatin1String(", which is neither a file nor a folder"));
        }
    }
    return true;
}

bool StagedUpdate::moveIn(const QString &path)
{
    if (present(installed(path))) {
        const QString backupFolder = QFileInfo(backedUp(path)).path();
        if (!QDir().mkpath(backupFolder))
            return fail(QDir::toNativeSeparators(backupFolder)
                        + QLatin1String(" could not be made to hold the old ") + path);
        if (!rename(installed(path), backedUp(path)))
            return false;
    }
    return rename(staged(path), installed(path));
}

// Undoes the moves of paths, last first. It looks at what is where rather
// than at what was done, so that it can also finish a rollback that was
// itself cut off.
bool StagedUpdate::rollBack(const QStringList &paths)
{
    QStringList failures;
    for (int i = paths.size() - 1; i >= 0; --i) {
        const QString &path = paths.at(i);
        if (!present(staged(path)) && present(installed(path))
            && !rename(installed(path), staged(path))) {
            failures.append(m_error);
            continue;
        }
        if (present(backedUp(path)) && !rename(backedUp(path), installed(path)))
            failures.append(m_error);
    }
    if (failures.isEmpty())
        return true;
    return fail(failures.join(QLatin1String("; ")));
}

bool StagedUpdate::rename(const QString &from, const QString &to)
{
    QString reason;
    if (!moveEntry(from, to, &reason)) {
        return fail(QDir::toNativeSeparators(from) + QLatin1String(" could not be moved to ")
                    + QDir::toNativeSeparators(to) + QLatin1String(": ") + reason);
    }
    ++m_renames;
    if (m_renameHook)
        m_renameHook(m_renames);
    return true;
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
