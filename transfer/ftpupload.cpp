#include "ftpupload.h"

#include "ftpprotocol.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

FtpUpload::FtpUpload(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent)
    , network(network)
{
    connect(&watchdog, &TransferWatchdog::stalled, this, &FtpUpload::giveUp);
    connect(&watchdog, &TransferWatchdog::tooSlow, this, &FtpUpload::giveUp);
}

FtpUpload::~FtpUpload()
{
    abandon();
}

void FtpUpload::start(const QString &localFileName, const QUrl &destination)
{
    abandon();
    url = destination;
    failure.clear();
    failureCode = QNetworkReply::NoError;
    givenUp = false;

    // An unreadable file must not go out as an empty body: that would wipe
    // the file on the server.
    QFile source(localFileName);
    const QByteArray data = source.open(QIODevice::ReadOnly) ? source.readAll() : QByteArray();
    if (!source.isOpen() || source.error() != QFileDevice::NoError) {
        failure =
            QStringLiteral("cannot read %1 for %2: %3")
                .arg(QDir::toNativeSeparators(localFileName), transferName(), source.errorString());
        failureCode = QNetworkReply::UnknownContentError;
        QMetaObject::invokeMethod(
            this, [this] { emit failed(failure); }, Qt::QueuedConnection);
        return;
    }
    reply = network->put(QNetworkRequest(url), data);
    connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64 total) {
        watchdog.moved(sent);
        if (!givenUp)
            emit progress(sent, total);
    });
    connect(reply, &QNetworkReply::finished, this, &FtpUpload::replyFinished);
    watchdog.start(transferName(), 0);
}

void FtpUpload::abandon()
{
    watchdog.stop();
    QNetworkReply *running = reply;
    reply = nullptr;
    if (!running)
        return;
    running->disconnect(this);
    if (running->isRunning())
        running->abort();
    running->deleteLater();
}

void FtpUpload::replyFinished()
{
    QNetworkReply *ended = reply;
    if (!ended || sender() != ended)
        return;
    watchdog.stop();
    reply = nullptr;
    ended->disconnect(this);
    ended->deleteLater();
    if (!givenUp && ended->error() == QNetworkReply::NoError) {
        emit finished();
        return;
    }
    if (!givenUp) {
        failure = Ftp::withoutPassword(ended->errorString(), url).simplified();
        failureCode = ended->error();
    }
    emit failed(failure);
}

void FtpUpload::giveUp(const QString &reason)
{
    if (givenUp || !reply)
        return;
    givenUp = true;
    failure = reason;
    failureCode = QNetworkReply::TimeoutError;
    QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

QString FtpUpload::transferName() const
{
    return QStringLiteral("the upload of %1 to %2").arg(url.path(), Ftp::serverName(url));
}
