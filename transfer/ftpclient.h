#ifndef FTPCLIENT_H
#define FTPCLIENT_H

#include "ftpdownload.h"
#include "ftpsecurity.h"
#include "ftpupload.h"
#include "transferlimits.h"

#include <QNetworkReply>
#include <QObject>
#include <QUrl>

#include <functional>

class FtpAccessManager;

// Moves one whole file between the local disk and an FTP server (FtpDownload,
// FtpUpload) and reports everything through process(x, id):
//   x 0..99, id 0/1  progress of a download/upload in percent, never going
//                    back
//   x 100, id 0      download complete, local file written and closed
//   x 100, id 1      upload complete
//   x -100, id 1     the transfer failed (download or upload); errorString()
//                    tells why
class FtpCLient : public QObject
{
    Q_OBJECT

public:
    FtpCLient();
    ~FtpCLient() override;

    void setHostPort(const QString &host, int port);
    void setUserInfo(const QString &userName, const QString &password);
    // A relative localFileName lands in the folder "image" under the
    // working directory, which is made if it is missing.
    void get(const QString &remotePath, const QString &localFileName);
    void put(const QString &localFileName, const QString &remotePath);

    // Apply from the next transfer on.
    void setLimits(const TransferLimits &limits);
    void setSecurity(const FtpSecurity &security);
    // Receives a line for each new try of a download, and for each partial
    // download resumed, discarded or not resumable, and why.
    void setLogger(std::function<void(const QString &)> logger);

    // Why the last transfer failed, in plain words; empty while a transfer
    // runs and after one that succeeded.
    QString errorString() const;

    // Where a download of localFileName keeps what it received until it is
    // whole, and what identifies the remote file those bytes came from.
    static QString partialFileName(const QString &localFileName);
    static QString partialInfoFileName(const QString &localFileName);

signals:
    void process(int x, int id);

protected slots:
    void finished(QNetworkReply *reply);
    void downloadProgress(qint64, qint64);
    void uploadProgress(qint64 bytesSent, qint64 bytesTotal);
    void errorCode(QNetworkReply::NetworkError code);

private:
    static QString encodeRemotePath(const QString &text);
    void report(qint64 done, qint64 total, int id);

    FtpAccessManager *manager;
    QUrl url;
    bool uploading = false;
    int shown = 0; // the highest percentage reported for this transfer
    FtpDownload download;
    FtpUpload upload;
    std::function<void(const QString &)> logger;
};

#endif // FTPCLIENT_H
