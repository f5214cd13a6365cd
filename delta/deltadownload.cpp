#include "deltadownload.h"

#include "ftpprotocol.h"
#include "ftpretrieval.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace {

// What waits unread of a range at most.
constexpr qint64 ReadBufferSize = 1024 * 1024;
// Copied per turn of the event loop, so that the window keeps painting.
constexpr qint64 CopyBudget = 16 * 1024 * 1024;
// Reads further back for a directory larger than the first read.
constexpr int MaxEndReads = 4;

} // namespace

DeltaDownload::DeltaDownload(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent)
    , network(network)
{
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &DeltaDownload::startTry);
    assembler.setSingleShot(true);
    assembler.setInterval(0);
    connect(&assembler, &QTimer::timeout, this, &DeltaDownload::assemble);
    connect(&watchdog, &TransferWatchdog::stalled, this,
            [this](const QString &reason) { failTry(reason, RetryPolicy::Cause::Stalled); });
    connect(&watchdog, &TransferWatchdog::tooSlow, this,
            [this](const QString &reason) { failTry(reason, RetryPolicy::Cause::TooSlow); });
}

DeltaDownload::~DeltaDownload()
{
    abandon();
}

void DeltaDownload::setLimits(const TransferLimits &newLimits)
{
    limits = newLimits;
    watchdog.setLimits(newLimits);
}

QString DeltaDownload::assemblyFileName(const QString &archivePath)
{
    return archivePath + QLatin1String(".delta");
}

void DeltaDownload::start(const QUrl &source, const QString &path)
{
    abandon();
    url = source;
    archivePath = path;
    phase = Phase::Planning;
    remote = RemoteArchive();
    plan = DeltaPlan();
    reported = fetchedBytes = 0;
    triesMade = 0;
    failure.clear();
    // What an earlier run assembled is not resumed: the plan is made anew.
    QFile::remove(assemblyFileName(path));
    if (!installed.readFile(path)) {
        decline(QStringLiteral("the installed release's archive %1 is not a readable zip: %2")
                    .arg(QDir::toNativeSeparators(path), installed.errorString()));
        return;
    }
    if (!assembly.open(path, assemblyFileName(path))) {
        decline(assembly.errorString());
        return;
    }
    startTry();
}

void DeltaDownload::abandon()
{
    phase = Phase::Done;
    retryTimer.stop();
    assembler.stop();
    dropReply();
    assembly.discard();
}

void DeltaDownload::startTry()
{
    ++triesMade;
    failing = false;
    tryFailure.clear();
    reply = qobject_cast<FtpRetrieval *>(network->get(QNetworkRequest(url)));
    if (!reply) {
        decline(QStringLiteral("%1 is not served over FTP").arg(url.toDisplayString()));
        return;
    }
    reply->setReadBufferSize(ReadBufferSize);
    connect(reply, &QNetworkReply::metaDataChanged, this, &DeltaDownload::learnRemoteFile);
    connect(reply, &QIODevice::readyRead, this, &DeltaDownload::received);
    connect(reply, &FtpRetrieval::rangesDelivered, this, &DeltaDownload::rangesDelivered);
    connect(reply, &QNetworkReply::errorOccurred, this, [this] {
        if (!failing && reply)
            tryFailure = Ftp::withoutPassword(reply->errorString(), url).simplified();
    });
    connect(reply, &QNetworkReply::finished, this, &DeltaDownload::replyFinished);
    watchdog.start(name(), assembly.assembled() + fetchedBytes);
}

void DeltaDownload::learnRemoteFile()
{
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 size = announced.isValid() ? announced.toLongLong() : -1;
    const QByteArray time = reply->modificationTime();
    if (phase == Phase::Planning) {
        if (size <= 0) {
            decline(size < 0 ? QStringLiteral("the server does not tell the archive's size")
                             : QStringLiteral("the archive on the server is empty"));
            return;
        }
        remote.size = size;
        remote.time = time;
        remote.endOffset = size;
        phase = Phase::ReadingEnd;
        readEndRange(qMax<qint64>(0, size - ZipDirectory::TailSize));
        return;
    }
    if (size != remote.size || time != remote.time) {
        decline(QStringLiteral("the archive on the server changed during the fetch (%1 bytes, "
                               "time %2; now %3 bytes, time %4)")
                    .arg(remote.size)
                    .arg(QString::fromLatin1(remote.time))
                    .arg(size)
                    .arg(QString::fromLatin1(time)));
        return;
    }
    if (phase == Phase::ReadingEnd) {
        readEndRange(remote.endRangeFrom);
        return;
    }
    remote.endAgain.clear();
    reply->setRanges(rangesLeft());
}

