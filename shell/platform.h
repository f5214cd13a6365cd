#ifndef PLATFORM_H
#define PLATFORM_H

#include <QString>

// The command lines of the update differ between Windows and POSIX systems;
// everything that differs lives behind these functions. Every command line
// ends in a line feed, which makes the shell run it.

// The command interpreter that runCommand() starts: it reads command lines
// from its standard input and exits when that input ends.
QString shellProgram();

// Ends every running process whose image name is exeName, by force.
QString stopCommand(const QString &exeName);

// Extracts "vlm_update.zip" from the current directory into it, overwriting.
// A damaged archive is partly written before the unpacker gives up: run this
// only on an archive that has been checked.
QString unpackCommand();
// As unpackCommand(), once the unpacker has read the whole archive through
// without an error; a damaged or unreadable archive leaves every file as it
// was.
QString testAndUnpackCommand();

// Starts the program at executablePath so that it outlives the updater and
// the shell returns at once. The path is quoted: installations live under
// folders such as "C:/Program Files".
QString startCommand(const QString &executablePath);

#endif // PLATFORM_H
