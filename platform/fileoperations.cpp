#include "fileoperations.h"

#include "systemcall.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The folder where mkpath() stopped: the first on the way down that is missing.
QString firstMissingFolder(const QString &path)
{
    QString missing = QDir::cleanPath(path);
    while (!QFileInfo(QFileInfo(missing).path()).isDir() && QFileInfo(missing).path() != missing)
        missing = QFileInfo(missing).path();
    return missing;
}

} // namespace

bool SystemCall::failed(Error error, QString *errorString)
{
    // Windows' messages end in a full stop; the log adds its own words.
    *errorString = qt_error_string(int(error));
    if (errorString->endsWith(QLatin1Char('.')))
        errorString->chop(1);
    return false;
}

bool makeFolder(const QString &path, QString *errorString)
{
    if (QDir().mkpath(path))
        return true;
    // mkpath() drops the reason: the system gives it for the first missing folder.
    const SystemCall::Error error = SystemCall::makeOneFolder(firstMissingFolder(path));
    if (error != SystemCall::NoError)
        return SystemCall::failed(error, errorString);
    return QDir().mkpath(path) || SystemCall::failed(SystemCall::FolderLost, errorString);
}
