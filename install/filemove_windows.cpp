#include "filemove.h"

#include <QDir>

#include <windows.h>

bool moveEntry(const QString &from, const QString &to, QString *errorString)
{
    // No MOVEFILE_COPY_ALLOWED and no MOVEFILE_REPLACE_EXISTING: a rename on
    // one volume that refuses an existing target.
    const QString source = QDir::toNativeSeparators(from);
    const QString target = QDir::toNativeSeparators(to);
    if (::MoveFileExW(reinterpret_cast<const wchar_t *>(source.utf16()),
                      reinterpret_cast<const wchar_t *>(target.utf16()), 0))
        return true;
    // The system's messages end in a full stop; the log adds its own words.
    *errorString = qt_error_string(int(::GetLastError()));
    if (errorString->endsWith(QLatin1Char('.')))
        errorString->chop(1);
    return false;
}