// The fetches the cursor has not passed, and the end once more.
ByteRanges DeltaDownload::rangesLeft() const
{
    return assembly.fetchesLeft() + ByteRanges { { remote.endOffset, remote.size } };
}

void DeltaDownload::readEndRange(qint64 from)
{
    remote.endRangeFrom = from;
    remote.endRange.clear();
    ++remote.endReads;
    reply->setRanges({ { from, remote.endOffset } });
}

void DeltaDownload::received()
{
    if (!reply)
        return;
    if (phase == Phase::ReadingEnd) {
        const QByteArray bytes = reply->readAll();
        remote.endRange += bytes;
        fetchedBytes += bytes.size();
        watchdog.moved(fetchedBytes);
        return;
    }
    if (phase != Phase::Assembling)
        return;
    if (!assembly.fetchesLeft().isEmpty()) {
        assemble();
        return;
    }
    const QByteArray bytes = reply->readAll();
    remote.endAgain += bytes;
    fetchedBytes += bytes.size();
}

void DeltaDownload::rangesDelivered()
{
    if (phase == Phase::Assembling) {
        // A file replaced during the session would have mixed two archives.
        if (remote.endAgain != remote.end) {
            decline(QStringLiteral("the archive on the server changed during the fetch: its "
                                   "end is not the one it was planned from"));
            return;
        }
        remote.endConfirmed = true;
        if (assembly.isComplete())
            finishAssembly();
        return;
    }
    if (phase != Phase::ReadingEnd)
        return;
    remote.end.prepend(remote.endRange);
    remote.endOffset = remote.endRangeFrom;
    remote.endRange.clear();
    planFromEnd();
}

void DeltaDownload::planFromEnd()
{
    ZipDirectory offered;
    switch (offered.parse(remote.end, remote.endOffset, remote.size)) {
    case ZipDirectory::Status::Invalid:
        decline(QStringLiteral("the central directory of the archive on the server cannot be "
                               "read: %1")
                    .arg(offered.errorString()));
        return;
    case ZipDirectory::Status::NeedsMore:
        if (remote.endReads >= MaxEndReads
            || remote.size - offered.neededFrom()
                > ZipDirectory::MaxDirectorySize + ZipDirectory::TailSize) {
            decline(QStringLiteral("the end of the archive on the server is too large to read"));
            return;
        }
        readEndRange(offered.neededFrom());
        return;
    case ZipDirectory::Status::Complete:
        break;
    }
    plan = DeltaPlan::make(installed, offered, remote.endOffset, planSettings);
    if (!plan.isWorthwhile()) {
        decline(QStringLiteral("the plan is not worth following: %1").arg(plan.whyNot()));
        return;
    }
    follow();
}

void DeltaDownload::follow()
{
    phase = Phase::Assembling;
    assembly.follow(&plan, &remote.end, remote.endOffset);
    reply->setRanges(rangesLeft());
    assembler.start();
}

void DeltaDownload::assemble()
{
    if (phase != Phase::Assembling)
        return;
    const qint64 fetchedBefore = assembly.fetched();
    const DeltaAssembly::Progress state = assembly.advance(reply, CopyBudget);
    fetchedBytes += assembly.fetched() - fetchedBefore;
    watchdog.moved(assembly.assembled() + fetchedBytes);
    if (assembly.assembled() > reported) {
        reported = assembly.assembled();
        emit progress(reported, remote.size);
    }
    switch (state) {
    case DeltaAssembly::Progress::Failed:
        dropReply();
        giveUp(QStringLiteral("%1 failed: %2").arg(name(), assembly.errorString()));
        return;
    case DeltaAssembly::Progress::Paused:
        assembler.start();
        return;
    case DeltaAssembly::Progress::Waiting:
        return;
    case DeltaAssembly::Progress::Complete:
        if (remote.endConfirmed)
            finishAssembly();
        return;
    }
}

