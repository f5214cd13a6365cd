#include "elevation.h"

#include <QDir>
#include <QUuid>

#include <windows.h>

#include <shellapi.h>

namespace {

QString systemMessage(DWORD error)
{
    // The system's messages end in a full stop; the log adds its own words.
    QString message = qt_error_string(int(error));
    if (message.endsWith(QLatin1Char('.')))
        message.chop(1);
    return message;
}

const wchar_t *wide(const QString &text)
{
    return reinterpret_cast<const wchar_t *>(text.utf16());
}

// An argument as the started program's runtime splits the command line:
// backslashes count only before a quote, which they then escape.
QString quoted(const QString &argument)
{
    if (!argument.isEmpty() && !argument.contains(QLatin1Char(' '))
        && !argument.contains(QLatin1Char('"')))
        return argument;
    QString result(QLatin1Char('"'));
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        const int escapes = c == QLatin1Char('"') ? 2 * backslashes + 1 : backslashes;
        result += QString(escapes, QLatin1Char('\\')) + c;
        backslashes = 0;
    }
    return result + QString(2 * backslashes, QLatin1Char('\\')) + QLatin1Char('"');
}

} // namespace

bool canElevate()
{
    return true;
}

bool writingDenied(const QString &folder, QString *errorString)
{
    // A file that exists only while it is open: creating one is what every
    // step of an update needs, and it leaves nothing behind.
    const QString probe = QDir::toNativeSeparators(
        folder + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::WithoutBraces)
        + QLatin1String(".probe"));
    HANDLE file = ::CreateFileW(wide(probe), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        ::CloseHandle(file);
        return false;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_ACCESS_DENIED)
        return false;
    *errorString = systemMessage(error);
    return true;
}

bool startElevated(const QString &program, const QStringList &arguments, QString *errorString)
{
    const QString file = QDir::toNativeSeparators(program);
    QStringList parts;
    for (const QString &argument : arguments)
        parts.append(quoted(argument));
    const QString parameters = parts.join(QLatin1Char(' '));
    const QString directory = QDir::toNativeSeparators(QDir::currentPath());
    SHELLEXECUTEINFOW info {};
    info.cbSize = sizeof(info);
    // No message box of its own: the caller reports.
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = wide(file);
    info.lpParameters = wide(parameters);
    info.lpDirectory = wide(directory);
    info.nShow = SW_SHOWNORMAL;
    if (::ShellExecuteExW(&info))
        return true;
    // ERROR_CANCELLED: the user said no.
    *errorString = systemMessage(::GetLastError());
    return false;
}
