#include "ftpclient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTemporaryFile>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <climits>

#ifndef QT_NO_SSL
#include <QSslConfiguration>
#endif

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Data is moved from the reply to the disk as it arrives, in pieces of this
// size: large enough to keep system calls few, small enough that the kernel
// takes each write without stalling.
constexpr qint64 CopyChunkSize = 256 * 1024;

// Qt's FTP code waits forever when a server vanishes in the middle of a
// transfer or a connection never completes; a transfer that makes no
// progress for this long is given up as failed.
constexpr int StallTimeoutMs = 30000;

// Qt 5.15 renamed the reply's error signal; the old name is deprecated there.
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
#define REPLY_ERROR_SIGNAL SIGNAL(errorOccurred(QNetworkReply::NetworkError))
#else
#define REPLY_ERROR_SIGNAL SIGNAL(error(QNetworkReply::NetworkError))
#endif

// Qt moves a transfer through buffers as large as what the socket holds at
// the moment: some hundred KiB while the client keeps up, several MiB once
// it falls behind and the kernel's receive window has grown. glibc hands
// blocks that large back to the kernel when they are freed and faults every
// new one in afresh, which slows the client further: a download then takes
// about a page fault per 4 KiB and twice its time or more. Blocks up to the
// largest size glibc allows here stay in the heap for reuse instead.
void keepBuffersForReuse()
{
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024 * int(sizeof(long)));
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
}

// Qt sets up its TLS support before it sends any request, FTP included: it
// loads OpenSSL and looks through the certificate store, some milliseconds
// that would otherwise pass between the user's press and the first byte on
// the wire. A worker does it while the window waits for the press; a request
// made before it is done waits for it inside Qt.
void prepareTlsInBackground()
{
#ifndef QT_NO_SSL
    static std::atomic<bool> started { false };
    if (started.exchange(true))
        return;
    QThreadPool::globalInstance()->start([] { QSslConfiguration::defaultConfiguration(); });
#endif
}

} // namespace

FtpCLient::FtpCLient()
    : QObject(nullptr)
    , manager(new QNetworkAccessManager)
    , url(new QUrl)
    , stallTimer(new QTimer(this))
{
    keepBuffersForReuse();
    // Once the event loop runs: the window is up by then, and the worker
    // does not compete with its start.
    QTimer::singleShot(0, this, &prepareTlsInBackground);
    url->setScheme(QStringLiteral("ftp"));
    stallTimer->setSingleShot(true);
    stallTimer->setInterval(StallTimeoutMs);
    connect(stallTimer, &QTimer::timeout, this, [this] {
        if (currentReply)
            currentReply->abort();
    });
    connect(manager, SIGNAL(finished(QNetworkReply *)), this, SLOT(finished(QNetworkReply *)));
}

FtpCLient::~FtpCLient()
{
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

void FtpCLient::get(const QString &remotePath, const QString &localFileName)
{
    abandonCurrentReply();
    uploading = false;

    const QDir imageDir(QStringLiteral("./image"));
    if (!imageDir.exists())
        imageDir.mkdir(QDir::currentPath() + QStringLiteral("/image"));
    QFileInfo info;
    info.setFile(imageDir, localFileName);

    delete file;
    file = new QFile(info.filePath());
    // Emptied now; it receives the archive only once the whole transfer has
    // succeeded.
    if (!file->open(QIODevice::WriteOnly) || !openStaging()) {
        file->close();
        reportLocalFailure();
        return;
    }
    received = 0;
    writeFailed = false;

    url->setPath(encodeRemotePath(remotePath), QUrl::DecodedMode);
    currentReply = manager->get(QNetworkRequest(*url));
    connect(currentReply, &QIODevice::readyRead, this, &FtpCLient::storeArrivedData);
    connect(currentReply, SIGNAL(downloadProgress(qint64, qint64)), this,
            SLOT(downloadProgress(qint64, qint64)));
    connect(currentReply, REPLY_ERROR_SIGNAL, this, SLOT(errorCode(QNetworkReply::NetworkError)));
    stallTimer->start();
}

void FtpCLient::put(const QString &localFileName, const QString &remotePath)
{
    abandonCurrentReply();
    uploading = true;

    // An unreadable file must not go out as an empty body: that would wipe
    // the file on the server.
    QFile source(localFileName);
    if (!source.open(QIODevice::ReadOnly)) {
        reportLocalFailure();
        return;
    }
    const QByteArray data = source.readAll();
    if (source.error() != QFileDevice::NoError) {
        reportLocalFailure();
        return;
    }

    url->setPath(encodeRemotePath(remotePath), QUrl::DecodedMode);
    currentReply = manager->put(QNetworkRequest(*url), data);
    connect(currentReply, SIGNAL(uploadProgress(qint64, qint64)), this,
            SLOT(uploadProgress(qint64, qint64)));
    connect(currentReply, REPLY_ERROR_SIGNAL, this, SLOT(errorCode(QNetworkReply::NetworkError)));
    stallTimer->start();
}

void FtpCLient::finished(QNetworkReply *reply)
{
    reply->deleteLater();
    // A reply that was given up for a newer transfer must not write into
    // that transfer's file.
    if (reply != currentReply)
        return;
    currentReply = nullptr;
    stallTimer->stop();

    if (reply->error() != QNetworkReply::NoError) {
        if (!uploading)
            discardDownload();
        return;
    }
    if (uploading) {
        emit process(100, 1);
        return;
    }
    if (!saveBody(reply)) {
        emit process(-100, 1);
        return;
    }
    emit process(100, 0);
}

void FtpCLient::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    reportProgress(bytesReceived, bytesTotal, 0);
}

