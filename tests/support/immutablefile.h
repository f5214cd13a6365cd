#ifndef IMMUTABLEFILE_H
#define IMMUTABLEFILE_H

#include <QString>

// A file or folder that nobody, root included, may change, rename or write
// into (chattr +i) until the object goes or release() is called. Setting
// the attribute needs root and a file system that keeps it.
class ImmutableFile
{
public:
    ImmutableFile() = default;
    ~ImmutableFile();
    ImmutableFile(const ImmutableFile &) = delete;
    ImmutableFile &operator=(const ImmutableFile &) = delete;

    bool set(const QString &path);
    void release();

    static QString whyUnavailable();

private:
    QString path;
};

#endif // IMMUTABLEFILE_H
