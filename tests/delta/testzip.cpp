#include "testzip.h"

#include <QDataStream>

namespace {

class Writer
{
public:
    explicit Writer(QByteArray *bytes)
        : stream(bytes, QIODevice::WriteOnly | QIODevice::Append)
    {
        stream.setByteOrder(QDataStream::LittleEndian);
    }
    Writer &u16(quint16 value) { return stream << value, *this; }
    Writer &u32(quint32 value) { return stream << value, *this; }
    Writer &u64(quint64 value) { return stream << value, *this; }
    Writer &raw(const QByteArray &bytes)
    {
        stream.writeRawData(bytes.constData(), bytes.size());
        return *this;
    }

private:
    QDataStream stream;
};

} // namespace

QByteArray testZip(const QVector<TestZipEntry> &entries, bool zip64, const QByteArray &comment)
{
    QByteArray archive;
    QVector<quint64> offsets;
    for (const TestZipEntry &entry : entries) {
        offsets.append(quint64(archive.size()));
        Writer(&archive)
            .u32(0x04034b50)
            .u16(20)
            .u16(0)
            .u16(0)
            .u16(entry.time)
            .u16(0)
            .u32(entry.crc)
            .u32(quint32(entry.data.size()))
            .u32(quint32(entry.data.size()))
            .u16(quint16(entry.name.size()))
            .u16(0)
            .raw(entry.name)
            .raw(entry.data);
    }
    const quint64 directory = quint64(archive.size());
    for (int i = 0; i < entries.size(); ++i) {
        const TestZipEntry &entry = entries.at(i);
        const quint32 escaped = 0xffffffff;
        const quint32 size = zip64 ? escaped : quint32(entry.data.size());
        Writer(&archive)
            .u32(0x02014b50)
            .u16(45)
            .u16(45)
            .u16(0)
            .u16(0)
            .u16(entry.time)
            .u16(0)
            .u32(entry.crc)
            .u32(size)
            .u32(size)
            .u16(quint16(entry.name.size()))
            .u16(zip64 ? 28 : 0)
            .u16(0)
            .u16(0)
            .u16(0)
            .u32(0)
            .u32(zip64 ? escaped : quint32(offsets.at(i)))
            .raw(entry.name);
        if (zip64)
            Writer(&archive)
                .u16(1)
                .u16(24)
                .u64(quint64(entry.data.size()))
                .u64(quint64(entry.data.size()))
                .u64(offsets.at(i));
    }
    const quint64 directorySize = quint64(archive.size()) - directory;
    const quint64 count = quint64(entries.size());
    if (zip64) {
        const quint64 record = quint64(archive.size());
        Writer(&archive)
            .u32(0x06064b50)
            .u64(44)
            .u16(45)
            .u16(45)
            .u32(0)
            .u32(0)
            .u64(count)
            .u64(count)
            .u64(directorySize)
            .u64(directory);
        Writer(&archive).u32(0x07064b50).u32(0).u64(record).u32(1);
    }
    Writer(&archive)
        .u32(0x06054b50)
        .u16(0)
        .u16(0)
        .u16(zip64 ? 0xffff : quint16(count))
        .u16(zip64 ? 0xffff : quint16(count))
        .u32(zip64 ? 0xffffffff : quint32(directorySize))
        .u32(zip64 ? 0xffffffff : quint32(directory))
        .u16(quint16(comment.size()))
        .raw(comment);
    return archive;
}
