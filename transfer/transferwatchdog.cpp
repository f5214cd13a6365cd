#include "transferwatchdog.h"

namespace {

// The rate is sampled this often per window, so the window slides in steps
// of a quarter.
constexpr int SamplesPerWindow = 4;

} // namespace

TransferWatchdog::TransferWatchdog(QObject *parent)
    : QObject(parent)
{
    stallTimer.setSingleShot(true);
    connect(&stallTimer, &QTimer::timeout, this, [this] {
        rateTimer.stop();
        emit stalled(
            QStringLiteral("%1 moved no data for %2 s").arg(subject, inSeconds(bounds.stallMs)));
    });
    connect(&rateTimer, &QTimer::timeout, this, &TransferWatchdog::sampleRate);
}

void TransferWatchdog::start(const QString &name, qint64 movedSoFar)
{
    subject = name;
    movedBytes = movedSoFar;
    samples = { movedSoFar };
    if (bounds.stallMs > 0)
        stallTimer.start(bounds.stallMs);
    if (bounds.rateWindowMs > 0 && bounds.minBytesPerSecond > 0)
        rateTimer.start(qMax(1, bounds.rateWindowMs / SamplesPerWindow));
}

void TransferWatchdog::moved(qint64 movedSoFar)
{
    if (movedSoFar == movedBytes)
        return;
    movedBytes = movedSoFar;
    if (stallTimer.isActive())
        stallTimer.start();
}

void TransferWatchdog::stop()
{
    stallTimer.stop();
    rateTimer.stop();
}

void TransferWatchdog::sampleRate()
{
    samples.append(movedBytes);
    if (samples.size() <= SamplesPerWindow)
        return;
    const qint64 bytes = samples.last() - samples.takeFirst();
    if (bytes * 1000 >= bounds.minBytesPerSecond * bounds.rateWindowMs)
        return;
    stop();
    emit tooSlow(QStringLiteral("%1 was slower than %2 bytes/s: %3 bytes in the last %4 s")
                     .arg(subject)
                     .arg(bounds.minBytesPerSecond)
                     .arg(bytes)
                     .arg(inSeconds(bounds.rateWindowMs)));
}
