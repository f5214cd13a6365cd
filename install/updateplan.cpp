#include "updateplan.h"

#include "fileoperations.h"
#include "pathcheck.h"

#include <QDir>

using namespace PathCheck;
using OldVersion = UpdateJournal::OldVersion;

UpdatePlan::UpdatePlan(const InstallLayout &layout)
    : layout(layout)
{
}

bool UpdatePlan::make()
{
    planned.clear();
    error.clear();
    return plan(QString());
}

bool UpdatePlan::plan(const QString &relative)
{
    QFileInfoList list;
    if (!listStaged(relative, &list))
        return false;
    for (const QFileInfo &entry : qAsConst(list)) {
        const QString path =
            relative.isEmpty() ? entry.fileName() : relative + QLatin1Char('/') + entry.fileName();
        if (relative.isEmpty()
            && layout.reservedNames().contains(entry.fileName(), Qt::CaseInsensitive))
            return fail(QLatin1String("the archive holds ") + path
                        + QLatin1String(", a name the updater keeps for itself"));
        if (!checkKind(entry, path))
            return false;
        const QString target = layout.inAppDir(path);
        if (entry.isFile()) {
            if (!planFile(path))
                return false;
        } else if (!present(target)) {
            if (!checkNewFolder(path))
                return false;
            planned.append({ path, OldVersion::None });
        } else if (!isRealFolder(target)) {
            return fail(path
                        + QLatin1String(" is a file in the installation but a folder "
                                        "in the archive"));
        } else if (!plan(path)) {
            return false;
        }
    }
    return true;
}

bool UpdatePlan::planFile(const QString &path)
{
    const QString target = layout.inAppDir(path);
    if (isRealFolder(target))
        return fail(path
                    + QLatin1String(" is a folder in the installation but a file in the archive"));
    planned.append({ path, present(target) ? OldVersion::Existed : OldVersion::None });
    return true;
}

// A folder the installation does not have moves in whole, so everything in
// it is looked at before the first move.
bool UpdatePlan::checkNewFolder(const QString &relative)
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

bool UpdatePlan::checkKind(const QFileInfo &entry, const QString &path)
{
    if (isLink(entry))
        return fail(QLatin1String("the archive holds a link, ") + path
                    + QLatin1String(": links are not installed"));
    if (!entry.isFile() && !entry.isDir())
        return fail(QLatin1String("the archive holds ") + path
                    + QLatin1String(", which is neither a file nor a folder"));
    return true;
}

bool UpdatePlan::listStaged(const QString &relative, QFileInfoList *entries)
{
    const QString folder = relative.isEmpty() ? layout.stagingPath()
                                              : layout.stagingPath() + QLatin1Char('/') + relative;
    QString reason;
    if (!canListFolder(folder, &reason))
        return fail(QLatin1String("the unpacked folder ")
                    + QDir::toNativeSeparators(QDir(layout.appDir).relativeFilePath(folder))
                    + QLatin1String(" cannot be read: ") + reason);
    *entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    return true;
}

bool UpdatePlan::fail(const QString &reason)
{
    error = reason;
    return false;
}
