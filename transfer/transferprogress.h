#ifndef TRANSFERPROGRESS_H
#define TRANSFERPROGRESS_H

#include <QtGlobal>

// The share of a transfer that is done, as the window shows it: whole
// percent, truncated, and never 100, which belongs to completion alone.
// -1 when there is no share to show: an unknown (-1) or empty (0) total,
// which a failing transfer may report, or more done than the total.
inline int transferPercent(qint64 done, qint64 total)
{
    if (total <= 0 || done < 0 || done > total)
        return -1;
    const int percent = int(double(done) / double(total) * 100.0);
    return percent == 100 ? 99 : percent;
}

#endif // TRANSFERPROGRESS_H
