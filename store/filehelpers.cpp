#include "filehelpers.h"

#include <QDir>
#include <QFileInfo>

namespace {

enum class Descend { IntoSubdirectories, No };

bool isLink(const QFileInfo &entry)
{
    return entry.isSymLink() || entry.isJunction();
}

// Unix unlinks any link; Windows keeps links to directories as directories,
// and removing one with rmdir leaves its target alone.
bool removeLink(const QFileInfo &link)
{
    QDir parent = link.dir();
    return parent.remove(link.fileName()) || parent.rmdir(link.fileName());
}

bool removeTree(const QString &path, Descend descend)
{
    if (path.isEmpty())
        return false;
    // A link named as the tree is the tree's whole extent: its target is
    // somewhere else.
    const QFileInfo top(path);
    if (isLink(top) && top.isDir())
        return removeLink(top);
    QDir dir(path);
    if (!dir.exists())
        return true;

    dir.setFilter(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QFileInfoList entries = dir.entryInfoList(QDir::NoFilter, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (isLink(entry))
            removeLink(entry);
        else if (entry.isFile())
            entry.dir().remove(entry.fileName());
        else if (descend == Descend::IntoSubdirectories)
            removeTree(entry.absoluteFilePath(), descend);
    }
    // rmdir, not rmpath: the parents belong to the caller, empty or not.
    return dir.rmdir(dir.absolutePath());
}

} // namespace

bool listContains(const QString &value, const QStringList &list)
{
    return list.contains(value, Qt::CaseSensitive);
}

bool removeDirectory(const QString &path)
{
    return removeTree(path, Descend::IntoSubdirectories);
}

bool removeDirectoryFiles(const QString &path)
{
    return removeTree(path, Descend::No);
}

QString findMaxFile(const QString &path)
{
    const QDir dir(path);
    const QFileInfoList entries = dir.entryInfoList(QDir::NoFilter, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (entry.isFile() && entry.completeSuffix() == QLatin1String("max"))
            return entry.baseName() + QLatin1String(".max");
    }
    return QString();
}
