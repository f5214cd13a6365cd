#include "ftpclient.h"

#include "ftpaccessmanager.h"
#include "ftpreply.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

// Data is moved from the reply to the disk as it arrives, in pieces of this
// size: large enough to keep system calls few, small enough that the kernel
// takes each write without stalling.
constexpr qint64 CopyChunkSize = 256 * 1024;

// At most this much of a download waits in memory; beyond it the server is
// held back until the disk has taken what came.
constexpr qint64 ReadBufferSize = 1024 * 1024;

// The rate is sampled this often per window, so the window slides in steps
// of a quarter.
constexpr int RateSamplesPerWindow = 4;

constexpr int DefaultFtpPort = 21;

QString seconds(int ms)
{
    return QString::number(ms / 1000.0);
}

// The server's texts end up in the log; one that echoes the login must not
// put the password there.
QString withoutPassword(QString text, const QUrl &url)
{
    if (url.password().isEmpty())
        return text;
    for (const auto format : { QUrl::PrettyDecoded, QUrl::FullyEncoded, QUrl::FullyDecoded })
        text.replace(QLatin1Char(':') + url.password(format) + QLatin1Char('@'),
                     QStringLiteral(":***@"));
    return text;
}

QString describe(const PartialDownload::Source &source)
{
    return QStringLiteral("%1 bytes, time %2")
        .arg(source.size)
        .arg(source.time.isEmpty() ? QStringLiteral("unknown") : QString::fromLatin1(source.time));
}

} // namespace

FtpCLient::FtpCLient()
    : QObject(nullptr)
    , url(new QUrl)
    , stallTimer(new QTimer(this))
    , rateTimer(new QTimer(this))
    , retryTimer(new QTimer(this))
{
    url->setScheme(QStringLiteral("ftp"));
    // A server that stops sending but keeps its connections open, or a
    // connection that never completes, would be waited for forever.
    stallTimer->setSingleShot(true);
    connect(stallTimer, &QTimer::timeout, this, [this] {
        failTransfer(QStringLiteral("%1 moved no data for %2 s")
                         .arg(transferName(), seconds(bounds.stallMs)),
                     Verdict::Retry);
    });
    // A server that sends a byte now and then never trips the stall bound.
    connect(rateTimer, &QTimer::timeout, this, &FtpCLient::checkRate);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &FtpCLient::startTry);
}

// Made at the first transfer: a network access manager sets up Qt's bearer
// management as it is made, which would otherwise delay the window.
QNetworkAccessManager *FtpCLient::networkManager()
{
    if (!manager) {
        manager = new FtpAccessManager;
        connect(manager, SIGNAL(finished(QNetworkReply *)), this, SLOT(finished(QNetworkReply *)));
    }
    return manager;
}

FtpCLient::~FtpCLient()
{
    if (manager)
        manager->disconnect(this);
    abandonCurrentReply();
    delete file;
    delete url;
    delete manager;
}

void FtpCLient::setHostPort(const QString &host, int port)
{
    url->setHost(host, QUrl::DecodedMode);
    url->setPort(port);
}

void FtpCLient::setUserInfo(const QString &userName, const QString &password)
{
    url->setUserName(userName, QUrl::DecodedMode);
    url->setPassword(password, QUrl::DecodedMode);
}

void FtpCLient::setLimits(const Limits &limits)
{
    bounds = limits;
}

void FtpCLient::setLogger(std::function<void(const QString &)> lineLogger)
{
    logger = std::move(lineLogger);
}

QString FtpCLient::partialFileName(const QString &localFileName)
{
    return PartialDownload::fileName(localFileName);
}

QString FtpCLient::partialInfoFileName(const QString &localFileName)
{
    return PartialDownload::infoFileName(localFileName);
}

