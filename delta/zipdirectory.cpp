#include "zipdirectory.h"

#include <QDir>
#include <QFile>
#include <QtEndian>

namespace {

constexpr quint32 EndSignature = 0x06054b50;
constexpr quint32 Zip64LocatorSignature = 0x07064b50;
constexpr quint32 Zip64EndSignature = 0x06064b50;
constexpr quint32 CentralSignature = 0x02014b50;
constexpr quint32 LocalSignature = 0x04034b50;
constexpr int EndSize = 22;
constexpr int Zip64LocatorSize = 20;
constexpr int Zip64EndSize = 56;
constexpr int CentralSize = 46;
constexpr int LocalSize = 30;
constexpr quint16 Zip64ExtraId = 0x0001;
constexpr int MaxComment = 0xffff;
constexpr quint32 Escape32 = 0xffffffff;
constexpr quint16 Escape16 = 0xffff;

// Little-endian fields at offset of bytes; the caller checked the length.
quint16 u16(const QByteArray &bytes, qint64 offset)
{
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

quint32 u32(const QByteArray &bytes, qint64 offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

qint64 s64(const QByteArray &bytes, qint64 offset)
{
    return qint64(qFromLittleEndian<quint64>(bytes.constData() + offset) & 0x7fffffffffffffffULL);
}

// The zip64 extra field of a central record replaces the fields that hold
// the escape value, in this order.
bool readZip64Extra(const QByteArray &extra, ZipEntry *entry, bool sizeEscaped,
                    bool compressedEscaped, bool offsetEscaped, int *offsetAt)
{
    for (int at = 0; at + 4 <= extra.size();) {
        const quint16 id = u16(extra, at);
        const int length = u16(extra, at + 2);
        if (at + 4 + length > extra.size())
            return false;
        if (id == Zip64ExtraId) {
            int field = at + 4;
            const auto take = [&](qint64 *value) {
                if (field + 8 > at + 4 + length)
                    return false;
                *value = s64(extra, field);
                field += 8;
                return true;
            };
            if (sizeEscaped && !take(&entry->size))
                return false;
            if (compressedEscaped && !take(&entry->compressedSize))
                return false;
            *offsetAt = offsetEscaped ? field : -1;
            return !offsetEscaped || take(&entry->offset);
        }
        at += 4 + length;
    }
    return !sizeEscaped && !compressedEscaped && !offsetEscaped;
}

} // namespace

ZipDirectory::Status ZipDirectory::parse(const QByteArray &tail, qint64 tailOffset, qint64 fileSize)
{
    list.clear();
    archiveSize = fileSize;
    directoryStart = -1;
    needed = -1;
    error.clear();
    if (tailOffset < 0 || tailOffset + tail.size() != fileSize)
        return invalid(QStringLiteral("the bytes read do not end the archive"));
    const Status end = parseEnd(tail, tailOffset);
    if (end != Status::Complete)
        return end;
    return parseEntries(tail, tailOffset);
}

ZipDirectory::Status ZipDirectory::parseEnd(const QByteArray &tail, qint64 tailOffset)
{
    if (tail.size() < EndSize) {
        if (tailOffset > 0)
            return needFrom(qMax<qint64>(0, archiveSize - EndSize - MaxComment));
        return invalid(QStringLiteral("it is too short for a zip archive"));
    }
    // The end record is followed by its comment and nothing else.
    const qint64 lowest = qMax<qint64>(0, tail.size() - EndSize - MaxComment);
    qint64 at = tail.size() - EndSize;
    while (at >= lowest
           && (u32(tail, at) != EndSignature || at + EndSize + u16(tail, at + 20) != tail.size()))
        --at;
    if (at < lowest) {
        if (tailOffset > 0 && tail.size() < EndSize + MaxComment)
            return needFrom(qMax<qint64>(0, archiveSize - EndSize - MaxComment));
        return invalid(QStringLiteral("it has no end of central directory record"));
    }
    if (u16(tail, at + 4) != 0 || u16(tail, at + 6) != 0)
        return invalid(QStringLiteral("it spans several disks"));
    entryCount = u16(tail, at + 10);
    directorySize = u32(tail, at + 12);
    directoryStart = u32(tail, at + 16);
    directoryEnd = tailOffset + at;
    if (at < Zip64LocatorSize && tailOffset > 0)
        return needFrom(qMax<qint64>(0, tailOffset + at - Zip64LocatorSize));
    if (at >= Zip64LocatorSize && u32(tail, at - Zip64LocatorSize) == Zip64LocatorSignature)
        return parseZip64End(tail, tailOffset, at - Zip64LocatorSize);
    if (entryCount == Escape16 || directorySize == Escape32 || directoryStart == Escape32)
        return invalid(QStringLiteral("its end record asks for a zip64 record it lacks"));
    return Status::Complete;
}

ZipDirectory::Status ZipDirectory::parseZip64End(const QByteArray &tail, qint64 tailOffset,
                                                 qint64 locatorAt)
{
    const qint64 recordAt = s64(tail, locatorAt + 8);
    if (recordAt + Zip64EndSize > tailOffset + locatorAt)
        return invalid(QStringLiteral("its zip64 locator points beyond the zip64 record"));
    if (recordAt < tailOffset)
        return needFrom(recordAt);
    const qint64 at = recordAt - tailOffset;
    if (u32(tail, at) != Zip64EndSignature)
        return invalid(QStringLiteral("its zip64 end record is missing"));
    entryCount = s64(tail, at + 32);
    directorySize = s64(tail, at + 40);
    directoryStart = s64(tail, at + 48);
    directoryEnd = recordAt;
    return Status::Complete;
}

ZipDirectory::Status ZipDirectory::parseEntries(const QByteArray &tail, qint64 tailOffset)
{
    if (directorySize > MaxDirectorySize)
        return invalid(
            QStringLiteral("its central directory of %1 bytes is too large").arg(directorySize));
    if (directoryStart < 0 || directoryStart + directorySize != directoryEnd)
        return invalid(QStringLiteral("its central directory does not end where its end "
                                      "record begins"));
    if (directoryStart < tailOffset)
        return needFrom(directoryStart);
    qint64 at = directoryStart - tailOffset;
    const qint64 end = at + directorySize;
    while (at < end) {
        if (at + CentralSize > end || u32(tail, at) != CentralSignature)
            return invalid(QStringLiteral("its central directory holds something else than "
                                          "records at byte %1")
                               .arg(tailOffset + at));
        const int nameLength = u16(tail, at + 28);
        const int extraLength = u16(tail, at + 30);
        const qint64 length = CentralSize + nameLength + extraLength + u16(tail, at + 32);
        if (at + length > end)
            return invalid(QStringLiteral("a record runs beyond its central directory"));
        ZipEntry entry;
        const QString why = readRecord(tail, tailOffset, at, length, &entry);
        if (!why.isEmpty())
            return invalid(why);
        list.append(entry);
        at += length;
    }
    if (list.size() != entryCount)
        return invalid(QStringLiteral("its end record counts %1 entries, its directory holds %2")
                           .arg(entryCount)
                           .arg(list.size()));
    return Status::Complete;
}

// One central record at at, its local header's length too where the tail
// holds it; an empty string, or why the record cannot be used.
QString ZipDirectory::readRecord(const QByteArray &tail, qint64 tailOffset, qint64 at,
                                 qint64 length, ZipEntry *out) const
{
    ZipEntry entry;
    const int nameLength = u16(tail, at + 28);
    const int extraLength = u16(tail, at + 30);
    entry.flags = u16(tail, at + 8);
    entry.method = u16(tail, at + 10);
    entry.crc = u32(tail, at + 16);
    entry.compressedSize = u32(tail, at + 20);
    entry.size = u32(tail, at + 24);
    entry.offset = u32(tail, at + 42);
    entry.name = tail.mid(int(at + CentralSize), nameLength);
    entry.record = tail.mid(int(at), int(length));
    int offsetAt = -1;
    const QByteArray extra = tail.mid(int(at + CentralSize + nameLength), extraLength);
    if (!readZip64Extra(extra, &entry, entry.size == Escape32, entry.compressedSize == Escape32,
                        entry.offset == Escape32, &offsetAt))
        return QStringLiteral("the record of %1 lacks its zip64 sizes")
            .arg(QString::fromUtf8(entry.name));
    // The offset is all two records of one entry may differ in.
    std::fill_n(entry.record.data() + 42, 4, '\0');
    if (offsetAt >= 0)
        std::fill_n(entry.record.data() + CentralSize + nameLength + offsetAt, 8, '\0');
    if (entry.offset + LocalSize > directoryStart)
        return QStringLiteral("the entry %1 lies beyond the entries")
            .arg(QString::fromUtf8(entry.name));
    const qint64 local = entry.offset - tailOffset;
    if (local >= 0 && u32(tail, local) == LocalSignature)
        entry.headerLength = LocalSize + u16(tail, local + 26) + u16(tail, local + 28);
    *out = entry;
    return {};
}

bool ZipDirectory::readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        invalid(QStringLiteral("cannot read %1: %2")
                    .arg(QDir::toNativeSeparators(path), file.errorString()));
        return false;
    }
    const qint64 size = file.size();
    qint64 from = qMax<qint64>(0, size - TailSize);
    // Each round reads further back; a few suffice for any archive.
    for (int round = 0; round < 4; ++round) {
        if (!file.seek(from)) {
            invalid(file.errorString());
            return false;
        }
        const QByteArray tail = file.read(size - from);
        if (tail.size() != size - from) {
            invalid(file.errorString());
            return false;
        }
        const Status status = parse(tail, from, size);
        if (status == Status::Complete)
            return from == 0 || readHeaderLengths(file);
        if (status == Status::Invalid)
            return false;
        if (needed >= from || size - needed > MaxDirectorySize + TailSize)
            break;
        from = needed;
    }
    invalid(QStringLiteral("its end could not be read"));
    return false;
}

bool ZipDirectory::readHeaderLengths(QFile &file)
{
    for (ZipEntry &entry : list) {
        QByteArray header;
        if (file.seek(entry.offset))
            header = file.read(LocalSize);
        if (header.size() != LocalSize || u32(header, 0) != LocalSignature) {
            invalid(QStringLiteral("the local header of %1 is missing")
                        .arg(QString::fromUtf8(entry.name)));
            return false;
        }
        entry.headerLength = LocalSize + u16(header, 26) + u16(header, 28);
    }
    return true;
}

ZipDirectory::Status ZipDirectory::needFrom(qint64 offset)
{
    needed = offset;
    return Status::NeedsMore;
}

ZipDirectory::Status ZipDirectory::invalid(const QString &why)
{
    error = why;
    list.clear();
    return Status::Invalid;
}
