#include "archivecheck.h"

#include <QFile>

#include <algorithm>
#include <vector>

#include <zlib.h>
#ifdef UPDATER_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace {

constexpr quint32 LocalHeaderSignature = 0x04034b50;
constexpr quint32 CentralHeaderSignature = 0x02014b50;
constexpr quint32 EndRecordSignature = 0x06054b50;
constexpr qint64 LocalHeaderSize = 30;
constexpr qint64 CentralHeaderSize = 46;
constexpr qint64 EndRecordSize = 22;
constexpr qint64 MaxCommentSize = 0xffff;
constexpr quint32 Zip64Marker = 0xffffffff;
constexpr quint16 EncryptedFlag = 0x0001;
constexpr quint16 Utf8NamesFlag = 0x0800;
constexpr quint16 Stored = 0;
constexpr quint16 Deflated = 8;

// zlib counts in unsigned int; larger spans are fed in pieces of this size.
constexpr qint64 MaxZlibSpan = 1 << 30;

quint16 le16(const uchar *p)
{
    return quint16(p[0] | p[1] << 8);
}

quint32 le32(const uchar *p)
{
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

quint32 crc32Update(quint32 crc, const uchar *data, qint64 size)
{
#ifdef UPDATER_HAVE_LIBDEFLATE
    // Several times faster than zlib's: it uses the processor's carry-less
    // multiplication where there is one.
    return libdeflate_crc32(crc, data, size_t(size));
#else
    while (size > 0) {
        const qint64 span = std::min(size, MaxZlibSpan);
        crc = quint32(crc32(crc, data, uInt(span)));
        data += span;
        size -= span;
    }
    return crc;
#endif
}

// The checksum of what a raw deflate stream unpacks to, or false when the
// stream is broken or does not unpack to exactly expectedSize bytes.
bool inflatedCrc(const uchar *data, qint64 size, qint64 expectedSize, quint32 *crc)
{
    z_stream stream = {};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return false;
    std::vector<uchar> out(256 * 1024);
    quint32 sum = 0;
    qint64 produced = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        if (stream.avail_in == 0) {
            const qint64 span = std::min(size, MaxZlibSpan);
            stream.next_in = const_cast<uchar *>(data);
            stream.avail_in = uInt(span);
            data += span;
            size -= span;
        }
        stream.next_out = out.data();
        stream.avail_out = uInt(out.size());
        status = inflate(&stream, Z_NO_FLUSH);
        const qint64 chunk = qint64(out.size()) - stream.avail_out;
        sum = crc32Update(sum, out.data(), chunk);
        produced += chunk;
        if (produced > expectedSize)
            break;
        // Out of input before the stream's end: the entry is cut short.
        if (status == Z_BUF_ERROR && stream.avail_in == 0 && size == 0)
            break;
        if (status == Z_BUF_ERROR)
            status = Z_OK;
    }
    inflateEnd(&stream);
    *crc = sum;
    return status == Z_STREAM_END && produced == expectedSize;
}

QString entryName(const uchar *name, int length, quint16 flags)
{
    const char *text = reinterpret_cast<const char *>(name);
    return flags & Utf8NamesFlag ? QString::fromUtf8(text, length)
                                 : QString::fromLatin1(text, length);
}

} // namespace

ArchiveCheck::ArchiveCheck(const QString &fileName)
    : fileName(fileName)
{
}

ArchiveCheck::Result ArchiveCheck::run()
{
    error.clear();
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return damaged(QStringLiteral("cannot be read: ") + file.errorString());
    const qint64 size = file.size();
    if (size < EndRecordSize)
        return damaged(QStringLiteral("is too short to be a zip archive"));
    // Mapped, the archive is read straight from the file cache, where the
    // download has just left it.
    const uchar *data = file.map(0, size);
    if (!data)
        return unchecked(QStringLiteral("cannot be mapped: ") + file.errorString());
    const Result result = checkMapped(data, size);
    file.unmap(const_cast<uchar *>(data));
    return result;
}

QString ArchiveCheck::errorString() const
{
    return error;
}

