#include "smallfilesystem.h"

#include <QFile>
#include <QProcess>

#include <sys/statvfs.h>

SmallFileSystem::~SmallFileSystem()
{
    unmount();
}

bool SmallFileSystem::mount(const QString &folder, qint64 bytes)
{
    unmount();
    if (QProcess::execute(QStringLiteral("mount"),
                          { QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                            QStringLiteral("size=%1").arg(bytes), QStringLiteral("tmpfs"), folder })
        != 0)
        return false;
    dir = folder;
    return true;
}

bool SmallFileSystem::resize(qint64 bytes)
{
    return !dir.isEmpty()
        && QProcess::execute(
               QStringLiteral("mount"),
               { QStringLiteral("-o"), QStringLiteral("remount,size=%1").arg(bytes), dir })
        == 0;
}

qint64 SmallFileSystem::used() const
{
    struct statvfs fs;
    if (dir.isEmpty() || ::statvfs(QFile::encodeName(dir).constData(), &fs) != 0)
        return -1;
    return qint64(fs.f_blocks - fs.f_bfree) * qint64(fs.f_frsize);
}

void SmallFileSystem::unmount()
{
    if (dir.isEmpty())
        return;
    // A process of the test that still holds a file there must not keep the
    // mount for the next case: then it goes once that process lets go.
    if (QProcess::execute(QStringLiteral("umount"), { dir }) != 0)
        QProcess::execute(QStringLiteral("umount"), { QStringLiteral("-l"), dir });
    dir.clear();
}

QString SmallFileSystem::whyUnavailable()
{
    return QStringLiteral(
        "mounting a small file system needs root and the right to mount (CAP_SYS_ADMIN)");
}