void DeltaDownload::finishAssembly()
{
    phase = Phase::Done;
    watchdog.stop();
    dropReply();
    const QString mismatch = assembly.mismatch(remote.size);
    if (!mismatch.isEmpty()) {
        assembly.discard();
        emit notApplicable(mismatch);
        return;
    }
    if (!assembly.commit(archivePath)) {
        assembly.discard();
        failure = assembly.errorString();
        emit failed(failure);
        return;
    }
    emit note(QStringLiteral("%1 was assembled: %2 bytes reused from the installed release's "
                             "archive, %3 bytes fetched from %4 in %5 ranges and %6 reads of "
                             "its end")
                  .arg(url.path())
                  .arg(plan.reused())
                  .arg(fetchedBytes)
                  .arg(Ftp::serverName(url))
                  .arg(plan.fetchCount())
                  .arg(remote.endReads + 1));
    emit finished();
}

void DeltaDownload::replyFinished()
{
    FtpRetrieval *ended = reply;
    if (!ended || sender() != ended)
        return;
    watchdog.stop();
    reply = nullptr;
    ended->disconnect(this);
    ended->deleteLater();
    if (phase == Phase::Done)
        return;
    if (failing) {
        endTry(tryFailure, ownCause);
        return;
    }
    if (ended->error() != QNetworkReply::NoError) {
        if (phase == Phase::ReadingEnd && !ended->restRefusal().isEmpty()) {
            decline(QStringLiteral("the server will not send ranges of the archive: REST was "
                                   "answered %1")
                        .arg(ended->restRefusal()));
            return;
        }
        endTry(tryFailure, RetryPolicy::causeOf(ended->error()));
        return;
    }
    // Every fetch arrived; the copies after the last one go on.
    if (phase == Phase::Assembling && remote.endConfirmed)
        return;
    endTry(QStringLiteral("the server ended the session before %1 was whole").arg(url.path()),
           RetryPolicy::Cause::Cut);
}

void DeltaDownload::failTry(const QString &reason, RetryPolicy::Cause cause)
{
    if (failing || !reply)
        return;
    failing = true;
    tryFailure = reason;
    ownCause = cause;
    watchdog.stop();
    QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

void DeltaDownload::endTry(const QString &reason, RetryPolicy::Cause cause)
{
    const RetryPolicy::Decision decision =
        RetryPolicy(limits.retryPausesMs).after(cause, triesMade);
    if (decision.action != RetryPolicy::Action::Retry) {
        giveUp(triesMade > 1 ? QStringLiteral("%1; %2 tries were made").arg(reason).arg(triesMade)
                             : reason);
        return;
    }
    emit note(QStringLiteral("%1 was cut off after %2 of %3 bytes (%4); try %5 of %6 goes on "
                             "in %7 s")
                  .arg(name())
                  .arg(assembly.assembled())
                  .arg(remote.size)
                  .arg(reason)
                  .arg(triesMade + 1)
                  .arg(limits.retryPausesMs.size() + 1)
                  .arg(inSeconds(decision.pauseMs)));
    retryTimer.start(decision.pauseMs);
}

void DeltaDownload::giveUp(const QString &reason)
{
    phase = Phase::Done;
    watchdog.stop();
    assembler.stop();
    assembly.discard();
    failure = reason;
    emit failed(reason);
}

void DeltaDownload::decline(const QString &reason)
{
    phase = Phase::Done;
    watchdog.stop();
    assembler.stop();
    // A session under way ends without another transfer.
    if (reply)
        reply->setRanges({});
    assembly.discard();
    QMetaObject::invokeMethod(
        this, [this, reason] { emit notApplicable(reason); }, Qt::QueuedConnection);
}

void DeltaDownload::dropReply()
{
    FtpRetrieval *running = reply;
    reply = nullptr;
    if (!running)
        return;
    running->disconnect(this);
    if (running->isRunning())
        running->abort();
    running->deleteLater();
}

QString DeltaDownload::name() const
{
    return QStringLiteral("the differential download of %1 from %2")
        .arg(url.path(), Ftp::serverName(url));
}
