#ifndef FTPCLIENT_H
#define FTPCLIENT_H

#include <QNetworkReply>
#include <QObject>

QT_BEGIN_NAMESPACE
class QFile;
class QFileDevice;
class QNetworkAccessManager;
class QTemporaryFile;
class QTimer;
class QUrl;
QT_END_NAMESPACE

// Moves one whole file between the local disk and an FTP server and reports
// everything through process(x, id):
//   x 0..99, id 0/1  progress of a download/upload in percent
//   x 100, id 0      download complete, local file written and closed
//   x 100, id 1      upload complete
//   x -100, id 1     the transfer failed (download or upload)
class FtpCLient : public QObject
{
    Q_OBJECT

public:
    FtpCLient();
    ~FtpCLient() override;

    void setHostPort(const QString &host, int port);
    void setUserInfo(const QString &userName, const QString &password);
    void get(const QString &remotePath, const QString &localFileName);
    void put(const QString &localFileName, const QString &remotePath);

signals:
    void process(int x, int id);

protected slots:
    void finished(QNetworkReply *reply);
    void downloadProgress(qint64, qint64);
    void uploadProgress(qint64 bytesSent, qint64 bytesTotal);
    void errorCode(QNetworkReply::NetworkError code);

private:
    static QString encodeRemotePath(const QString &text);
    void reportProgress(qint64 done, qint64 total, int id);
    void abandonCurrentReply();
    void reportLocalFailure();
    bool openStaging();
    QFileDevice *sink() const;
    void storeArrivedData();
    bool saveBody(QNetworkReply *reply);
    bool commitStaging();
    void discardDownload();

    QFile *file = nullptr;
    QNetworkReply *currentReply = nullptr;
    QNetworkAccessManager *manager = nullptr;
    QUrl *url = nullptr;
    bool uploading = false;
    QTimer *stallTimer;
    // The download's bytes go here while they arrive; renamed over the local
    // file on success. Null when the local file is not a regular file.
    QTemporaryFile *staging = nullptr;
    qint64 received = 0;
    bool writeFailed = false;
};

#endif // FTPCLIENT_H
