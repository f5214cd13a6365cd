#include "platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <windows.h>

namespace {

// Another program has the file open without the sharing a rename needs:
// virus scanners and indexers do so for a moment after a file was written.
bool isHeld(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED
        || error == ERROR_LOCK_VIOLATION;
}

// operation returns ERROR_SUCCESS or the system's error code.
template<typename Operation> DWORD retryWhileHeld(Operation operation, bool retry = true)
{
    DWORD error = operation();
    for (const int pause : HeldFilePausesMs) {
        if (error == ERROR_SUCCESS || !retry || !isHeld(error))
            break;
        QThread::msleep(pause);
        error = operation();
    }
    return error;
}

bool failed(DWORD error, QString *errorString)
{
    // The system's messages end in a full stop; the log adds its own words.
    *errorString = qt_error_string(int(error));
    if (errorString->endsWith(QLatin1Char('.')))
        errorString->chop(1);
    return false;
}

DWORD errorOf(BOOL succeeded)
{
    return succeeded ? ERROR_SUCCESS : ::GetLastError();
}

// The path as the wide-character calls take it.
class NativePath
{
public:
    explicit NativePath(const QString &path)
        : m_path(QDir::toNativeSeparators(path))
    {
    }
    operator const wchar_t *() const { return reinterpret_cast<const wchar_t *>(m_path.utf16()); }

private:
    QString m_path;
};

// A read-only file refuses what needs write access until the attribute goes.
bool isReadOnly(const NativePath &name)
{
    const DWORD attributes = ::GetFileAttributesW(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

HANDLE openForFlush(const NativePath &name, DWORD flags)
{
    return ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags, nullptr);
}

DWORD flushHandle(HANDLE handle)
{
    const DWORD error = errorOf(::FlushFileBuffers(handle));
    ::CloseHandle(handle);
    return error;
}

DWORD flushFile(const QString &path)
{
    const NativePath name(path);
    HANDLE file = openForFlush(name, FILE_ATTRIBUTE_NORMAL);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED
        && isReadOnly(name)) {
        const DWORD attributes = ::GetFileAttributesW(name);
        ::SetFileAttributesW(name, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
        file = openForFlush(name, FILE_ATTRIBUTE_NORMAL);
        const DWORD error = ::GetLastError();
        ::SetFileAttributesW(name, attributes);
        ::SetLastError(error);
    }
    if (file == INVALID_HANDLE_VALUE)
        return ::GetLastError();
    return flushHandle(file);
}

DWORD flushFolder(const QString &path)
{
    HANDLE folder = openForFlush(NativePath(path), FILE_FLAG_BACKUP_SEMANTICS);
    const DWORD error = folder == INVALID_HANDLE_VALUE ? ::GetLastError() : flushHandle(folder);
    // Not every file system flushes a folder; NTFS writes its entries in the
    // order they were made through its log anyway.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION
        || error == ERROR_INVALID_PARAMETER)
        return ERROR_SUCCESS;
    return error;
}

// Every file at or below path.
QStringList filesAt(const QString &path)
{
    if (!QFileInfo(path).isDir())
        return { path };
    QStringList files;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

} // namespace

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

bool moveEntry(const QString &from, const QString &to, QString *errorString)
{
    // No MOVEFILE_COPY_ALLOWED and no MOVEFILE_REPLACE_EXISTING: a rename on
    // one volume that refuses an existing target.
    const NativePath source(from);
    const NativePath target(to);
    const DWORD error = retryWhileHeld([&] { return errorOf(::MoveFileExW(source, target, 0)); });
    return error == ERROR_SUCCESS || failed(error, errorString);
}

bool removeFile(const QString &path, bool retry, QString *errorString, bool *inUse)
{
    const NativePath name(path);
    DWORD error = retryWhileHeld(
        [&] {
            DWORD result = errorOf(::DeleteFileW(name));
            if (result == ERROR_ACCESS_DENIED && isReadOnly(name)) {
                ::SetFileAttributesW(name,
                                     ::GetFileAttributesW(name) & ~DWORD(FILE_ATTRIBUTE_READONLY));
                result = errorOf(::DeleteFileW(name));
            }
            return result;
        },
        retry);
    if (error == ERROR_FILE_NOT_FOUND)
        error = ERROR_SUCCESS;
    // A running program's files can be renamed but not removed: access denied.
    if (inUse)
        *inUse = isHeld(error);
    return error == ERROR_SUCCESS || failed(error, errorString);
}

bool makeFolder(const QString &path, QString *errorString)
{
    if (QDir().mkpath(path))
        return true;
    // mkpath() drops the reason: the first folder that is missing gives it.
    QString missing = QDir::cleanPath(path);
    while (!QFileInfo(QFileInfo(missing).path()).isDir() && QFileInfo(missing).path() != missing)
        missing = QFileInfo(missing).path();
    const DWORD error = errorOf(::CreateDirectoryW(NativePath(missing), nullptr));
    if (error != ERROR_SUCCESS)
        return failed(error, errorString);
    return QDir().mkpath(path) || failed(ERROR_CANNOT_MAKE, errorString);
}

bool canListFolder(const QString &path, QString *errorString)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = ::FindFirstFileExW(NativePath(path + QLatin1String("/*")), FindExInfoBasic,
                                       &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return failed(::GetLastError(), errorString);
    ::FindClose(search);
    return true;
}

bool writeFileDurably(const QString &path, const QByteArray &data, QString *errorString)
{
    const NativePath target(path);
    const NativePath part(path + QLatin1String(".part"));
    HANDLE file = ::CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failed(::GetLastError(), errorString);
    DWORD written = 0;
    DWORD error =
        errorOf(::WriteFile(file, data.constData(), DWORD(data.size()), &written, nullptr));
    if (error == ERROR_SUCCESS && written != DWORD(data.size()))
        error = ERROR_DISK_FULL;
    // The reason QSaveFile drops: a disk that fills up or fails at the flush.
    if (error == ERROR_SUCCESS)
        error = errorOf(::FlushFileBuffers(file));
    ::CloseHandle(file);
    if (error == ERROR_SUCCESS)
        error = errorOf(::MoveFileExW(part, target, MOVEFILE_REPLACE_EXISTING));
    if (error != ERROR_SUCCESS) {
        ::DeleteFileW(part);
        return failed(error, errorString);
    }
    return syncFolder(QFileInfo(path).path(), errorString);
}

bool syncFolder(const QString &folder, QString *errorString)
{
    const DWORD error = flushFolder(folder);
    return error == ERROR_SUCCESS || failed(error, errorString);
}

bool syncMoved(const QString &root, const QStringList &paths, QString *errorString)
{
    // Windows has no call that flushes one volume for a program without
    // administrator rights: each moved file is flushed, and the folders that
    // received them.
    QSet<QString> folders;
    for (const QString &path : paths) {
        const QString full = root + QLatin1Char('/') + path;
        const QStringList files = filesAt(full);
        for (const QString &file : files) {
            const DWORD error = retryWhileHeld([&] { return flushFile(file); });
            if (error != ERROR_SUCCESS) {
                failed(error, errorString);
                *errorString = QDir::toNativeSeparators(file) + QLatin1String(": ") + *errorString;
                return false;
            }
        }
        folders.insert(QFileInfo(full).path());
    }
    for (const QString &folder : qAsConst(folders)) {
        if (!syncFolder(folder, errorString))
            return false;
    }
    return true;
}
