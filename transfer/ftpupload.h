#ifndef FTPUPLOAD_H
#define FTPUPLOAD_H

#include "transferlimits.h"
#include "transferwatchdog.h"

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

QT_BEGIN_NAMESPACE
class QNetworkAccessManager;
QT_END_NAMESPACE

// One whole local file to an FTP server, in one try. It is complete only
// once the server confirmed the store after every byte went out (FtpReply).
class FtpUpload : public QObject
{
    Q_OBJECT

public:
    explicit FtpUpload(QNetworkAccessManager *network, QObject *parent = nullptr);
    ~FtpUpload() override;

    void setLimits(const TransferLimits &limits) { watchdog.setLimits(limits); }
    void start(const QString &localFileName, const QUrl &destination);
    void abandon();

    QString errorString() const { return failure; }
    QNetworkReply::NetworkError error() const { return failureCode; }

signals:
    void progress(qint64 sent, qint64 total);
    void finished();
    void failed(const QString &reason);

private:
    void replyFinished();
    void giveUp(const QString &reason);
    QString transferName() const;

    QNetworkAccessManager *network;
    TransferWatchdog watchdog;
    QUrl url;
    QPointer<QNetworkReply> reply;
    bool givenUp = false;
    QString failure;
    QNetworkReply::NetworkError failureCode = QNetworkReply::NoError;
};

#endif // FTPUPLOAD_H