void FtpCLient::get(const QString &remotePath, const QString &localFileName)
{
    abandonCurrentReply();
    beginTransfer(false);
    url->setPath(encodeRemotePath(remotePath), QUrl::DecodedMode);

    const QDir imageDir(QStringLiteral("./image"));
    if (!imageDir.exists())
        imageDir.mkdir(QDir::currentPath() + QStringLiteral("/image"));
    QFileInfo info;
    info.setFile(imageDir, localFileName);

    delete file;
    file = new QFile(info.filePath());
    // Emptied now; it receives the archive only once the whole transfer has
    // succeeded.
    if (!file->open(QIODevice::WriteOnly)) {
        reportLocalFailure(localFileError(file->errorString()));
        return;
    }
    // Only a regular file can be replaced by a finished partial one; a
    // device is written to directly, and cannot be resumed.
    if (QFileInfo(file->fileName()).isFile()) {
        file->close();
        partial = new PartialDownload(file->fileName());
        if (!partial->open()) {
            const QString reason = localFileError(partial->errorString());
            delete partial;
            partial = nullptr;
            reportLocalFailure(reason);
            return;
        }
        source = partial->recorded();
        sourceFromEarlierRun = true;
        transferred = partial->size();
    }
    startTry();
}

void FtpCLient::put(const QString &localFileName, const QString &remotePath)
{
    abandonCurrentReply();
    beginTransfer(true);
    url->setPath(encodeRemotePath(remotePath), QUrl::DecodedMode);

    // An unreadable file must not go out as an empty body: that would wipe
    // the file on the server.
    QFile source(localFileName);
    const QByteArray data = source.open(QIODevice::ReadOnly) ? source.readAll() : QByteArray();
    if (!source.isOpen() || source.error() != QFileDevice::NoError) {
        reportLocalFailure(QStringLiteral("cannot read %1 for %2: %3")
                               .arg(QDir::toNativeSeparators(localFileName), transferName(),
                                    source.errorString()));
        return;
    }

    ++tries;
    currentReply = networkManager()->put(QNetworkRequest(*url), data);
    connect(currentReply, SIGNAL(uploadProgress(qint64, qint64)), this,
            SLOT(uploadProgress(qint64, qint64)));
    watchReply();
}

void FtpCLient::beginTransfer(bool upload)
{
    uploading = upload;
    failure.clear();
    source = PartialDownload::Source();
    sourceFromEarlierRun = false;
    tries = 0;
    shown = 0;
    transferred = 0;
    moved = 0;
    expected = -1;
}

void FtpCLient::startTry()
{
    ++tries;
    failing = false;
    tryFailure.clear();
    askedOffset = 0;
    resumeChecked = false;
    currentReply = networkManager()->get(QNetworkRequest(*url));
    currentReply->setReadBufferSize(ReadBufferSize);
    connect(currentReply, &QIODevice::readyRead, this, &FtpCLient::storeArrivedData);
    connect(currentReply, &QNetworkReply::metaDataChanged, this, &FtpCLient::learnRemoteFile);
    connect(currentReply, SIGNAL(downloadProgress(qint64, qint64)), this,
            SLOT(downloadProgress(qint64, qint64)));
    watchReply();
}

void FtpCLient::finished(QNetworkReply *reply)
{
    reply->deleteLater();
    // A reply that was given up for a newer transfer must not write into
    // that transfer's file.
    if (reply != currentReply)
        return;
    if (!uploading)
        storeArrivedData();
    currentReply = nullptr;
    stallTimer->stop();
    rateTimer->stop();

    const bool ok = reply->error() == QNetworkReply::NoError && !failing;
    if (uploading) {
        if (ok) {
            emit process(100, 1);
            return;
        }
        failure = tryFailure;
        emit process(-100, 1);
        return;
    }
    if (ok) {
        concludeDownload();
        return;
    }
    endTry(tryFailure, failing ? ownVerdict : verdictOn(reply->error()));
}

void FtpCLient::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    reportProgress(bytesReceived, bytesTotal, 0);
}

void FtpCLient::uploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    if (sender() == currentReply)
        moved = transferred = bytesSent;
    reportProgress(bytesSent, bytesTotal, 1);
}

void FtpCLient::errorCode(QNetworkReply::NetworkError code)
{
    // The client's own reason, when it gave the try up itself, says more
    // than the reply's.
    if (failing)
        return;
    const auto *reply = qobject_cast<const QNetworkReply *>(sender());
    tryFailure = reply
        ? withoutPassword(reply->errorString(), *url).simplified()
        : QStringLiteral("network error %1 in %2").arg(int(code)).arg(transferName());
}

