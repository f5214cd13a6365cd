#include "fileoperations.h"

#include "systemcall.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>

#include <windows.h>

using namespace SystemCall;

namespace {

// The path as the wide-character calls take it.
class NativePath
{
public:
    explicit NativePath(const QString &path)
        : native(QDir::toNativeSeparators(path))
    {
    }
    operator const wchar_t *() const { return reinterpret_cast<const wchar_t *>(native.utf16()); }

private:
    QString native;
};

} // namespace

SystemCall::Error SystemCall::lastError()
{
    return ::GetLastError();
}

// Another program has the file open without the sharing a rename needs:
// virus scanners and indexers do so for a moment after a file was written.
bool SystemCall::isHeld(Error error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED
        || error == ERROR_LOCK_VIOLATION;
}

SystemCall::Error SystemCall::makeOneFolder(const QString &path)
{
    return errorOf(::CreateDirectoryW(NativePath(path), nullptr));
}

const SystemCall::Error SystemCall::FolderLost = ERROR_CANNOT_MAKE;

namespace {

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

Error flushHandle(HANDLE handle)
{
    const Error error = errorOf(::FlushFileBuffers(handle));
    ::CloseHandle(handle);
    return error;
}

Error flushFile(const QString &path)
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
        return lastError();
    return flushHandle(file);
}

Error flushFolder(const QString &path)
{
    HANDLE folder = openForFlush(NativePath(path), FILE_FLAG_BACKUP_SEMANTICS);
    const Error error = folder == INVALID_HANDLE_VALUE ? lastError() : flushHandle(folder);
    // Not every file system flushes a folder; NTFS writes its entries in the
    // order they were made through its log anyway.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_FUNCTION
        || error == ERROR_INVALID_PARAMETER)
        return NoError;
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

bool moveEntry(const QString &from, const QString &to, QString *errorString)
{
    // No MOVEFILE_COPY_ALLOWED and no MOVEFILE_REPLACE_EXISTING: a rename on
    // one volume that refuses an existing target.
    const NativePath source(from);
    const NativePath target(to);
    const Error error = retryWhileHeld([&] { return errorOf(::MoveFileExW(source, target, 0)); });
    return error == NoError || failed(error, errorString);
}

bool removeFile(const QString &path, bool retry, QString *errorString, bool *inUse)
{
    const NativePath name(path);
    Error error = retryWhileHeld(
        [&] {
            Error result = errorOf(::DeleteFileW(name));
            if (result == ERROR_ACCESS_DENIED && isReadOnly(name)) {
                ::SetFileAttributesW(name,
                                     ::GetFileAttributesW(name) & ~DWORD(FILE_ATTRIBUTE_READONLY));
                result = errorOf(::DeleteFileW(name));
            }
            return result;
        },
        retry);
    if (error == ERROR_FILE_NOT_FOUND)
        error = NoError;
    // A running program's files can be renamed but not removed: access denied.
    if (inUse)
        *inUse = isHeld(error);
    return error == NoError || failed(error, errorString);
}

bool canListFolder(const QString &path, QString *errorString)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = ::FindFirstFileExW(NativePath(path + QLatin1String("/*")), FindExInfoBasic,
                                       &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return failed(lastError(), errorString);
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
        return failed(lastError(), errorString);
    DWORD written = 0;
    Error error =
        errorOf(::WriteFile(file, data.constData(), DWORD(data.size()), &written, nullptr));
    if (error == NoError && written != DWORD(data.size()))
        error = ERROR_DISK_FULL;
    // The reason QSaveFile drops: a disk that fills up or fails at the flush.
    if (error == NoError)
        error = errorOf(::FlushFileBuffers(file));
    ::CloseHandle(file);
    if (error == NoError)
        error = errorOf(::MoveFileExW(part, target, MOVEFILE_REPLACE_EXISTING));
    if (error != NoError) {
        ::DeleteFileW(part);
        return failed(error, errorString);
    }
    return syncFolder(QFileInfo(path).path(), errorString);
}

bool syncFolder(const QString &folder, QString *errorString)
{
    const Error error = flushFolder(folder);
    return error == NoError || failed(error, errorString);
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
            const Error error = retryWhileHeld([&] { return flushFile(file); });
            if (error != NoError) {
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
