#include "ftpclient.h"

#include "ftpaccessmanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QTemporaryFile>
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

// Qt 5.15 renamed the reply's error signal; the old name is deprecated there.
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
#define REPLY_ERROR_SIGNAL SIGNAL(errorOccurred(QNetworkReply::NetworkError))
#else
#define REPLY_ERROR_SIGNAL SIGNAL(error(QNetworkReply::NetworkError))
#endif

QString seconds(int ms)
{
    return QString::number(ms / 1000.0);
}

// A reply's text may name the URL, password included; the log it ends up
// in must not hold it.
QString withoutPassword(QString text, const QUrl &url)
{
    if (url.password().isEmpty())
        return text;
    for (const auto format : { QUrl::PrettyDecoded, QUrl::FullyEncoded, QUrl::FullyDecoded })
        text.replace(QLatin1Char(':') + url.password(format) + QLatin1Char('@'),
                     QStringLiteral(":***@"));
    return text;
}

} // namespace

FtpCLient::FtpCLient()
    : QObject(nullptr)
    , url(new QUrl)
    , stallTimer(new QTimer(this))
    , rateTimer(new QTimer(this))
{
    url->setScheme(QStringLiteral("ftp"));
    // A server that stops sending but keeps its connections open, or a
    // connection that never completes, would be waited for forever.
    stallTimer->setSingleShot(true);
    connect(stallTimer, &QTimer::timeout, this, [this] {
        failTransfer(QStringLiteral("no data moved for %1 s").arg(seconds(bounds.stallMs)));
    });
    // A server that sends a byte now and then never trips the stall bound.
    connect(rateTimer, &QTimer::timeout, this, &FtpCLient::checkRate);
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
    delete staging;
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

void FtpCLient::get(const QString &remotePath, const QString &localFileName)
{
    abandonCurrentReply();
    uploading = false;
    failing = false;
    failure.clear();
    transferred = 0;
    expected = -1;

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
        reportLocalFailure(localFileError(file));
        return;
    }
    if (!openStaging()) {
        const QString reason = localFileError(staging);
        discardDownload();
        reportLocalFailure(reason);
        return;
    }

    url->setPath(encodeRemotePath(remotePath), QUrl::DecodedMode);
    currentReply = networkManager()->get(QNetworkRequest(*url));
    currentReply->setReadBufferSize(ReadBufferSize);
    connect(currentReply, &QIODevice::readyRead, this, &FtpCLient::storeArrivedData);
    connect(currentReply, &QNetworkReply::metaDataChanged, this, &FtpCLient::learnSize);
    connect(currentReply, SIGNAL(downloadProgress(qint64, qint64)), this,
            SLOT(downloadProgress(qint64, qint64)));
    watchReply();
}

void FtpCLient::put(const QString &localFileName, const QString &remotePath)
{
    abandonCurrentReply();
    uploading = true;
    failing = false;
    failure.clear();
    transferred = 0;

    // An unreadable file must not go out as an empty body: that would wipe
    // the file on the server.
    QFile source(localFileName);
    const QByteArray data = source.open(QIODevice::ReadOnly) ? source.readAll() : QByteArray();
    if (!source.isOpen() || source.error() != QFileDevice::NoError) {
        reportLocalFailure(QStringLiteral("cannot read %1: %2")
                               .arg(QDir::toNativeSeparators(localFileName), source.errorString()));
        return;
    }

    url->setPath(encodeRemotePath(remotePath), QUrl::DecodedMode);
    currentReply = networkManager()->put(QNetworkRequest(*url), data);
    connect(currentReply, SIGNAL(uploadProgress(qint64, qint64)), this,
            SLOT(uploadProgress(qint64, qint64)));
    watchReply();
}

void FtpCLient::finished(QNetworkReply *reply)
{
    reply->deleteLater();
    // A reply that was given up for a newer transfer must not write into
    // that transfer's file.
    if (reply != currentReply)
        return;
    const bool ok = reply->error() == QNetworkReply::NoError;
    if (ok && !uploading)
        storeArrivedData();
    currentReply = nullptr;
    stallTimer->stop();
    rateTimer->stop();

    if (!ok) {
        // errorCode() has reported it.
        if (!uploading)
            discardDownload();
        return;
    }
    if (uploading) {
        emit process(failing ? -100 : 100, 1);
        return;
    }
    concludeDownload();
}

void FtpCLient::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    reportProgress(bytesReceived, bytesTotal, 0);
}

void FtpCLient::uploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    if (sender() == currentReply)
        transferred = bytesSent;
    reportProgress(bytesSent, bytesTotal, 1);
}

void FtpCLient::errorCode(QNetworkReply::NetworkError code)
{
    // The client's own reason, when it gave the transfer up itself, says
    // more than the reply's "Operation canceled".
    if (failure.isEmpty()) {
        const auto *reply = qobject_cast<const QNetworkReply *>(sender());
        failure = reply ? withoutPassword(reply->errorString(), *url).simplified()
                        : QStringLiteral("network error %1").arg(int(code));
    }
    emit process(-100, 1);
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
    emit process(x, id);
}

