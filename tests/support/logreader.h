#ifndef LOGREADER_H
#define LOGREADER_H

#include <QByteArrayList>
#include <QString>

// The debug log in a folder (debuglog/), read back record by record on the
// pattern the log itself publishes.
class LogReader
{
public:
    explicit LogReader(const QString &logDir);

    // Every file whole, in the order of their names, in the system's 8-bit
    // encoding the log is written in.
    QString text() const;
    // The texts of the records, oldest file first, as bytes.
    QByteArrayList records() const;
    int recordCount() const { return int(records().size()); }
    // False unless every byte of every file belongs to a well-formed record.
    bool wellFormed() const;

private:
    QByteArrayList split(bool *whole) const;

    QString dir;
};

#endif // LOGREADER_H
