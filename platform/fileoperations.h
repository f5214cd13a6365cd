#ifndef FILEOPERATIONS_H
#define FILEOPERATIONS_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// The file operations of the install, which each system does its own way.
// Each platform has one source file behind them, chosen by the build. On
// failure each of them leaves the system's reason in errorString.

// The pauses between the tries of a file operation that the system refused
// because another program holds the file, about 2 s in all: virus scanners
// and indexers open a file that was just written for a moment.
constexpr int HeldFilePausesMs[] = { 50, 100, 200, 400, 500, 750 };

// Renames the file, folder or link from to the path to, which must not
// exist, on the same file system. Unlike QFile::rename() it never falls back
// to copying the data: an apply that is cut off must find every file either
// where it was or where it went, never half copied. Tried again after each
// of HeldFilePausesMs while the file is held.
bool moveEntry(const QString &from, const QString &to, QString *errorString);

// Removes the file or link path (a read-only one too). With retry it is
// tried again like moveEntry(); without, inUse (when given) tells whether it
// failed because the file is held or, on Windows, is a running program's.
bool removeFile(const QString &path, bool retry, QString *errorString, bool *inUse = nullptr);

// Makes the folder path and the folders above it that are missing.
bool makeFolder(const QString &path, QString *errorString);

// Whether the folder's entries can be listed.
bool canListFolder(const QString &path, QString *errorString);

// Writes data into path + ".part", forces it to the disk, renames it to
// path (replacing it) and forces that rename to the disk: path holds the
// old content or the whole new one, and a failed write or sync is reported.
bool writeFileDurably(const QString &path, const QByteArray &data, QString *errorString);

// Forces the entries of folder (names added, renamed or removed) to the disk.
bool syncFolder(const QString &folder, QString *errorString);

// Forces the files and folders at root/paths (a folder with everything in
// it) to the disk, and the renames that put them there.
bool syncMoved(const QString &root, const QStringList &paths, QString *errorString);

#endif // FILEOPERATIONS_H
