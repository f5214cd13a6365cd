#include "commandlines.h"

QString shellProgram()
{
    return QStringLiteral("cmd");
}

QString stopCommand(const QString &exeName)
{
    return QLatin1String("taskkill /im ") + exeName + QLatin1String(" /f\n");
}

QString unpackCommand(const QString &archiveName, const QString &stagingName)
{
    // cmd's own exit code at the end of its input says nothing about the
    // last command; a failed unpack ends it with 1 instead. Not "|| exit 1":
    // Wine's cmd runs what follows || whatever the command returned.
    return QLatin1String("7za x \"") + archiveName + QLatin1String("\" -o\"") + stagingName
        + QLatin1String("\" -aoa 2>&1 & if errorlevel 1 exit 1\n");
}

QString startCommand(const QString &directory, const QString &executableName)
{
    // cmd reads its input in the ANSI code page, which cannot spell every
    // path; the program is named relative to the working directory instead.
    // start returns at once, for console programs too.
    Q_UNUSED(directory);
    return QLatin1String("start \"\" \".\\") + executableName + QLatin1String("\"\n");
}
