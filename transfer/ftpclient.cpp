#include "ftpclient.h"

#include "ftpaccessmanager.h"
#include "transferprogress.h"

#include <QDir>
#include <QFileInfo>

FtpCLient::FtpCLient()
    : QObject(nullptr)
    , manager(new FtpAccessManager(this))
    , download(manager)
    , upload(manager)
{
    url.setScheme(QStringLiteral("ftp"));
    connect(manager, SIGNAL(finished(QNetworkReply *)), this, SLOT(finished(QNetworkReply *)));
    connect(&download, &FtpDownload::progress, this, &FtpCLient::downloadProgress);
    connect(&download, &FtpDownload::finished, this, [this] { emit process(100, 0); });
    connect(&download, &FtpDownload::failed, this, [this] { errorCode(download.error()); });
    connect(&download, &FtpDownload::note, this, [this](const QString &line) {
        if (logger)
            logger(line);
    });
    connect(&upload, &FtpUpload::progress, this, &FtpCLient::uploadProgress);
    connect(&upload, &FtpUpload::finished, this, [this] { emit process(100, 1); });
    connect(&upload, &FtpUpload::failed, this, [this] { errorCode(upload.error()); });
}

FtpCLient::~FtpCLient()
{
    // The transfers give their replies up while the manager still exists.
    download.abandon();
    upload.abandon();
    manager->disconnect(this);
}

void FtpCLient::setHostPort(const QString &host, int port)
{
    url.setHost(host, QUrl::DecodedMode);
    url.setPort(port);
}

void FtpCLient::setUserInfo(const QString &userName, const QString &password)
{
    url.setUserName(userName, QUrl::DecodedMode);
    url.setPassword(password, QUrl::DecodedMode);
}

void FtpCLient::setLimits(const TransferLimits &limits)
{
    download.setLimits(limits);
    upload.setLimits(limits);
}

void FtpCLient::setSecurity(const FtpSecurity &security)
{
    manager->setSecurity(security);
}

void FtpCLient::setLogger(std::function<void(const QString &)> lineLogger)
{
    logger = std::move(lineLogger);
}

QString FtpCLient::errorString() const
{
    return uploading ? upload.errorString() : download.errorString();
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
    upload.abandon();
    uploading = false;
    shown = 0;
    url.setPath(encodeRemotePath(remotePath), QUrl::DecodedMode);

    const QDir imageDir(QStringLiteral("./image"));
    if (!imageDir.exists())
        imageDir.mkdir(QDir::currentPath() + QStringLiteral("/image"));
    QFileInfo info;
    info.setFile(imageDir, localFileName);
    download.start(url, info.filePath());
}

void FtpCLient::put(const QString &localFileName, const QString &remotePath)
{
    download.abandon();
    uploading = true;
    shown = 0;
    url.setPath(encodeRemotePath(remotePath), QUrl::DecodedMode);
    upload.start(localFileName, url);
}

// The outcome of a reply reaches this client through its transfer; the
// manager's report only releases the reply.
void FtpCLient::finished(QNetworkReply *reply)
{
    reply->deleteLater();
}

void FtpCLient::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    report(bytesReceived, bytesTotal, 0);
}

void FtpCLient::uploadProgress(qint64 bytesSent, qint64 bytesTotal)
{
    report(bytesSent, bytesTotal, 1);
}

void FtpCLient::errorCode(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code); // errorString() says more than the code
    emit process(-100, 1);
}

QString FtpCLient::encodeRemotePath(const QString &text)
{
    // The server is to see the path as the local code page's bytes. The
    // FTP reply sends every command as UTF-8, so the path is handed over as
    // the text whose UTF-8 form is exactly those bytes: on a UTF-8 system
    // the text itself.
    const QByteArray bytes = text.toLocal8Bit();
    if (bytes.isNull())
        return QString();
    const int length = int(qstrnlen(bytes.constData(), uint(bytes.size())));
    return QString::fromUtf8(bytes.constData(), length);
}

void FtpCLient::report(qint64 done, qint64 total, int id)
{
    const int x = transferPercent(done, total);
    // A try that starts again from the first byte shows nothing until it
    // has passed what was shown.
    if (x < 0 || x < shown)
        return;
    shown = x;
    emit process(x, id);
}
