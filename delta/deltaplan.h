#ifndef DELTAPLAN_H
#define DELTAPLAN_H

#include "ftpretrieval.h"
#include "zipdirectory.h"

#include <QString>
#include <QVector>

// A piece of the new archive, in the new archive's order.
struct DeltaSegment
{
    enum Kind {
        Copy, // bytes [source, source + length) of the installed archive
        Fetch, // the same bytes of the archive on the server
        Known, // bytes already read from the server's archive
    };
    Kind kind = Fetch;
    qint64 offset = 0; // in the new archive
    qint64 length = 0;
    qint64 source = -1; // in the installed archive, for Copy

    qint64 end() const { return offset + length; }
    bool operator==(const DeltaSegment &other) const
    {
        return kind == other.kind && offset == other.offset && length == other.length
            && source == other.source;
    }
};
using DeltaSegments = QVector<DeltaSegment>;

struct DeltaSettings
{
    // Fetches closer together than this are merged: a new data connection
    // costs more than the bytes between them.
    qint64 mergeGap = 256 * 1024;
    // A plan that fetches more of the archive than this share is not
    // worth it: one plain transfer is cheaper.
    double maxFetchedShare = 0.8;
};

// How the new archive is put together from the installed release's archive
// and ranges of the server's. An entry is reused when the installed archive
// has one with the same checksum, sizes, method and flags, whatever its
// name; its local header too when the two central records agree in all but
// the offset, else only the header is fetched.
class DeltaPlan
{
public:
    // offered is the server's directory; its bytes from knownFrom on are
    // at hand already.
    static DeltaPlan make(const ZipDirectory &installed, const ZipDirectory &offered,
                          qint64 knownFrom, const DeltaSettings &settings = {});

    bool isWorthwhile() const { return why.isEmpty(); }
    // Why the plan is not worth following, for the log.
    QString whyNot() const { return why; }

    const DeltaSegments &segments() const { return pieces; }
    qint64 reused() const { return bytesOf(DeltaSegment::Copy); }
    qint64 fetched() const { return bytesOf(DeltaSegment::Fetch); }
    qint64 known() const { return bytesOf(DeltaSegment::Known); }
    int fetchCount() const;
    // The fetches from segment index first on, the first of them from its
    // byte skip on.
    ByteRanges fetchRanges(int first = 0, qint64 skip = 0) const;

    // An entry with where the next one (or the directory) begins.
    using EntrySpan = QPair<ZipEntry, qint64>;
    using EntrySpans = QVector<EntrySpan>;

private:
    qint64 bytesOf(DeltaSegment::Kind kind) const;
    void addEntry(const EntrySpan &span, const EntrySpans &old, const QVector<int> &candidates);
    void skipKnown(qint64 knownFrom);
    void add(DeltaSegment::Kind kind, qint64 offset, qint64 length, qint64 source = -1);
    void mergeFetches(qint64 gap);
    void refuse(const QString &reason);

    DeltaSegments pieces;
    QString why;
};

#endif // DELTAPLAN_H