void FtpCLient::watchReply()
{
    connect(currentReply, REPLY_ERROR_SIGNAL, this, SLOT(errorCode(QNetworkReply::NetworkError)));
    if (bounds.stallMs > 0)
        stallTimer->start(bounds.stallMs);
    rateSamples = { 0 };
    if (bounds.rateWindowMs > 0 && bounds.minBytesPerSecond > 0)
        rateTimer->start(qMax(1, bounds.rateWindowMs / RateSamplesPerWindow));
}

void FtpCLient::abandonCurrentReply()
{
    stallTimer->stop();
    rateTimer->stop();
    if (currentReply && !uploading)
        discardDownload();
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

void FtpCLient::failTransfer(const QString &reason)
{
    if (failing || !currentReply)
        return;
    failing = true;
    failure = reason;
    stallTimer->stop();
    rateTimer->stop();
    // Not from inside the reply's own signal; its error then reports the
    // failure.
    QMetaObject::invokeMethod(currentReply, &QNetworkReply::abort, Qt::QueuedConnection);
}

void FtpCLient::checkRate()
{
    rateSamples.append(transferred);
    if (rateSamples.size() <= RateSamplesPerWindow)
        return;
    const qint64 moved = rateSamples.last() - rateSamples.takeFirst();
    if (moved * 1000 >= bounds.minBytesPerSecond * bounds.rateWindowMs)
        return;
    failTransfer(QStringLiteral("slower than %1 bytes/s: %2 bytes in the last %3 s")
                     .arg(bounds.minBytesPerSecond)
                     .arg(moved)
                     .arg(seconds(bounds.rateWindowMs)));
}

void FtpCLient::learnSize()
{
    const QVariant announced = currentReply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid())
        expected = announced.toLongLong();
}

bool FtpCLient::openStaging()
{
    // Only a regular file can be replaced by a finished temporary one; a
    // device is written to directly.
    if (!QFileInfo(file->fileName()).isFile())
        return true;
    file->close();
    staging = new QTemporaryFile(file->fileName() + QStringLiteral(".XXXXXX"));
    return staging->open();
}

QFileDevice *FtpCLient::sink() const
{
    return staging ? static_cast<QFileDevice *>(staging) : file;
}

void FtpCLient::storeArrivedData()
{
    QNetworkReply *reply = currentReply;
    if (!reply)
        return;
    while (reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(CopyChunkSize);
        if (chunk.isEmpty() || failing)
            continue;
        // A server that never stops sending must not fill the disk.
        if (expected >= 0 && transferred + chunk.size() > expected) {
            failTransfer(QStringLiteral("the server sent more than the %1 bytes it announced")
                             .arg(expected));
            continue;
        }
        if (sink()->write(chunk) != chunk.size()) {
            failTransfer(localFileError(sink()));
            continue;
        }
        transferred += chunk.size();
    }
}

void FtpCLient::concludeDownload()
{
    QString reason = failing ? failure : checkReceived();
    if (reason.isEmpty() && staging) {
        reason = commitStaging();
    } else if (reason.isEmpty()) {
        const bool flushed = file->flush();
        file->close();
        if (!flushed || file->error() != QFileDevice::NoError)
            reason = localFileError(file);
    }
    if (!reason.isEmpty()) {
        failure = reason;
        discardDownload();
        emit process(-100, 1);
        return;
    }
    delete staging;
    staging = nullptr;
    emit process(100, 0);
}

QString FtpCLient::checkReceived() const
{
    // A server that closes the data connection early and reports success
    // looks like the end of the file; only the size it told can tell.
    if (expected < 0 && transferred == 0)
        return QStringLiteral("nothing arrived and the server does not tell the file's size: "
                              "the file was never retrieved");
    if (expected < 0 || transferred == expected)
        return QString();
    if (transferred == 0)
        return QStringLiteral("none of the %1 bytes the server announced arrived: "
                              "the file was never retrieved")
            .arg(expected);
    return QStringLiteral("the transfer ended after %1 of the %2 bytes the server announced")
        .arg(transferred)
        .arg(expected);
}

QString FtpCLient::commitStaging()
{
    // Not QSaveFile: its commit forces the archive out to the disk, which
    // buys nothing here; a copy lost to a power cut is downloaded again.
    if (!staging->flush() || staging->error() != QFileDevice::NoError)
        return localFileError(staging);
    const QString target = file->fileName();
    // The rename never replaces an existing file.
    if (QFileInfo::exists(target) && !QFile::remove(target))
        return localFileError(file);
    if (!staging->rename(target))
        return localFileError(staging);
    staging->setAutoRemove(false);
    return QString();
}

void FtpCLient::discardDownload()
{
    // A half-written archive must never look like a download: the staged
    // copy is dropped and the file is left empty, as get() left it.
    delete staging;
    staging = nullptr;
    if (!file)
        return;
    file->close();
    const QFileInfo info(file->fileName());
    if (info.isFile())
        QFile::resize(file->fileName(), 0);
    else if (!info.exists() && file->open(QIODevice::WriteOnly))
        file->close(); // a failed commit had removed it already
}

QString FtpCLient::localFileError(const QFileDevice *device) const
{
    return QStringLiteral("cannot write %1: %2")
        .arg(QDir::toNativeSeparators(file->fileName()), device->errorString());
}
