#ifndef SHELLCOMMAND_H
#define SHELLCOMMAND_H

#include <QObject>
#include <QProcess>

// One command line run through a fresh shell without blocking the caller's
// event loop: for steps that may take minutes, such as unpacking a large
// archive. Like runCommand(), it appends what the shell printed to the debug
// log as one record, and logs a shell that cannot be started.
class ShellCommand : public QObject
{
    Q_OBJECT

public:
    explicit ShellCommand(QObject *parent = nullptr);
    ~ShellCommand() override;

    // Starts the shell in workingDirectory and writes commandLine to it.
    // finished() follows once, from the event loop.
    void start(const QString &commandLine, const QString &workingDirectory);
    bool isRunning() const;

    // The bytes the shell reads for commandLine: the system's 8-bit encoding,
    // up to the first zero character.
    static QByteArray encodedInput(const QString &commandLine);
    // What the shell printed, in the system's 8-bit encoding, up to the
    // first zero byte.
    static QString decodedOutput(const QByteArray &bytes);
    // The log record for a shell that could not be started.
    static QString startFailure(const QProcess &shell);

signals:
    // succeeded: the shell ran to its end and exited with 0.
    void finished(bool succeeded);

private:
    void shellFinished(int exitCode, QProcess::ExitStatus status);
    void shellFailed(QProcess::ProcessError error);

    QProcess shell;
};

#endif // SHELLCOMMAND_H
