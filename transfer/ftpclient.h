#ifndef FTPCLIENT_H
#define FTPCLIENT_H

#include <QNetworkReply>
#include <QObject>
#include <QVector>

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
//   x -100, id 1     the transfer failed (download or upload); errorString()
//                    tells why
class FtpCLient : public QObject
{
    Q_OBJECT

public:
    // Bounds that end a transfer which cannot finish in a reasonable time.
    struct Limits
    {
        // A transfer that moves no data for this long fails.
        int stallMs = 30000;
        // A transfer fails when, over the last rateWindowMs, it moved less
        // than minBytesPerSecond on average; 0 in either turns this off.
        int rateWindowMs = 60000;
        qint64 minBytesPerSecond = 2048;
    };

    FtpCLient();
    ~FtpCLient() override;

    void setHostPort(const QString &host, int port);
    void setUserInfo(const QString &userName, const QString &password);
    void get(const QString &remotePath, const QString &localFileName);
    void put(const QString &localFileName, const QString &remotePath);

    // Apply from the next transfer on.
    void setLimits(const Limits &limits);
    Limits limits() const { return bounds; }

    // Why the last transfer failed, in plain words; empty while a transfer
    // runs and after one that succeeded.
    QString errorString() const { return failure; }

signals:
    void process(int x, int id);

protected slots:
    void finished(QNetworkReply *reply);
    void downloadProgress(qint64, qint64);
    void uploadProgress(qint64 bytesSent, qint64 bytesTotal);
    void errorCode(QNetworkReply::NetworkError code);

private:
    static QString encodeRemotePath(const QString &text);
    QNetworkAccessManager *networkManager();
    void reportProgress(qint64 done, qint64 total, int id);
    void watchReply();
    void abandonCurrentReply();
    void reportLocalFailure(const QString &reason);
    void failTransfer(const QString &reason);
    void checkRate();
    void learnSize();
    bool openStaging();
    QFileDevice *sink() const;
    void storeArrivedData();
    void concludeDownload();
    QString checkReceived() const;
    QString commitStaging();
    void discardDownload();
    QString localFileError(const QFileDevice *device) const;

    QFile *file = nullptr;
    QNetworkReply *currentReply = nullptr;
    QNetworkAccessManager *manager = nullptr;
    QUrl *url = nullptr;
    bool uploading = false;
    Limits bounds;
    QTimer *stallTimer;
    QTimer *rateTimer;
    // Bytes moved at each tick of rateTimer, oldest first.
    QVector<qint64> rateSamples;
    // The download's bytes go here while they arrive; renamed over the local
    // file on success. Null when the local file is not a regular file.
    QTemporaryFile *staging = nullptr;
    qint64 transferred = 0;
    qint64 expected = -1; // the size the server announced, -1 while unknown
    bool failing = false; // the transfer is being given up; nothing more is written
    QString failure;
};

#endif // FTPCLIENT_H
