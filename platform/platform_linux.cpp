#include "platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString shellQuoted(QString text)
{
    text.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

// A mount point, or a file the kernel itself holds: such a refusal may pass.
bool isHeld(int error)
{
    return error == EBUSY || error == ETXTBSY;
}

// operation returns 0 or an errno value.
template<typename Operation> int retryWhileHeld(Operation operation, bool retry = true)
{
    int error = operation();
    for (const int pause : HeldFilePausesMs) {
        if (error == 0 || !retry || !isHeld(error))
            break;
        QThread::msleep(pause);
        error = operation();
    }
    return error;
}

bool failed(int error, QString *errorString)
{
    *errorString = qt_error_string(error);
    return false;
}

int errorOf(int result)
{
    return result == 0 ? 0 : errno;
}

int writeAll(int fd, const QByteArray &data)
{
    for (qint64 done = 0; done < data.size();) {
        const ssize_t written = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (written < 0 && errno != EINTR)
            return errno;
        done += qMax<ssize_t>(written, 0);
    }
    return 0;
}

// fsync() of the folder, or syncfs() of the file system it is on.
bool syncThrough(const QString &folder, bool wholeFileSystem, QString *errorString)
{
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return failed(errno, errorString);
    const int error = errorOf(wholeFileSystem ? ::syncfs(fd) : ::fsync(fd));
    ::close(fd);
    return error == 0 || failed(error, errorString);
}

} // namespace

QString shellProgram()
{
    return QStringLiteral("sh");
}

QString stopCommand(const QString &exeName)
{
    // The shell's builtins do what pkill -KILL -x does without loading
    // pkill's libraries. The kernel keeps 15 bytes of a name, so a longer
    // name matches no process, as with pkill -x.
    return QLatin1String("for p in /proc/[0-9]*; do IFS= read -r n <\"$p/comm\" && [ \"$n\" = ")
        + shellQuoted(exeName)
        + QLatin1String(" ] && kill -KILL \"${p#/proc/}\"; done 2>/dev/null\n");
}

QString unpackCommand(const QString &archiveName, const QString &stagingName)
{
    // The runner logs standard output only: the unpacker's complaints, and
    // the shell's own when 7za cannot be found, go there too.
    return QLatin1String("7za x ") + shellQuoted(archiveName) + QLatin1String(" -o")
        + shellQuoted(stagingName) + QLatin1String(" -aoa 2>&1\n");
}

QString startCommand(const QString &directory, const QString &executableName)
{
    // A new session and no inherited pipes: the product must not die with
    // the updater nor keep the runner waiting for its output.
    return QLatin1String("setsid ") + shellQuoted(directory + QLatin1Char('/') + executableName)
        + QLatin1String(" </dev/null >/dev/null 2>&1 &\n");
}

bool moveEntry(const QString &from, const QString &to, QString *errorString)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    // RENAME_NOREPLACE: a file that appeared at the target in the meantime
    // is refused rather than silently replaced.
    const int error = retryWhileHeld([&] {
        return errorOf(::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(),
                                   RENAME_NOREPLACE));
    });
    return error == 0 || failed(error, errorString);
}

bool removeFile(const QString &path, bool retry, QString *errorString, bool *inUse)
{
    const QByteArray name = QFile::encodeName(path);
    int error = retryWhileHeld([&] { return errorOf(::unlink(name.constData())); }, retry);
    if (error == ENOENT)
        error = 0;
    if (inUse)
        *inUse = isHeld(error);
    return error == 0 || failed(error, errorString);
}

bool makeFolder(const QString &path, QString *errorString)
{
    if (QDir().mkpath(path))
        return true;
    // mkpath() drops the reason: the first folder that is missing gives it.
    QString missing = QDir::cleanPath(path);
    while (!QFileInfo(QFileInfo(missing).path()).isDir() && QFileInfo(missing).path() != missing)
        missing = QFileInfo(missing).path();
    if (::mkdir(QFile::encodeName(missing).constData(), 0777) != 0)
        return failed(errno, errorString);
    return QDir().mkpath(path) || failed(EIO, errorString);
}

bool canListFolder(const QString &path, QString *errorString)
{
    DIR *folder = ::opendir(QFile::encodeName(path).constData());
    if (!folder)
        return failed(errno, errorString);
    ::closedir(folder);
    return true;
}

bool writeFileDurably(const QString &path, const QByteArray &data, QString *errorString)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray part = target + ".part";
    const int fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return failed(errno, errorString);
    int error = writeAll(fd, data);
    // The reason QSaveFile drops: a disk that fills up or fails at the sync.
    if (error == 0)
        error = errorOf(::fsync(fd));
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0)
        error = errorOf(::rename(part.constData(), target.constData()));
    if (error != 0) {
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
