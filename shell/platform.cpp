#include "platform.h"

#ifndef Q_OS_WIN
namespace {

QString shellQuoted(QString text)
{
    text.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

} // namespace
#endif

QString shellProgram()
{
#ifdef Q_OS_WIN
    return QStringLiteral("cmd");
#else
    return QStringLiteral("sh");
#endif
}

QString stopCommand(const QString &exeName)
{
#ifdef Q_OS_WIN
    return QLatin1String("taskkill /im ") + exeName + QLatin1String(" /f\n");
#else
    // The shell's own builtins read every process's name and kill those that
    // match: pkill does the same, but it opens several files per process and
    // loads a dozen libraries first, which kept the download waiting about
    // 4 ms. The name is compared as text, dots, spaces and all. The kernel
    // keeps only the first 15 bytes of a program's name, so a longer one
    // matches no process, as with pkill -x. Processes that end while the
    // loop runs leave messages that are of no interest.
    return QLatin1String("for p in /proc/[0-9]*; do IFS= read -r n <\"$p/comm\" && [ \"$n\" = ")
        + shellQuoted(exeName)
        + QLatin1String(" ] && kill -KILL \"${p#/proc/}\"; done 2>/dev/null\n");
#endif
}

// The runner logs only standard output; the unpacker's complaints, and the
// shell's own when 7za cannot be found, go there too. cmd and sh read these
// lines alike.
QString unpackCommand()
{
    return QStringLiteral("7za x vlm_update.zip -aoa 2>&1\n");
}

QString testAndUnpackCommand()
{
    return QStringLiteral("7za t vlm_update.zip 2>&1 && 7za x vlm_update.zip -aoa 2>&1\n");
}

QString startCommand(const QString &executablePath)
{
#ifdef Q_OS_WIN
    return QLatin1Char('"') + executablePath + QLatin1String("\"\n");
#else
    // A new session and no inherited pipes: the product must not die with
    // the updater nor keep the runner waiting for its output.
    return QLatin1String("setsid ") + shellQuoted(executablePath)
        + QLatin1String(" </dev/null >/dev/null 2>&1 &\n");
#endif
}
