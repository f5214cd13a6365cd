#ifndef COMMANDLINES_H
#define COMMANDLINES_H

#include <QString>

// The command lines of the update, as the system's shell reads them. Each
// platform has one source file behind these functions, chosen by the build.
// Every command line ends in a line feed, which makes the shell run it.

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

#endif // COMMANDLINES_H
