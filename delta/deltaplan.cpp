#include "deltaplan.h"

#include <QHash>

#include <algorithm>

namespace {

// What makes an entry's data reusable: equal checksum, sizes, method, flags.
QByteArray keyOf(const ZipEntry &entry)
{
    return QByteArray::number(entry.crc) + ' ' + QByteArray::number(entry.compressedSize) + ' '
        + QByteArray::number(entry.size) + ' ' + QByteArray::number(entry.method) + ' '
        + QByteArray::number(entry.flags);
}

// The entries in archive order, each with where the next one (or the
// directory) begins; empty when entries overlap.
DeltaPlan::EntrySpans withEnds(const ZipDirectory &directory)
{
    QVector<ZipEntry> entries = directory.entries();
    std::sort(entries.begin(), entries.end(),
              [](const ZipEntry &a, const ZipEntry &b) { return a.offset < b.offset; });
    DeltaPlan::EntrySpans spans;
    for (int i = 0; i < entries.size(); ++i) {
        const qint64 end =
            i + 1 < entries.size() ? entries.at(i + 1).offset : directory.directoryOffset();
        if (end <= entries.at(i).offset)
            return {};
        spans.append({ entries.at(i), end });
    }
    return spans;
}

} // namespace

DeltaPlan DeltaPlan::make(const ZipDirectory &installed, const ZipDirectory &offered,
                          qint64 knownFrom, const DeltaSettings &settings)
{
    DeltaPlan plan;
    const EntrySpans fresh = withEnds(offered);
    const EntrySpans old = withEnds(installed);
    if (fresh.size() != offered.entries().size() || old.size() != installed.entries().size()) {
        plan.refuse(QStringLiteral("entries of an archive overlap"));
        return plan;
    }
    QHash<QByteArray, QVector<int>> byKey;
    for (int i = 0; i < old.size(); ++i)
        byKey[keyOf(old.at(i).first)].append(i);

    plan.add(DeltaSegment::Fetch, 0,
             fresh.isEmpty() ? offered.directoryOffset() : fresh.first().first.offset);
    for (const auto &span : fresh)
        plan.addEntry(span, old, byKey.value(keyOf(span.first)));
    plan.add(DeltaSegment::Known, offered.directoryOffset(),
             offered.fileSize() - offered.directoryOffset());
    plan.mergeFetches(settings.mergeGap);
    plan.skipKnown(knownFrom);

    const qint64 size = offered.fileSize();
    if (plan.fetched() > settings.maxFetchedShare * double(size))
        plan.refuse(QStringLiteral("it would fetch %1 of the archive's %2 bytes, which one "
                                   "plain transfer does more cheaply")
                        .arg(plan.fetched())
                        .arg(size));
    return plan;
}

void DeltaPlan::addEntry(const EntrySpan &span, const EntrySpans &old,
                         const QVector<int> &candidates)
{
    const ZipEntry &entry = span.first;
    const qint64 length = span.second - entry.offset;
    // A whole match first: its local header is the same too.
    const auto whole = std::find_if(candidates.cbegin(), candidates.cend(), [&](int i) {
        return old.at(i).first.record == entry.record
            && old.at(i).second - old.at(i).first.offset == length;
    });
    if (whole != candidates.cend()) {
        add(DeltaSegment::Copy, entry.offset, length, old.at(*whole).first.offset);
        return;
    }
    for (const int i : candidates) {
        const ZipEntry &match = old.at(i).first;
        const qint64 data = old.at(i).second - match.offset - match.headerLength;
        const qint64 header = length - data;
        if (match.headerLength < 30 || data < entry.compressedSize || header < 30)
            continue;
        add(DeltaSegment::Fetch, entry.offset, header);
        add(DeltaSegment::Copy, entry.offset + header, data, match.offset + match.headerLength);
        return;
    }
    add(DeltaSegment::Fetch, entry.offset, length);
}

// What was read from the end already need not be fetched again.
void DeltaPlan::skipKnown(qint64 knownFrom)
{
    DeltaSegments all;
    std::swap(all, pieces);
    for (const DeltaSegment &piece : qAsConst(all)) {
        if (piece.kind != DeltaSegment::Fetch || piece.end() <= knownFrom) {
            add(piece.kind, piece.offset, piece.length, piece.source);
            continue;
        }
        const qint64 split = qMax(piece.offset, knownFrom);
        add(DeltaSegment::Fetch, piece.offset, split - piece.offset);
        add(DeltaSegment::Known, split, piece.end() - split);
    }
}

int DeltaPlan::fetchCount() const
{
    return int(std::count_if(pieces.cbegin(), pieces.cend(), [](const DeltaSegment &piece) {
        return piece.kind == DeltaSegment::Fetch;
    }));
}

ByteRanges DeltaPlan::fetchRanges(int first, qint64 skip) const
{
    ByteRanges ranges;
    for (int i = first; i < pieces.size(); ++i) {
        const DeltaSegment &piece = pieces.at(i);
        if (piece.kind == DeltaSegment::Fetch)
            ranges.append({ piece.offset + (i == first ? skip : 0), piece.end() });
    }
    return ranges;
}

qint64 DeltaPlan::bytesOf(DeltaSegment::Kind kind) const
{
    qint64 bytes = 0;
    for (const DeltaSegment &piece : pieces) {
        if (piece.kind == kind)
            bytes += piece.length;
    }
    return bytes;
}

// Adjacent pieces of one kind become one; copies only when they are
// adjacent in the installed archive too.
void DeltaPlan::add(DeltaSegment::Kind kind, qint64 offset, qint64 length, qint64 source)
{
    if (length <= 0)
        return;
    if (!pieces.isEmpty()) {
        DeltaSegment &last = pieces.last();
        const bool follows = last.kind == kind && last.end() == offset
            && (kind != DeltaSegment::Copy || last.source + last.length == source);
        if (follows) {
            last.length += length;
            return;
        }
    }
    pieces.append({ kind, offset, length, kind == DeltaSegment::Copy ? source : -1 });
}

void DeltaPlan::mergeFetches(qint64 gap)
{
    DeltaSegments merged;
    std::swap(merged, pieces);
    for (int i = 0; i < merged.size(); ++i) {
        const DeltaSegment &piece = merged.at(i);
        // Copies between two fetches, together shorter than the gap, are
        // fetched with them.
        if (piece.kind == DeltaSegment::Copy && !pieces.isEmpty()
            && pieces.last().kind == DeltaSegment::Fetch) {
            int next = i;
            qint64 between = 0;
            while (next < merged.size() && merged.at(next).kind == DeltaSegment::Copy)
                between += merged.at(next++).length;
            if (between < gap && next < merged.size()
                && merged.at(next).kind == DeltaSegment::Fetch) {
                add(DeltaSegment::Fetch, piece.offset, between);
                i = next - 1;
                continue;
            }
        }
        add(piece.kind, piece.offset, piece.length, piece.source);
    }
}

void DeltaPlan::refuse(const QString &reason)
{
    why = reason;
}
