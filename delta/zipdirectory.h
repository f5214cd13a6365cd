#ifndef ZIPDIRECTORY_H
#define ZIPDIRECTORY_H

#include <QByteArray>
#include <QString>
#include <QVector>

// One entry of a zip archive's central directory.
struct ZipEntry
{
    QByteArray name;
    quint32 crc = 0;
    qint64 compressedSize = 0;
    qint64 size = 0;
    quint16 method = 0;
    quint16 flags = 0;
    qint64 offset = 0; // of its local header
    // Of its local header, when the archive's bytes were at hand; -1 when not.
    qint64 headerLength = -1;
    // Its central record with the local header's offset left out (zeroed):
    // two entries whose records match have equal local headers too.
    QByteArray record;
};

// The central directory of a zip archive (zip64 too), read from the
// archive's last bytes: the end record, the zip64 locator and end record
// when there are any, and the directory they point at.
class ZipDirectory
{
public:
    enum class Status {
        Complete,
        NeedsMore, // the bytes from neededFrom() on are needed
        Invalid, // errorString() says why
    };

    // How much of an archive's end a first read takes: the end record with
    // the longest comment, and the directory of most archives.
    static constexpr qint64 TailSize = 64 * 1024 + 22;
    // A directory beyond this is not an update's.
    static constexpr qint64 MaxDirectorySize = 64 * 1024 * 1024;

    // tail holds the archive's bytes [tailOffset, fileSize).
    Status parse(const QByteArray &tail, qint64 tailOffset, qint64 fileSize);
    // Reads the archive at path, the local headers' lengths included.
    bool readFile(const QString &path);

    qint64 neededFrom() const { return needed; }
    QString errorString() const { return error; }

    const QVector<ZipEntry> &entries() const { return list; }
    qint64 directoryOffset() const { return directoryStart; }
    qint64 fileSize() const { return archiveSize; }

private:
    Status parseEnd(const QByteArray &tail, qint64 tailOffset);
    Status parseZip64End(const QByteArray &tail, qint64 tailOffset, qint64 endAt);
    Status parseEntries(const QByteArray &tail, qint64 tailOffset);
    QString readRecord(const QByteArray &tail, qint64 tailOffset, qint64 at, qint64 length,
                       ZipEntry *out) const;
    bool readHeaderLengths(class QFile &file);
    Status needFrom(qint64 offset);
    Status invalid(const QString &why);

    QVector<ZipEntry> list;
    qint64 archiveSize = 0;
    qint64 directoryStart = -1;
    qint64 directorySize = 0;
    qint64 entryCount = 0;
    qint64 directoryEnd = 0; // where the records that follow the directory begin
    qint64 needed = -1;
    QString error;
};

#endif // ZIPDIRECTORY_H
