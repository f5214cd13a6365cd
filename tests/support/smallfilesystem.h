#ifndef SMALLFILESYSTEM_H
#define SMALLFILESYSTEM_H

#include <QString>

// A tmpfs of a bounded size mounted over an existing folder, for tests that
// fill a disk; unmounted when the object goes, or earlier by unmount().
// Mounting needs root and the right to mount (CAP_SYS_ADMIN).
class SmallFileSystem
{
public:
    SmallFileSystem() = default;
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool mount(const QString &dir, qint64 bytes);
    // Grows or shrinks the mounted file system to bytes.
    bool resize(qint64 bytes);
    // The bytes in use on it, or -1 when nothing is mounted.
    qint64 used() const;
    void unmount();

    static QString whyUnavailable();

private:
    QString dir;
};

#endif // SMALLFILESYSTEM_H
