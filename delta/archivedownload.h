#ifndef ARCHIVEDOWNLOAD_H
#define ARCHIVEDOWNLOAD_H

#include "deltadownload.h"
#include "ftpdownload.h"

#include <QObject>
#include <QUrl>

// The update's archive: assembled from the installed release's archive and
// what changed on the server (DeltaDownload) where that applies, else, and
// when asked to, downloaded whole (FtpDownload). The log hears which, and
// why not the cheaper one.
class ArchiveDownload : public QObject
{
    Q_OBJECT

public:
    explicit ArchiveDownload(QNetworkAccessManager *network, QObject *parent = nullptr);

    void setLimits(const TransferLimits &limits);
    void setDeltaSettings(const DeltaSettings &settings) { delta.setSettings(settings); }

    // reuseInstalled: the archive at archivePath, the installed release's,
    // may be reused.
    void start(const QUrl &source, const QString &archivePath, bool reuseInstalled);
    void abandon();

    // The archive that finished was assembled rather than downloaded whole.
    bool wasAssembled() const { return assembledLast; }
    QString errorString() const { return failure; }

signals:
    // Over the whole archive; done never goes back, whichever way it comes.
    void progress(qint64 done, qint64 total);
    void finished();
    void failed(const QString &reason);
    void note(const QString &line);

private:
    void downloadWhole(const QString &why);
    void report(qint64 done, qint64 total);

    FtpDownload whole;
    DeltaDownload delta;
    QUrl url;
    QString path;
    bool assembledLast = false;
    bool assembling = false;
    qint64 shownShare = 0; // of a million, the most reported so far
    QString failure;
};

#endif // ARCHIVEDOWNLOAD_H
