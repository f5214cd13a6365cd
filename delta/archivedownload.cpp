#include "archivedownload.h"

#include "ftpprotocol.h"

#include <QDir>
#include <QFileInfo>

ArchiveDownload::ArchiveDownload(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent)
    , whole(network)
    , delta(network)
{
    connect(&whole, &FtpDownload::progress, this, &ArchiveDownload::report);
    connect(&whole, &FtpDownload::note, this, &ArchiveDownload::note);
    connect(&whole, &FtpDownload::finished, this, [this] {
        assembledLast = false;
        emit finished();
    });
    connect(&whole, &FtpDownload::failed, this, [this](const QString &reason) {
        failure = reason;
        emit failed(reason);
    });
    connect(&delta, &DeltaDownload::progress, this, &ArchiveDownload::report);
    connect(&delta, &DeltaDownload::note, this, &ArchiveDownload::note);
    connect(&delta, &DeltaDownload::notApplicable, this, &ArchiveDownload::downloadWhole);
    connect(&delta, &DeltaDownload::finished, this, [this] {
        assembledLast = true;
        emit finished();
    });
    connect(&delta, &DeltaDownload::failed, this, [this](const QString &reason) {
        failure = reason;
        emit failed(reason);
    });
}

void ArchiveDownload::setLimits(const TransferLimits &limits)
{
    whole.setLimits(limits);
    delta.setLimits(limits);
}

void ArchiveDownload::start(const QUrl &source, const QString &archivePath, bool reuseInstalled)
{
    abandon();
    url = source;
    path = archivePath;
    failure.clear();
    assembledLast = false;
    shownShare = 0;
    if (!reuseInstalled) {
        whole.start(url, path);
        return;
    }
    if (!QFileInfo(path).isFile() || QFileInfo(path).size() == 0) {
        downloadWhole(QStringLiteral("there is no archive of the installed release (%1)")
                          .arg(QDir::toNativeSeparators(path)));
        return;
    }
    delta.start(url, path);
}

void ArchiveDownload::abandon()
{
    whole.abandon();
    delta.abandon();
}

void ArchiveDownload::downloadWhole(const QString &why)
{
    emit note(QStringLiteral("%1 from %2 is downloaded whole: %3")
                  .arg(url.path(), Ftp::serverName(url), why));
    whole.start(url, path);
}

void ArchiveDownload::report(qint64 done, qint64 total)
{
    // A whole download after an assembly that did not apply starts at byte
    // 0: nothing is shown until it passes what was.
    if (total > 0) {
        const qint64 share = qint64(double(done) / double(total) * 1000000.0);
        if (share < shownShare)
            return;
        shownShare = share;
    }
    emit progress(done, total);
}
