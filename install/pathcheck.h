#ifndef PATHCHECK_H
#define PATHCHECK_H

#include <QDir>
#include <QFileInfo>
#include <QString>
#include <QStringList>

// What the install asks of a path before it touches it.
namespace PathCheck {

// Anything at all: a file, a folder or a link, dangling or not.
inline bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

inline bool isLink(const QFileInfo &info)
{
    return info.isSymbolicLink() || info.isJunction();
}

inline bool isRealFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !isLink(info);
}

// The journal is read back from the disk: only plain relative paths that
// stay inside the installation are acted on.
inline bool isPlainRelative(const QString &path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path) || QDir::cleanPath(path) != path)
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return !parts.contains(QLatin1String("..")) && !path.contains(QLatin1Char(':'))
        && !path.contains(QLatin1Char('\\'));
}

} // namespace PathCheck

#endif // PATHCHECK_H
