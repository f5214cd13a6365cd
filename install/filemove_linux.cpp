#include "filemove.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

bool moveEntry(const QString &from, const QString &to, QString *errorString)
{
    // RENAME_NOREPLACE: a file that appeared at the target in the meantime
    // is refused rather than silently replaced.
    if (::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                    QFile::encodeName(to).constData(), RENAME_NOREPLACE)
        == 0)
        return true;
    *errorString = qt_error_string(errno);
    return false;
}
