#ifndef TESTZIP_H
#define TESTZIP_H

#include <QByteArray>
#include <QVector>

// Stored zip archives laid out byte by byte, for tests that read and plan
// them. The checksum is whatever the test says: nothing here unpacks.
struct TestZipEntry
{
    QByteArray name;
    QByteArray data;
    quint32 crc = 0;
    quint16 time = 0;
};

QByteArray testZip(const QVector<TestZipEntry> &entries, bool zip64 = false,
                   const QByteArray &comment = QByteArray());

// What an entry occupies in the archive: local header, name and data.
inline qint64 testZipExtent(const TestZipEntry &entry)
{
    return 30 + entry.name.size() + entry.data.size();
}

#endif // TESTZIP_H
