#ifndef ARCHIVECHECK_H
#define ARCHIVECHECK_H

#include <QString>

// Reads a zip archive through before any of it is unpacked: its directory,
// and every entry against the checksum the archive holds for it. 7za writes
// whatever it can still read of a damaged archive over the installation
// before it gives up; this check lets the update touch the installation only
// when all of the archive is sound, without a second pass of the unpacker.
class ArchiveCheck
{
public:
    enum Result {
        // Every entry is whole and matches its checksum.
        Sound,
        // Truncated, not a zip archive, or an entry does not match its
        // checksum; errorString() says which.
        Damaged,
        // A form this check does not read (zip64, encryption, a compression
        // method other than store and deflate): only the unpacker can tell.
        Unchecked
    };

    explicit ArchiveCheck(const QString &fileName);

    Result run();
    QString errorString() const;

private:
    Result checkMapped(const uchar *data, qint64 size);
    Result checkEntry(const uchar *data, qint64 directoryStart, const uchar *header);
    Result damaged(const QString &reason);
    Result unchecked(const QString &reason);

    QString fileName;
    QString error;
};

#endif // ARCHIVECHECK_H
