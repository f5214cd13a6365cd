#include "commandrunner.h"

#include "commandlines.h"
#include "debuglog.h"
#include "processtree.h"
#include "shellcommand.h"

#include <QProcess>

void runCommand(const QString &commandLine)
{
    runCommand(commandLine, QString(), DefaultFinishTimeoutMs);
}

void runCommand(const QString &commandLine, const QString &workingDirectory, int finishTimeoutMs)
{
    QProcess shell;
    shell.setWorkingDirectory(workingDirectory);
    shell.start(shellProgram(), QStringList(), QIODevice::ReadWrite);
    if (!shell.waitForStarted(30000)) {
        writeLog(ShellCommand::startFailure(shell), 0);
        return;
    }
    shell.write(ShellCommand::encodedInput(commandLine).constData());
    shell.closeWriteChannel();
    shell.waitForFinished(finishTimeoutMs);

    writeLog(ShellCommand::decodedOutput(shell.readAllStandardOutput()), 0);
    // Kills a shell that outlived the bound, and what it started; the update
    // goes on regardless.
    if (shell.state() == QProcess::Running && shell.processId() > 0)
        endDescendants(shell.processId());
    shell.close();
}
