#ifndef FTPCLIENT_H
#define FTPCLIENT_H

#include "partialdownload.h"

#include <QNetworkReply>
#include <QObject>
#include <QVector>

#include <functional>

QT_BEGIN_NAMESPACE
class QFile;
class QFileDevice;
class QNetworkAccessManager;
class QTimer;
class QUrl;
QT_END_NAMESPACE

// Moves one whole file between the local disk and an FTP server and reports
// everything through process(x, id):
//   x 0..99, id 0/1  progress of a download/upload in percent, never going
//                    back
//   x 100, id 0      download complete, local file written and closed
//   x 100, id 1      upload complete
//   x -100, id 1     the transfer failed (download or upload); errorString()
//                    tells why
//
// A download cut off by the network is resumed on a new connection where the
// bytes on disk end, a few times, before it fails. What it received stays
// beside the local file (partialFileName()) until the file is whole, so that
// the next get() of the same file, in this run or a later one, resumes it
// while the server reports the same file.
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
        // The pauses before each new try of a download that was cut off;
        // as many tries follow the first as there are pauses.
        QVector<int> retryPausesMs = { 1000, 2000, 4000, 8000, 8000 };
    };

    FtpCLient();
    ~FtpCLient() override;

    void setHostPort(const QString &host, int port);
    void setUserInfo(const QString &userName, const QString &password);
    void get(const QString &remotePath, const QString &localFileName);
    void put(const QString &localFileName, const QString &remotePath);

    // Apply from the next transfer on.
    void setLimits(const Limits &limits);
    // Receives a line for each new try of a download, and for each partial
    // download resumed, discarded or not resumable, and why.
    void setLogger(std::function<void(const QString &)> logger);

    // Why the last transfer failed, in plain words; empty while a transfer
    // runs and after one that succeeded.
    QString errorString() const { return failure; }

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
    // What becomes of a download after a try failed.
    enum class Verdict {
        Retry, // cut off: another try resumes it, while tries are left
        Stop, // no use trying again; what arrived stays for a later run
        Discard, // no use trying again, nor resuming what arrived
    };

    static QString encodeRemotePath(const QString &text);
    QNetworkAccessManager *networkManager();
    void beginTransfer(bool upload);
    void startTry();
    void reportProgress(qint64 done, qint64 total, int id);
    void watchReply();
    void abandonCurrentReply();
    void reportLocalFailure(const QString &reason);
    void failTransfer(const QString &reason, Verdict verdict);
    void checkRate();
    void learnRemoteFile();
    qint64 resumePoint(const PartialDownload::Source &remote);
    void checkResumed();
    QFileDevice *sink() const;
    void storeArrivedData();
    void concludeDownload();
    QString checkReceived() const;
    Verdict verdictOn(QNetworkReply::NetworkError error) const;
    void endTry(const QString &reason, Verdict verdict);
    void scheduleRetry(const QString &reason);
    void endDownload(Verdict verdict);
    QString transferName() const;
    QString server() const;
    QString origin() const;
    QString bytesSoFar() const;
    QString localFileError(const QString &reason) const;
    void log(const QString &line) const;

    QFile *file = nullptr;
    QNetworkReply *currentReply = nullptr;
    QNetworkAccessManager *manager = nullptr;
    QUrl *url = nullptr;
    bool uploading = false;
    Limits bounds;
    std::function<void(const QString &)> logger;
    QTimer *stallTimer;
    QTimer *rateTimer;
    QTimer *retryTimer;
    // Bytes moved at each tick of rateTimer, oldest first.
    QVector<qint64> rateSamples;
    // The download's bytes go here while they arrive; renamed over the local
    // file once whole. Null when the local file is not a regular file.
    PartialDownload *partial = nullptr;
    // What the partial's bytes came from; from an earlier run until the
    // first try has seen the server's file.
    PartialDownload::Source source;
    bool sourceFromEarlierRun = false;
    qint64 askedOffset = 0; // where this try asked the server to resume
    bool resumeChecked = false; // this try's answer to REST was looked at
    int tries = 0;
    int shown = 0; // the highest percentage reported for this transfer
    qint64 transferred = 0; // bytes of the file on disk (of a download) or sent
    qint64 moved = 0; // bytes moved by all tries of this transfer, for the rate bound
    qint64 expected = -1; // the size the server announced, -1 while unknown
    bool failing = false; // the try is being given up; nothing more is written
    Verdict ownVerdict = Verdict::Stop; // what failTransfer() decided
    QString tryFailure; // why the current try failed
    QString failure;
};

#endif // FTPCLIENT_H
