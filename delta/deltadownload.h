#ifndef DELTADOWNLOAD_H
#define DELTADOWNLOAD_H

#include "deltaassembly.h"
#include "deltaplan.h"
#include "retrypolicy.h"
#include "transferlimits.h"
#include "transferwatchdog.h"
#include "zipdirectory.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

QT_BEGIN_NAMESPACE
class QNetworkAccessManager;
QT_END_NAMESPACE
class FtpRetrieval;

// The archive on an FTP server put together from the archive installed
// beside it and ranges of the server's: it reads the server archive's end
// with REST, plans (DeltaPlan), fetches what changed on one login, a data
// connection per range, and assembles the new archive in its own order in a
// file beside the installed one, which is replaced only once the new one is
// whole and the server's end, read again after the last range, is the one
// it was planned from. A range cut by the network is
// resumed on a new login, with the same tries and pauses as a download.
// When the installed archive or the server cannot serve that, or the
// server's archive changes meanwhile, notApplicable() says why and nothing
// was changed.
class DeltaDownload : public QObject
{
    Q_OBJECT

public:
    explicit DeltaDownload(QNetworkAccessManager *network, QObject *parent = nullptr);
    ~DeltaDownload() override;

    void setLimits(const TransferLimits &limits);
    void setSettings(const DeltaSettings &settings) { planSettings = settings; }

    void start(const QUrl &source, const QString &archivePath);
    // Gives up without a report; the next start() plans afresh.
    void abandon();
    QString errorString() const { return failure; }

    // Where the new archive is assembled until it is whole.
    static QString assemblyFileName(const QString &archivePath);

signals:
    // Bytes of the new archive assembled, copied ones included, and its size.
    void progress(qint64 done, qint64 total);
    void finished();
    void failed(const QString &reason);
    void notApplicable(const QString &reason);
    void note(const QString &line);

private:
    enum class Phase { Planning, ReadingEnd, Assembling, Done };

    void startTry();
    void learnRemoteFile();
    void readEndRange(qint64 from);
    void received();
    void rangesDelivered();
    void planFromEnd();
    void follow();
    ByteRanges rangesLeft() const;
    void assemble();
    void finishAssembly();
    void replyFinished();
    void failTry(const QString &reason, RetryPolicy::Cause cause);
    void endTry(const QString &reason, RetryPolicy::Cause cause);
    void giveUp(const QString &reason);
    void decline(const QString &reason);
    void dropReply();
    QString name() const;

    QNetworkAccessManager *network;
    TransferLimits limits;
    DeltaSettings planSettings;
    TransferWatchdog watchdog;
    QTimer retryTimer;
    QTimer assembler; // goes on with copies after the event loop had a turn
    QUrl url;
    QString archivePath;
    ZipDirectory installed;
    DeltaAssembly assembly;
    QPointer<FtpRetrieval> reply;
    Phase phase = Phase::Done;
    // What is known of the server's archive; its end is the bytes
    // [endOffset, size).
    struct RemoteArchive
    {
        qint64 size = -1;
        QByteArray time;
        QByteArray end;
        qint64 endOffset = 0;
        QByteArray endRange; // of the range [endRangeFrom, endOffset) being read
        qint64 endRangeFrom = -1;
        int endReads = 0;
        // The end read again after the last fetch: the archive did not
        // change meanwhile when it equals end.
        QByteArray endAgain;
        bool endConfirmed = false;
    };
    RemoteArchive remote;
    DeltaPlan plan;
    qint64 reported = 0;
    qint64 fetchedBytes = 0; // from the network, the end included
    int triesMade = 0;
    bool failing = false;
    RetryPolicy::Cause ownCause = RetryPolicy::Cause::Canceled;
    QString tryFailure;
    QString failure;
};

#endif // DELTADOWNLOAD_H
