#include "commandrunner.h"

#include "debuglog.h"
#include "platform.h"

#include <QProcess>

namespace {

// What a shell prints after a zero byte is taken to be garbage.
QString decodedUpToZero(const QByteArray &bytes)
{
    const int length = int(qstrnlen(bytes.constData(), uint(bytes.size())));
    return QString::fromLocal8Bit(bytes.constData(), length);
}

} // namespace

void runCommand(const QString &commandLine)
{
    runCommand(commandLine, COMMAND_FINISH_TIMEOUT_MS);
}

void runCommand(const QString &commandLine, int finishTimeoutMs)
{
    QProcess shell;
    shell.start(shellProgram(), QStringList(), QIODevice::ReadWrite);
    shell.waitForStarted(30000);

    // Paths in command lines may hold characters such as Chinese ones, which
    // the shell only understands in the system's own 8-bit encoding. The
    // const char * overload stops at the first zero byte.
    const QByteArray input = commandLine.toLocal8Bit();
    shell.write(input.constData());
    shell.closeWriteChannel();
    shell.waitForFinished(finishTimeoutMs);

    writeLog(decodedUpToZero(shell.readAllStandardOutput()), 0);
    // Kills a shell that outlived the bound; the update goes on regardless.
    shell.close();
}
