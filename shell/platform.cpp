#include "platform.h"

#ifndef Q_OS_WIN
#include <QRegularExpression>

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
    // pkill takes a pattern; the name must match as it is, dots included.
    const QString pattern = QRegularExpression::escape(exeName);
    return QLatin1String("pkill -KILL -x ") + shellQuoted(pattern) + QLatin1Char('\n');
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