ArchiveCheck::Result ArchiveCheck::checkMapped(const uchar *data, qint64 size)
{
    // The end record closes the archive, followed only by its comment.
    const qint64 lowest = std::max<qint64>(0, size - EndRecordSize - MaxCommentSize);
    qint64 end = size - EndRecordSize;
    for (; end >= lowest; --end) {
        if (le32(data + end) == EndRecordSignature
            && end + EndRecordSize + le16(data + end + 20) == size)
            break;
    }
    if (end < lowest)
        return damaged(QStringLiteral("has no end record: it is cut short, or not a zip archive"));

    const uchar *record = data + end;
    if (le16(record + 4) != 0 || le16(record + 6) != 0)
        return unchecked(QStringLiteral("spans several volumes"));
    const quint16 entries = le16(record + 10);
    const quint32 directorySize = le32(record + 12);
    const quint32 directoryStart = le32(record + 16);
    if (entries == 0xffff || directorySize == Zip64Marker || directoryStart == Zip64Marker)
        return unchecked(QStringLiteral("is in the zip64 form"));
    // Anything between the directory and the end record, or data in front of
    // the archive that shifts its offsets, is for the unpacker to judge.
    if (qint64(directoryStart) + directorySize != end)
        return unchecked(
            QStringLiteral("has its directory where the end record does not expect it"));

    qint64 at = directoryStart;
    for (int i = 0; i < entries; ++i) {
        if (at + CentralHeaderSize > end || le32(data + at) != CentralHeaderSignature)
            return damaged(QStringLiteral("has a damaged directory"));
        const uchar *header = data + at;
        at += CentralHeaderSize + le16(header + 28) + le16(header + 30) + le16(header + 32);
        if (at > end)
            return damaged(QStringLiteral("has a damaged directory"));
        const Result result = checkEntry(data, directoryStart, header);
        if (result != Sound)
            return result;
    }
    return Sound;
}

ArchiveCheck::Result ArchiveCheck::checkEntry(const uchar *data, qint64 directoryStart,
                                              const uchar *header)
{
    const quint16 flags = le16(header + 8);
    const quint16 method = le16(header + 10);
    const quint32 crc = le32(header + 16);
    const quint32 packedSize = le32(header + 20);
    const quint32 size = le32(header + 24);
    const quint32 localStart = le32(header + 42);
    const QString name = entryName(header + CentralHeaderSize, le16(header + 28), flags);

    if (packedSize == Zip64Marker || size == Zip64Marker || localStart == Zip64Marker)
        return unchecked(name + QStringLiteral(" is in the zip64 form"));
    if (flags & EncryptedFlag)
        return unchecked(name + QStringLiteral(" is encrypted"));
    if (method != Stored && method != Deflated)
        return unchecked(name + QStringLiteral(" is packed with method ")
                         + QString::number(method));

    if (localStart + LocalHeaderSize > directoryStart
        || le32(data + localStart) != LocalHeaderSignature)
        return damaged(name + QStringLiteral(" has a damaged header"));
    const uchar *local = data + localStart;
    const qint64 dataStart = localStart + LocalHeaderSize + le16(local + 26) + le16(local + 28);
    if (dataStart + packedSize > directoryStart)
        return damaged(name + QStringLiteral(" is cut short"));

    quint32 actual = 0;
    if (method == Stored) {
        if (packedSize != size)
            return damaged(name + QStringLiteral(" is cut short"));
        actual = crc32Update(0, data + dataStart, size);
    } else if (!inflatedCrc(data + dataStart, packedSize, size, &actual)) {
        return damaged(name + QStringLiteral(" cannot be unpacked"));
    }
    if (actual != crc)
        return damaged(name + QStringLiteral(" does not match its checksum"));
    return Sound;
}

ArchiveCheck::Result ArchiveCheck::damaged(const QString &reason)
{
    error = reason;
    return Damaged;
}

ArchiveCheck::Result ArchiveCheck::unchecked(const QString &reason)
{
    error = reason;
    return Unchecked;
}
