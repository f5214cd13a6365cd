#include "ftpdownload.h"

#include "ftpprotocol.h"
#include "ftpretrieval.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace {

// Data is moved from the reply to the disk as it arrives, in pieces of this
// size: large enough to keep system calls few, small enough that the kernel
// takes each write without stalling.
constexpr qint64 CopyChunkSize = 256 * 1024;

// At most this much of a download waits in memory; beyond it the server is
// held back until the disk has taken what came.
constexpr qint64 ReadBufferSize = 1024 * 1024;

} // namespace

FtpDownload::FtpDownload(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent)
    , network(network)
{
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &FtpDownload::startTry);
    connect(&watchdog, &TransferWatchdog::stalled, this,
            [this](const QString &reason) { failTry(reason, RetryPolicy::Cause::Stalled); });
    connect(&watchdog, &TransferWatchdog::tooSlow, this,
            [this](const QString &reason) { failTry(reason, RetryPolicy::Cause::TooSlow); });
}

FtpDownload::~FtpDownload()
{
    abandon();
}

void FtpDownload::setLimits(const TransferLimits &newLimits)
{
    limits = newLimits;
    watchdog.setLimits(newLimits);
}

void FtpDownload::start(const QUrl &source, const QString &localFileName)
{
    abandon();
    url = source;
    failure.clear();
    failureCode = QNetworkReply::NoError;
    this->source = PartialDownload::Source();
    sourceFromEarlierRun = false;
    triesMade = 0;
    received = reported = moved = 0;
    expected = -1;

    target.close();
    target.setFileName(localFileName);
    // Emptied now; it receives the file only once the whole transfer has
    // succeeded.
    if (!target.open(QIODevice::WriteOnly)) {
        failSoon(localFileError(target.errorString()), QNetworkReply::UnknownContentError);
        return;
    }
    if (QFileInfo(localFileName).isFile()) {
        target.close();
        partial = std::make_unique<PartialDownload>(localFileName);
        if (!partial->open()) {
            const QString reason = localFileError(partial->errorString());
            partial.reset();
            failSoon(reason, QNetworkReply::UnknownContentError);
            return;
        }
        this->source = partial->recorded();
        sourceFromEarlierRun = true;
        received = partial->size();
    }
    startTry();
}

void FtpDownload::abandon()
{
    watchdog.stop();
    retryTimer.stop();
    // What arrived stays for the next start() of the file, in this run or a
    // later one.
    if (partial)
        partial->keep();
    partial.reset();
    QNetworkReply *reply = attempt.reply;
    attempt = Try();
    if (!reply)
        return;
    reply->disconnect(this);
    if (reply->isRunning())
        reply->abort();
    reply->deleteLater();
}

bool FtpDownload::isRunning() const
{
    return attempt.reply || retryTimer.isActive();
}

// Reported from the event loop, like every other outcome.
void FtpDownload::failSoon(const QString &reason, QNetworkReply::NetworkError code)
{
    failure = reason;
    failureCode = code;
    QMetaObject::invokeMethod(
        this, [this, reason] { emit failed(reason); }, Qt::QueuedConnection);
}

void FtpDownload::startTry()
{
    ++triesMade;
    attempt = Try();
    QNetworkReply *reply = network->get(QNetworkRequest(url));
    attempt.reply = reply;
    reply->setReadBufferSize(ReadBufferSize);
    connect(reply, &QIODevice::readyRead, this, &FtpDownload::store);
    connect(reply, &QNetworkReply::metaDataChanged, this, &FtpDownload::learnRemoteFile);
    connect(reply, &QNetworkReply::errorOccurred, this, &FtpDownload::replyError);
    connect(reply, &QNetworkReply::finished, this, &FtpDownload::replyFinished);
    watchdog.start(transferName(), moved);
}

void FtpDownload::replyFinished()
{
    QNetworkReply *reply = attempt.reply;
    if (!reply || sender() != reply)
        return;
    store();
    watchdog.stop();
    attempt.reply = nullptr;
    reply->disconnect(this);
    reply->deleteLater();
    if (attempt.failing) {
        endTry(attempt.failure, attempt.ownCause);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        failureCode = reply->error();
        endTry(attempt.failure, RetryPolicy::causeOf(reply->error()));
        return;
    }
    conclude();
}