QString FtpCLient::encodeRemotePath(const QString &text)
{
    // The server is to see the path as the local code page's bytes. The
    // FTP reply sends every command as UTF-8, so the path is handed over as the
    // text whose UTF-8 form is exactly those bytes: on a UTF-8 system the
    // text itself.
    const QByteArray bytes = text.toLocal8Bit();
    if (bytes.isNull())
        return QString();
    const int length = int(qstrnlen(bytes.constData(), uint(bytes.size())));
    return QString::fromUtf8(bytes.constData(), length);
}

void FtpCLient::reportProgress(qint64 done, qint64 total, int id)
{
    // A report that comes as the reply finishes adds nothing; the outcome is
    // finished()'s alone.
    const auto *reply = qobject_cast<const QNetworkReply *>(sender());
    if ((reply && reply->isFinished()) || failing)
        return;
    if (stallTimer->isActive())
        stallTimer->start();
    // Unknown (-1) or empty (0) totals give no meaningful share: a failing
    // reply may report (0, 0), and 0 of 0 must never pass for anything. More
    // than the total is no progress either: such a download is being failed.
    if (total <= 0 || done < 0 || done > total)
        return;
    int x = int(double(done) / double(total) * 100.0);
    // 100 belongs to completion, which only finished() reports.
    if (x == 100)
        x = 99;
    // A try that starts again from the first byte shows nothing until it
    // has passed what was shown.
    if (x < shown)
        return;
    shown = x;
    emit process(x, id);
}

void FtpCLient::watchReply()
{
    connect(currentReply, SIGNAL(errorOccurred(QNetworkReply::NetworkError)), this,
            SLOT(errorCode(QNetworkReply::NetworkError)));
    if (bounds.stallMs > 0)
        stallTimer->start(bounds.stallMs);
    rateSamples = { moved };
    if (bounds.rateWindowMs > 0 && bounds.minBytesPerSecond > 0)
        rateTimer->start(qMax(1, bounds.rateWindowMs / RateSamplesPerWindow));
}

void FtpCLient::abandonCurrentReply()
{
    stallTimer->stop();
    rateTimer->stop();
    retryTimer->stop();
    // What arrived stays for the next get() of the file, in this run or a
    // later one.
    if (partial)
        partial->keep();
    delete partial;
    partial = nullptr;
    if (!currentReply)
        return;
    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    reply->disconnect(this);
    if (!reply->isRunning())
        return;
    reply->abort();
}

void FtpCLient::reportLocalFailure(const QString &reason)
{
    failure = reason;
    // Reported from the event loop, like every other outcome of a transfer.
    QMetaObject::invokeMethod(
        this, [this] { emit process(-100, 1); }, Qt::QueuedConnection);
}

void FtpCLient::failTransfer(const QString &reason, Verdict verdict)
{
    if (failing || !currentReply)
        return;
    failing = true;
    tryFailure = reason;
    ownVerdict = verdict;
    stallTimer->stop();
    rateTimer->stop();
    // Not from inside the reply's own signal; its end then reports the
    // failure.
    QMetaObject::invokeMethod(currentReply, &QNetworkReply::abort, Qt::QueuedConnection);
}

void FtpCLient::checkRate()
{
    rateSamples.append(moved);
    if (rateSamples.size() <= RateSamplesPerWindow)
        return;
    const qint64 bytes = rateSamples.last() - rateSamples.takeFirst();
    if (bytes * 1000 >= bounds.minBytesPerSecond * bounds.rateWindowMs)
        return;
    failTransfer(QStringLiteral("%1 was slower than %2 bytes/s: %3 bytes in the last %4 s")
                     .arg(transferName())
                     .arg(bounds.minBytesPerSecond)
                     .arg(bytes)
                     .arg(seconds(bounds.rateWindowMs)),
                 Verdict::Stop);
}

