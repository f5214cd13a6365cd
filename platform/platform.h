#ifndef PLATFORM_H
#define PLATFORM_H

#include <QString>
#include <QStringList>

// What differs between Windows and Linux: the command lines of the update
// and the file operations of the install. Each platform has one source file
// behind these functions, chosen by the build.

// --- Command lines. Every command line ends in a line feed, which makes the
// shell run it.

// The command interpreter that runCommand() starts: it reads command lines
// from its standard input and exits when that input ends.
QString shellProgram();

// Ends every running process whose image name is exeName, by force.
QString stopCommand(const QString &exeName);

// Extracts the archive archiveName into the folder stagingName, both named
// relative to the shell's working directory, so that no path outside ASCII
// has to pass through the shell. The shell exits with 0 only when the
// unpacker reported the whole archive extracted.
QString unpackCommand(const QString &archiveName, const QString &stagingName);

// Starts the program executableName in directory, which is also the
// shell's working directory, so that it outlives the updater and the shell
// returns at once whatever kind of program it is.
QString startCommand(const QString &directory, const QString &executableName);

// --- Files. On failure each of these leaves the system's reason in
// errorString.

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

#endif // PLATFORM_H
