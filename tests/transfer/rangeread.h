#ifndef RANGEREAD_H
#define RANGEREAD_H

#include "ftpretrieval.h"

#include <QByteArray>
#include <QString>

class FtpAccessManager;
class QUrl;

// What one retrieval of several ranges of a file handed back.
struct RangeRead
{
    QString errorString; // empty when the retrieval ended in success
    QByteArray received;
};

RangeRead readRanges(FtpAccessManager &network, const QUrl &url, const ByteRanges &ranges,
                     int timeoutMs);
QByteArray slices(const QByteArray &content, const ByteRanges &ranges);

#endif // RANGEREAD_H
