#ifndef COMMANDRUNNER_H
#define COMMANDRUNNER_H

#include <QString>

// How long runCommand() lets a shell run before it gives up on it.
constexpr int DefaultFinishTimeoutMs = 10000;

// Runs commandLine through a fresh shell (see shellProgram()) started in the
// updater's working directory: writes it to the shell's standard input,
// closes that input, waits at most 30 000 ms for the shell to start and
// DefaultFinishTimeoutMs for it to end, and appends what the shell printed
// to the debug log as one record. Reports nothing; a shell still running at
// the bound is killed, and a shell that cannot be started is logged as such.
void runCommand(const QString &commandLine);

// As above, with the shell started in workingDirectory (the updater's own
// when empty) and given finishTimeoutMs to end; -1 waits however long the
// shell takes.
void runCommand(const QString &commandLine, const QString &workingDirectory, int finishTimeoutMs);

#endif // COMMANDRUNNER_H
