#include "elevation.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

bool canElevate()
{
    return false;
}

bool writingDenied(const QString &folder, QString *errorString)
{
    // access() answers for the immutable attribute too, which stops root.
    if (::access(QFile::encodeName(folder).constData(), W_OK) == 0)
        return false;
    const int error = errno;
    if (error != EACCES && error != EPERM && error != EROFS)
        return false;
    *errorString = qt_error_string(error);
    return true;
}

bool startElevated(const QString &program, const QStringList &arguments, QString *errorString)
{
    Q_UNUSED(program);
    Q_UNUSED(arguments);
    *errorString = QStringLiteral("this system starts no program with an administrator's rights");
    return false;
}