void FtpCLient::learnRemoteFile()
{
    const QVariant announced = currentReply->header(QNetworkRequest::ContentLengthHeader);
    expected = announced.isValid() ? announced.toLongLong() : -1;
    auto *reply = qobject_cast<FtpReply *>(currentReply);
    if (!partial || !reply)
        return;
    const PartialDownload::Source remote { origin(), expected, reply->modificationTime() };
    const qint64 offset = resumePoint(remote);
    sourceFromEarlierRun = false;
    if (offset > 0) {
        askedOffset = offset;
        reply->setResumeOffset(offset);
        return;
    }
    if (!partial->restart(remote)) {
        failTransfer(localFileError(partial->errorString()), Verdict::Discard);
        return;
    }
    source = remote;
    transferred = 0;
}

qint64 FtpCLient::resumePoint(const PartialDownload::Source &remote)
{
    const qint64 held = partial->size();
    if (held == 0)
        return 0;
    const QString partialName = sourceFromEarlierRun
        ? QStringLiteral("the partial download of %1 from %2 that an earlier run left (%3 bytes)")
              .arg(url->path(), server())
              .arg(held)
        : QStringLiteral("%1 (%2 bytes so far)").arg(transferName()).arg(held);
    QString why;
    if (remote.size < 0)
        why = QStringLiteral("the server does not tell the file's size, so it cannot resume");
    else if (source.size < 0)
        why = QStringLiteral("it is not known which file it came from");
    else if (source != remote)
        why = QStringLiteral("the file on the server changed (%1, now %2)")
                  .arg(describe(source), describe(remote));
    else if (held >= remote.size)
        why = QStringLiteral("it is not shorter than the file");
    if (!why.isEmpty()) {
        log(QStringLiteral("%1 starts again from byte 0: %2").arg(partialName, why));
        return 0;
    }
    if (sourceFromEarlierRun)
        log(QStringLiteral("%1 is resumed: the server still reports %2")
                .arg(partialName, describe(remote)));
    return held;
}

void FtpCLient::checkResumed()
{
    auto *reply = qobject_cast<FtpReply *>(currentReply);
    if (resumeChecked || !reply || !partial || askedOffset == 0)
        return;
    if (reply->resumeOffset() == askedOffset && reply->restRefusal().isEmpty())
        return;
    resumeChecked = true;
    log(QStringLiteral("%1 cannot resume at byte %2, the server refused (%3): it starts again "
                       "from byte 0")
            .arg(transferName())
            .arg(askedOffset)
            .arg(reply->restRefusal()));
    askedOffset = 0;
    transferred = 0;
    if (!partial->restart(source))
        failTransfer(localFileError(partial->errorString()), Verdict::Discard);
}

QFileDevice *FtpCLient::sink() const
{
    return partial ? partial->device() : file;
}

void FtpCLient::storeArrivedData()
{
    QNetworkReply *reply = currentReply;
    if (!reply)
        return;
    checkResumed();
    // Once the try is given up nothing more is read: a server that never
    // stops sending would otherwise keep this loop going for ever, as the
    // socket refills as fast as it is read.
    while (!failing && reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(CopyChunkSize);
        if (chunk.isEmpty())
            break;
        // A server that never stops sending must not fill the disk.
        if (expected >= 0 && transferred + chunk.size() > expected) {
            failTransfer(QStringLiteral("the server %1 sent more than the %2 bytes it announced "
                                        "for %3")
                             .arg(server())
                             .arg(expected)
                             .arg(url->path()),
                         Verdict::Discard);
            continue;
        }
        if (sink()->write(chunk) != chunk.size()) {
            failTransfer(localFileError(sink()->errorString()), Verdict::Discard);
            continue;
        }
        transferred += chunk.size();
        moved += chunk.size();
    }
}

void FtpCLient::concludeDownload()
{
    checkResumed();
    if (failing) {
        endTry(tryFailure, ownVerdict);
        return;
    }
    const QString shortfall = checkReceived();
    if (!shortfall.isEmpty()) {
        endTry(shortfall, transferred > 0 ? Verdict::Retry : Verdict::Discard);
        return;
    }
    if (partial && !partial->commit(file->fileName())) {
        endTry(localFileError(partial->errorString()), Verdict::Discard);
        return;
    }
    if (!partial) {
        const bool flushed = file->flush();
        file->close();
        if (!flushed || file->error() != QFileDevice::NoError) {
            endTry(localFileError(file->errorString()), Verdict::Discard);
            return;
        }
    }
    delete partial;
    partial = nullptr;
    emit process(100, 0);
}

