#ifndef FILEHELPERS_H
#define FILEHELPERS_H

#include <QString>
#include <QStringList>

// True when an element of list equals value exactly (case-sensitive).
bool listContains(const QString &value, const QStringList &list);

// Removes the directory at path with everything in it and returns whether
// the directory itself is gone. An empty path removes nothing and gives
// false; a path that does not exist gives true. Hidden entries are not
// listed, so they survive, and with them every directory above them. Links
// are removed as links, never followed: a removal stays inside the tree.
bool removeDirectory(const QString &path);

// As removeDirectory(), but only the directory's own files and links go;
// subdirectories are left whole, and keep the directory itself alive.
bool removeDirectoryFiles(const QString &path);

// The file name of the first file in path (in name order, ignoring case)
// whose complete suffix is exactly "max", or an empty string. An empty path
// searches the working directory.
QString findMaxFile(const QString &path);

#endif // FILEHELPERS_H
