#include "shellcommand.h"

#include "commandlines.h"
#include "debuglog.h"

ShellCommand::ShellCommand(QObject *parent)
    : QObject(parent)
{
    connect(&shell, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ShellCommand::shellFinished);
    connect(&shell, &QProcess::errorOccurred, this, &ShellCommand::shellFailed);
}

ShellCommand::~ShellCommand()
{
    shell.disconnect(this);
}

void ShellCommand::start(const QString &commandLine, const QString &workingDirectory)
{
    shell.setWorkingDirectory(workingDirectory);
    shell.start(shellProgram(), QStringList(), QIODevice::ReadWrite);
    // Buffered until the shell has started; a shell that cannot start
    // reports through errorOccurred.
    shell.write(encodedInput(commandLine));
    shell.closeWriteChannel();
}

bool ShellCommand::isRunning() const
{
    return shell.state() != QProcess::NotRunning;
}

QByteArray ShellCommand::encodedInput(const QString &commandLine)
{
    // Paths in command lines may hold characters such as Chinese ones, which
    // the shell only understands in the system's own 8-bit encoding.
    const QByteArray bytes = commandLine.toLocal8Bit();
    return bytes.left(int(qstrnlen(bytes.constData(), uint(bytes.size()))));
}

QString ShellCommand::decodedOutput(const QByteArray &bytes)
{
    // What a shell prints after a zero byte is taken to be garbage.
    const int length = int(qstrnlen(bytes.constData(), uint(bytes.size())));
    return QString::fromLocal8Bit(bytes.constData(), length);
}

QString ShellCommand::startFailure(const QProcess &shell)
{
    return QLatin1String("the shell ") + shell.program() + QLatin1String(" could not be started: ")
        + shell.errorString();
}

void ShellCommand::shellFinished(int exitCode, QProcess::ExitStatus status)
{
    writeLog(decodedOutput(shell.readAllStandardOutput()), 0);
    emit finished(status == QProcess::NormalExit && exitCode == 0);
}

void ShellCommand::shellFailed(QProcess::ProcessError error)
{
    // Every other error ends in finished() as well.
    if (error != QProcess::FailedToStart)
        return;
    writeLog(startFailure(shell), 0);
    emit finished(false);
}