void FtpCLient::uploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    reportProgress(bytesSent, bytesTotal, 1);
}

void FtpCLient::errorCode(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code);
    emit process(-100, 1);
}

QString FtpCLient::encodeRemotePath(const QString &text)
{
    // The server is to see the path as the local code page's bytes. Qt's FTP
    // code sends every command as UTF-8, so the path is handed over as the
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
    // Qt repeats a last report as the reply finishes, with the byte count as
    // the total when the size was unknown; the outcome is finished()'s alone.
    const auto *reply = qobject_cast<const QNetworkReply *>(sender());
    if (reply && reply->isFinished())
        return;
    stallTimer->start();
    // Unknown (-1) or empty (0) totals give no meaningful share: Qt reports
    // (0, 0) on failures too, and 0 of 0 must never pass for anything.
    if (total <= 0)
        return;
    const double percent = double(done) / double(total) * 100.0;
    if (!(percent > double(INT_MIN) - 1.0 && percent < double(INT_MAX) + 1.0))
        return;
    int x = int(percent);
    // 100 belongs to completion, which only finished() reports.
    if (x == 100)
        x = 99;
    emit process(x, id);
}

void FtpCLient::abandonCurrentReply()
{
    if (!currentReply)
        return;
    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    stallTimer->stop();
    reply->disconnect(this);
    if (!uploading)
        discardDownload();
    if (!reply->isRunning())
        return;
    reply->abort();
    // The aborted reply's FTP session is still winding down; the next
    // transfer must not be queued behind it.
    manager->clearConnectionCache();
}

void FtpCLient::reportLocalFailure()
{
    // Reported from the event loop, like every other outcome of a transfer.
    QMetaObject::invokeMethod(
        this, [this] { emit process(-100, 1); }, Qt::QueuedConnection);
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
        if (chunk.isEmpty() || writeFailed)
            continue;
        if (sink()->write(chunk) != chunk.size()) {
            // A full disk: the transfer is given up and its error reports it.
            writeFailed = true;
            QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
            continue;
        }
        received += chunk.size();
    }
}

bool FtpCLient::saveBody(QNetworkReply *reply)
{
    storeArrivedData();
    // A server that vanishes mid-transfer looks to Qt like the end of the
    // file; the size the server announced tells the two apart.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    bool ok = !writeFailed && (!announced.isValid() || announced.toLongLong() == received);
    if (staging) {
        ok = ok && commitStaging();
    } else {
        ok = file->flush() && ok;
        file->close();
        ok = ok && file->error() == QFileDevice::NoError;
    }
    if (!ok)
        discardDownload();
    delete staging;
    staging = nullptr;
    return ok;
}

bool FtpCLient::commitStaging()
{
    // Not QSaveFile: its commit forces the whole archive out to the disk,
    // which costs a tenth of a second per 200 MB and buys nothing here. The
    // archive is unpacked at once, and a copy lost to a power cut is simply
    // downloaded again.
    if (!staging->flush() || staging->error() != QFileDevice::NoError)
        return false;
    const QString target = file->fileName();
    // The rename never replaces an existing file.
    if (QFileInfo::exists(target) && !QFile::remove(target))
        return false;
    if (!staging->rename(target))
        return false;
    staging->setAutoRemove(false);
    return true;
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
