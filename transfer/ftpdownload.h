#ifndef FTPDOWNLOAD_H
#define FTPDOWNLOAD_H

#include "partialdownload.h"
#include "retrypolicy.h"
#include "transferlimits.h"
#include "transferwatchdog.h"

#include <QFile>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <memory>

QT_BEGIN_NAMESPACE
class QNetworkAccessManager;
QT_END_NAMESPACE

// One whole file from an FTP server into a local file. The local file is
// emptied at the start and receives the file only once it is whole; until
// then the bytes wait beside it (PartialDownload). A try cut off by the
// network is resumed on a new connection where the bytes on disk end, a few
// times; a later download of the same file, in this run or a later one,
// resumes them while the server reports the same file.
class FtpDownload : public QObject
{
    Q_OBJECT

public:
    explicit FtpDownload(QNetworkAccessManager *network, QObject *parent = nullptr);
    ~FtpDownload() override;

    // Apply from the next start() on.
    void setLimits(const TransferLimits &limits);

    void start(const QUrl &source, const QString &localFileName);
    // Gives the download up without a report; what arrived stays for the
    // next start() of the same file.
    void abandon();
    bool isRunning() const;

    // Why the last download failed, in plain words; empty while one runs and
    // after one that succeeded.
    QString errorString() const { return failure; }
    QNetworkReply::NetworkError error() const { return failureCode; }

signals:
    // Bytes of the file on disk and the size the server announced (-1 while
    // unknown); received never goes back.
    void progress(qint64 received, qint64 total);
    void finished();
    void failed(const QString &reason);
    // A line for the log: each new try, each partial download resumed,
    // discarded or not resumable, and why.
    void note(const QString &line);

private:
    // What belongs to one try alone; made anew for each.
    struct Try
    {
        QPointer<QNetworkReply> reply;
        qint64 askedOffset = 0; // where it asked the server to resume
        bool resumeChecked = false; // the server's answer to REST was looked at
        bool failing = false; // given up; nothing more is written
        RetryPolicy::Cause ownCause = RetryPolicy::Cause::Canceled;
        QString failure;
    };

    void failSoon(const QString &reason, QNetworkReply::NetworkError code);
    void startTry();
    void replyFinished();
    void replyError();
    void learnRemoteFile();
    void checkResumed();
    QFileDevice *sink();
    void store();
    void conclude();
    QString shortfall() const;
    void failTry(const QString &reason, RetryPolicy::Cause cause);
    void endTry(const QString &reason, RetryPolicy::Cause cause);
    void endDownload(RetryPolicy::Action action);
    QString transferName() const;
    QString origin() const;
    QString bytesSoFar() const;
    QString localFileError(const QString &reason) const;

    QNetworkAccessManager *network;
    TransferLimits limits;
    TransferWatchdog watchdog;
    QTimer retryTimer;
    QUrl url;
    QFile target;
    QByteArray chunk; // what store() moves from the reply to the disk
    // Null when the local file is not a regular file: a device is written
    // to directly, and cannot be resumed.
    std::unique_ptr<PartialDownload> partial;
    // What the partial's bytes came from; from an earlier run until the
    // first try has seen the server's file.
    PartialDownload::Source source;
    bool sourceFromEarlierRun = false;
    Try attempt;
    int triesMade = 0;
    qint64 received = 0; // bytes of the file on disk
    qint64 reported = 0; // the most reported through progress()
    qint64 moved = 0; // bytes moved by all tries, for the rate bound
    qint64 expected = -1; // the size the server announced, -1 while unknown
    QString failure;
    QNetworkReply::NetworkError failureCode = QNetworkReply::NoError;
};

#endif // FTPDOWNLOAD_H
