#include "commandlines.h"

namespace {

QString shellQuoted(QString text)
{
    text.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

} // namespace

QString shellProgram()
{
    return QStringLiteral("sh");
}

QString stopCommand(const QString &exeName)
{
    // The shell's builtins do what pkill -KILL -x does without loading
    // pkill's libraries. The kernel keeps 15 bytes of a name, so a longer
    // name matches no process, as with pkill -x.
    return QLatin1String("for p in /proc/[0-9]*; do IFS= read -r n <\"$p/comm\" && [ \"$n\" = ")
        + shellQuoted(exeName)
        + QLatin1String(" ] && kill -KILL \"${p#/proc/}\"; done 2>/dev/null\n");
}

QString unpackCommand(const QString &archiveName, const QString &stagingName)
{
    // The runner logs standard output only: the unpacker's complaints, and
    // the shell's own when 7za cannot be found, go there too.
    return QLatin1String("7za x ") + shellQuoted(archiveName) + QLatin1String(" -o")
        + shellQuoted(stagingName) + QLatin1String(" -aoa 2>&1\n");
}

QString startCommand(const QString &directory, const QString &executableName)
{
    // A new session and no inherited pipes: the product must not die with
    // the updater nor keep the runner waiting for its output.
    return QLatin1String("setsid ") + shellQuoted(directory + QLatin1Char('/') + executableName)
        + QLatin1String(" </dev/null >/dev/null 2>&1 &\n");
}