QString FtpCLient::checkReceived() const
{
    // A server that closes the data connection early and reports success
    // looks like the end of the file; only the size it told can tell.
    if (expected < 0 && transferred == 0)
        return QStringLiteral("nothing of %1 arrived and the server does not tell the file's "
                              "size: the file was never retrieved")
            .arg(transferName());
    if (expected < 0 || transferred == expected)
        return QString();
    if (transferred == 0)
        return QStringLiteral("none of the %1 bytes the server announced for %2 arrived")
            .arg(expected)
            .arg(transferName());
    return QStringLiteral("%1 ended after %2 of the %3 bytes the server announced")
        .arg(transferName())
        .arg(transferred)
        .arg(expected);
}

FtpCLient::Verdict FtpCLient::verdictOn(QNetworkReply::NetworkError error) const
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
        // A server that is down fails at once; one lost between tries may
        // come back.
        return tries > 1 ? Verdict::Retry : Verdict::Stop;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::UnknownNetworkError:
        return Verdict::Retry;
    case QNetworkReply::ContentNotFoundError:
        return Verdict::Discard; // the server's file is gone
    default:
        return Verdict::Stop;
    }
}

void FtpCLient::endTry(const QString &reason, Verdict verdict)
{
    const bool triesLeft = tries <= bounds.retryPausesMs.size();
    if (verdict == Verdict::Retry && partial && triesLeft) {
        scheduleRetry(reason);
        return;
    }
    endDownload(verdict);
    failure = tries > 1 ? QStringLiteral("%1; %2 tries were made").arg(reason).arg(tries) : reason;
    emit process(-100, 1);
}

void FtpCLient::scheduleRetry(const QString &reason)
{
    const int pause = qMax(0, bounds.retryPausesMs.at(tries - 1));
    const bool resumable = expected >= 0 && transferred > 0 && transferred < expected;
    log(QStringLiteral("%1 was cut off after %2 (%3); try %4 of %5 %6 in %7 s")
            .arg(transferName(), bytesSoFar(), reason)
            .arg(tries + 1)
            .arg(bounds.retryPausesMs.size() + 1)
            .arg(resumable ? QStringLiteral("resumes at byte %1").arg(transferred)
                           : QStringLiteral("starts again from byte 0"))
            .arg(seconds(pause)));
    retryTimer->start(pause);
}

void FtpCLient::endDownload(Verdict verdict)
{
    if (partial && verdict == Verdict::Discard)
        partial->discard();
    else if (partial)
        partial->keep();
    delete partial;
    partial = nullptr;
    // Nothing under the local file's name can be taken for a download: it
    // is left empty, as get() left it.
    file->close();
    const QFileInfo info(file->fileName());
    if (info.isFile())
        QFile::resize(file->fileName(), 0);
    else if (!info.exists() && file->open(QIODevice::WriteOnly))
        file->close(); // a failed commit had removed it already
}

QString FtpCLient::transferName() const
{
    return QStringLiteral("%1 %2 %3 %4")
        .arg(uploading ? QStringLiteral("the upload of") : QStringLiteral("the download of"),
             url->path(), uploading ? QStringLiteral("to") : QStringLiteral("from"), server());
}

QString FtpCLient::server() const
{
    return url->host() + QLatin1Char(':') + QString::number(url->port(DefaultFtpPort));
}

QString FtpCLient::origin() const
{
    return server() + QLatin1Char('/') + url->path();
}

QString FtpCLient::bytesSoFar() const
{
    if (expected < 0)
        return QStringLiteral("%1 bytes (of a size the server does not tell)").arg(transferred);
    return QStringLiteral("%1 of %2 bytes").arg(transferred).arg(expected);
}

QString FtpCLient::localFileError(const QString &reason) const
{
    return QStringLiteral("cannot write %1 for %2: %3")
        .arg(QDir::toNativeSeparators(file->fileName()), transferName(), reason);
}

void FtpCLient::log(const QString &line) const
{
    if (logger)
        logger(line);
}
