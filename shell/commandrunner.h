#ifndef COMMANDRUNNER_H
#define COMMANDRUNNER_H

#include <QString>

// Runs commandLine through a fresh shell (see shellProgram()): writes it to
// the shell's standard input, closes that input, waits at most 30 000 ms for
// the shell to start and the build's bound (10 000 ms by default) for it to
// end, and appends what the shell printed to the debug log as one record.
// Reports nothing; a shell still running at the bound is killed.
void runCommand(const QString &commandLine);

// As above, with an explicit bound on the shell's run in milliseconds;
// -1 waits until the shell has ended, however long that takes.
void runCommand(const QString &commandLine, int finishTimeoutMs);

#endif // COMMANDRUNNER_H
