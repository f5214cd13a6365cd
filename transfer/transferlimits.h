#ifndef TRANSFERLIMITS_H
#define TRANSFERLIMITS_H

#include <QString>
#include <QVector>
#include <QtGlobal>

// Bounds that end a transfer which cannot finish in a reasonable time, and
// the pauses before the new tries of a download that was cut off.
struct TransferLimits
{
    // A transfer that moves no data for this long has stalled.
    int stallMs = 30000;
    // A transfer fails when, over the last rateWindowMs, it moved less than
    // minBytesPerSecond on average; 0 in either turns this off.
    int rateWindowMs = 60000;
    qint64 minBytesPerSecond = 2048;
    // As many tries follow the first as there are pauses.
    QVector<int> retryPausesMs = { 1000, 2000, 4000, 8000, 8000 };
};

// A bound or pause as the log states it.
inline QString inSeconds(int ms)
{
    return QString::number(ms / 1000.0);
}

#endif // TRANSFERLIMITS_H