void FtpDownload::replyError()
{
    // The client's own reason, when it gave the try up itself, says more
    // than the reply's.
    if (attempt.failing || !attempt.reply)
        return;
    attempt.failure = Ftp::withoutPassword(attempt.reply->errorString(), url).simplified();
}

void FtpDownload::learnRemoteFile()
{
    auto *reply = qobject_cast<FtpRetrieval *>(attempt.reply);
    if (!reply)
        return;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    expected = announced.isValid() ? announced.toLongLong() : -1;
    if (!partial)
        return;
    const PartialDownload::Source remote { origin(), expected, reply->modificationTime() };
    const qint64 held = partial->size();
    const PartialDownload::Resumption resumption =
        PartialDownload::resumption(held, source, remote);
    const QString heldName = sourceFromEarlierRun
        ? QStringLiteral("the partial download of %1 from %2 that an earlier run left (%3 bytes)")
              .arg(url.path(), Ftp::serverName(url))
              .arg(held)
        : QStringLiteral("%1 (%2 bytes so far)").arg(transferName()).arg(held);
    const bool earlier = sourceFromEarlierRun;
    sourceFromEarlierRun = false;
    switch (resumption.kind) {
    case PartialDownload::Resumption::Whole:
        emit note(QStringLiteral("%1 is whole already: the server still reports %2")
                      .arg(heldName, remote.describe()));
        reply->setRanges({});
        return;
    case PartialDownload::Resumption::Resume:
        if (earlier)
            emit note(QStringLiteral("%1 is resumed: the server still reports %2")
                          .arg(heldName, remote.describe()));
        attempt.askedOffset = held;
        reply->setRanges({ { held, -1 } });
        return;
    case PartialDownload::Resumption::Restart:
        break;
    }
    if (!resumption.why.isEmpty())
        emit note(QStringLiteral("%1 starts again from byte 0: %2").arg(heldName, resumption.why));
    if (!partial->restart(remote)) {
        failTry(localFileError(partial->errorString()), RetryPolicy::Cause::LocalFile);
        return;
    }
    source = remote;
    received = 0;
}

void FtpDownload::checkResumed()
{
    auto *reply = qobject_cast<FtpRetrieval *>(attempt.reply);
    if (attempt.resumeChecked || !reply || !partial || attempt.askedOffset == 0)
        return;
    if (reply->currentRange().begin == attempt.askedOffset && reply->restRefusal().isEmpty())
        return;
    attempt.resumeChecked = true;
    emit note(QStringLiteral("%1 cannot resume at byte %2, the server refused (%3): it starts "
                             "again from byte 0")
                  .arg(transferName())
                  .arg(attempt.askedOffset)
                  .arg(reply->restRefusal()));
    attempt.askedOffset = 0;
    received = 0;
    if (!partial->restart(source))
        failTry(localFileError(partial->errorString()), RetryPolicy::Cause::LocalFile);
}

QFileDevice *FtpDownload::sink()
{
    if (partial)
        return partial->device();
    return &target;
}

void FtpDownload::store()
{
    QNetworkReply *reply = attempt.reply;
    if (!reply)
        return;
    checkResumed();
    // Once the try is given up nothing more is read: a server that never
    // stops sending would otherwise keep this loop going for ever, as the
    // socket refills as fast as it is read.
    // One buffer for the whole download: a fresh one per chunk costs a page
    // fault per 4 KiB, as much again as copying the bytes.
    chunk.resize(int(CopyChunkSize));
    while (!attempt.failing && reply->bytesAvailable() > 0) {
        const qint64 size = reply->read(chunk.data(), chunk.size());
        if (size <= 0)
            break;
        // A server that never stops sending must not fill the disk.
        if (expected >= 0 && received + size > expected) {
            failTry(QStringLiteral("the server %1 sent more than the %2 bytes it announced for %3")
                        .arg(Ftp::serverName(url))
                        .arg(expected)
                        .arg(url.path()),
                    RetryPolicy::Cause::Overrun);
            break;
        }
        if (sink()->write(chunk.constData(), size) != size) {
            failTry(localFileError(sink()->errorString()), RetryPolicy::Cause::LocalFile);
            break;
        }
        received += size;
        moved += size;
    }
    watchdog.moved(moved);
    if (received > reported && !attempt.failing) {
        reported = received;
        emit progress(received, expected);
    }
}

