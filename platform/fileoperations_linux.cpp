#include "fileoperations.h"

#include "systemcall.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace SystemCall;

SystemCall::Error SystemCall::lastError()
{
    return Error(errno);
}

// A mount point, or a file the kernel itself holds: such a refusal may pass.
bool SystemCall::isHeld(Error error)
{
    return error == EBUSY || error == ETXTBSY;
}

SystemCall::Error SystemCall::makeOneFolder(const QString &path)
{
    return errorOf(::mkdir(QFile::encodeName(path).constData(), 0777) == 0);
}

const SystemCall::Error SystemCall::FolderLost = EIO;

namespace {

Error writeAll(int fd, const QByteArray &data)
{
    for (qint64 done = 0; done < data.size();) {
        const ssize_t written = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (written < 0 && errno != EINTR)
            return lastError();
        done += qMax<ssize_t>(written, 0);
    }
    return NoError;
}

// fsync() of the folder, or syncfs() of the file system it is on.
bool syncThrough(const QString &folder, bool wholeFileSystem, QString *errorString)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return failed(lastError(), errorString);
    const Error error = errorOf((wholeFileSystem ? ::syncfs(fd) : ::fsync(fd)) == 0);
    ::close(fd);
    return error == NoError || failed(error, errorString);
}

} // namespace

bool moveEntry(const QString &from, const QString &to, QString *errorString)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    // RENAME_NOREPLACE: a file that appeared at the target in the meantime
    // is refused rather than silently replaced.
    const Error error = retryWhileHeld([&] {
        return errorOf(::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(),
                                   RENAME_NOREPLACE)
                       == 0);
    });
    return error == NoError || failed(error, errorString);
}

bool removeFile(const QString &path, bool retry, QString *errorString, bool *inUse)
{
    const QByteArray name = QFile::encodeName(path);
    Error error = retryWhileHeld([&] { return errorOf(::unlink(name.constData()) == 0); }, retry);
    if (error == ENOENT)
        error = NoError;
    if (inUse)
        *inUse = isHeld(error);
    return error == NoError || failed(error, errorString);
}

bool canListFolder(const QString &path, QString *errorString)
{
    DIR *folder = ::opendir(QFile::encodeName(path).constData());
    if (!folder)
        return failed(lastError(), errorString);
    ::closedir(folder);
    return true;
}

bool writeFileDurably(const QString &path, const QByteArray &data, QString *errorString)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray part = target + ".part";
    const int fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return failed(lastError(), errorString);
    Error error = writeAll(fd, data);
    // The reason QSaveFile drops: a disk that fills up or fails at the sync.
    if (error == NoError)
        error = errorOf(::fsync(fd) == 0);
    if (::close(fd) != 0 && error == NoError)
        error = lastError();
    if (error == NoError)
        error = errorOf(::rename(part.constData(), target.constData()) == 0);
    if (error != NoError) {
        ::unlink(part.constData());
        return failed(error, errorString);
    }
    return syncFolder(QFileInfo(path).path(), errorString);
}

bool syncFolder(const QString &folder, QString *errorString)
{
    return syncThrough(folder, false, errorString);
}

bool syncMoved(const QString &root, const QStringList &paths, QString *errorString)
{
    // One syncfs() writes out every new file and every rename at once; a
    // sync per file would cost a disk flush each.
    Q_UNUSED(paths);
    return syncThrough(root, true, errorString);
}
