#ifndef TRANSFERWATCHDOG_H
#define TRANSFERWATCHDOG_H

#include "transferlimits.h"

#include <QObject>
#include <QTimer>
#include <QVector>

// Ends what a server can otherwise make last for ever: a transfer that stops
// moving while its connections stay open, and one that moves a byte now and
// then, which the stall bound alone never catches.
class TransferWatchdog : public QObject
{
    Q_OBJECT

public:
    explicit TransferWatchdog(QObject *parent = nullptr);

    void setLimits(const TransferLimits &limits) { bounds = limits; }
    // Watches a try of the transfer named subject ("the download of x from
    // y"), which has moved movedSoFar bytes in all its tries.
    void start(const QString &subject, qint64 movedSoFar);
    // The transfer has moved movedSoFar bytes in all its tries.
    void moved(qint64 movedSoFar);
    void stop();

signals:
    void stalled(const QString &reason);
    void tooSlow(const QString &reason);

private:
    void sampleRate();

    TransferLimits bounds;
    QString subject;
    QTimer stallTimer;
    QTimer rateTimer;
    qint64 movedBytes = 0;
    // Bytes moved at each tick of rateTimer, oldest first.
    QVector<qint64> samples;
};

#endif // TRANSFERWATCHDOG_H