void FtpDownload::conclude()
{
    const QString missing = shortfall();
    if (!missing.isEmpty()) {
        endTry(missing, received > 0 ? RetryPolicy::Cause::Cut : RetryPolicy::Cause::Missing);
        return;
    }
    if (partial && !partial->commit(target.fileName())) {
        endTry(localFileError(partial->errorString()), RetryPolicy::Cause::LocalFile);
        return;
    }
    if (!partial) {
        const bool flushed = target.flush();
        target.close();
        if (!flushed || target.error() != QFileDevice::NoError) {
            endTry(localFileError(target.errorString()), RetryPolicy::Cause::LocalFile);
            return;
        }
    }
    partial.reset();
    emit finished();
}

// A server that closes the data connection early and reports success looks
// like the end of the file; only the size it told can tell.
QString FtpDownload::shortfall() const
{
    if (expected < 0 && received == 0)
        return QStringLiteral("nothing of %1 arrived and the server does not tell the file's "
                              "size: the file was never retrieved")
            .arg(transferName());
    if (expected < 0 || received == expected)
        return QString();
    if (received == 0)
        return QStringLiteral("none of the %1 bytes the server announced for %2 arrived")
            .arg(expected)
            .arg(transferName());
    return QStringLiteral("%1 ended after %2 of the %3 bytes the server announced")
        .arg(transferName())
        .arg(received)
        .arg(expected);
}

void FtpDownload::failTry(const QString &reason, RetryPolicy::Cause cause)
{
    if (attempt.failing || !attempt.reply)
        return;
    attempt.failing = true;
    attempt.failure = reason;
    attempt.ownCause = cause;
    watchdog.stop();
    // Not from inside the reply's own signal; its end then reports the
    // failure.
    QMetaObject::invokeMethod(attempt.reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

void FtpDownload::endTry(const QString &reason, RetryPolicy::Cause cause)
{
    const RetryPolicy::Decision decision =
        RetryPolicy(limits.retryPausesMs).after(cause, triesMade);
    if (decision.action == RetryPolicy::Action::Retry && partial) {
        const bool resumable = expected >= 0 && received > 0 && received < expected;
        emit note(QStringLiteral("%1 was cut off after %2 (%3); try %4 of %5 %6 in %7 s")
                      .arg(transferName(), bytesSoFar(), reason)
                      .arg(triesMade + 1)
                      .arg(limits.retryPausesMs.size() + 1)
                      .arg(resumable ? QStringLiteral("resumes at byte %1").arg(received)
                                     : QStringLiteral("starts again from byte 0"))
                      .arg(inSeconds(decision.pauseMs)));
        retryTimer.start(decision.pauseMs);
        return;
    }
    endDownload(decision.action);
    failure = triesMade > 1 ? QStringLiteral("%1; %2 tries were made").arg(reason).arg(triesMade)
                            : reason;
    if (failureCode == QNetworkReply::NoError)
        failureCode = QNetworkReply::UnknownNetworkError;
    emit failed(failure);
}

void FtpDownload::endDownload(RetryPolicy::Action action)
{
    if (partial && action == RetryPolicy::Action::Discard)
        partial->discard();
    else if (partial)
        partial->keep();
    partial.reset();
    // Nothing under the local file's name can be taken for a download: it
    // is left empty, as start() left it.
    target.close();
    const QFileInfo info(target.fileName());
    if (info.isFile())
        QFile::resize(target.fileName(), 0);
    else if (!info.exists() && target.open(QIODevice::WriteOnly))
        target.close(); // a failed commit had removed it already
}

QString FtpDownload::transferName() const
{
    return QStringLiteral("the download of %1 from %2").arg(url.path(), Ftp::serverName(url));
}

QString FtpDownload::origin() const
{
    return Ftp::serverName(url) + QLatin1Char('/') + url.path();
}

QString FtpDownload::bytesSoFar() const
{
    if (expected < 0)
        return QStringLiteral("%1 bytes (of a size the server does not tell)").arg(received);
    return QStringLiteral("%1 of %2 bytes").arg(received).arg(expected);
}

QString FtpDownload::localFileError(const QString &reason) const
{
    return QStringLiteral("cannot write %1 for %2: %3")
        .arg(QDir::toNativeSeparators(target.fileName()), transferName(), reason);
}
