#ifndef UPDATESETTINGS_H
#define UPDATESETTINGS_H

#include "commandrunner.h"
#include "ftpprotocol.h"
#include "ftpsecurity.h"
#include "installlayout.h"
#include "partialdownload.h"
#include "transferlimits.h"

#include <QString>
#include <QUrl>

// Everything one update needs to know, built in one place. Every step takes
// its paths from here, never from the working directory: the updater may be
// started from anywhere.
struct UpdateSettings
{
    // The folder that holds the updater and the installed product.
    QString appDir;
    QString productName;
    QString archiveName;

    QString host;
    int port = Ftp::DefaultPort;
    QString userName;
    QString password;
    // Whether and how the FTP sessions are encrypted.
    FtpSecurity security;
    // The publisher's minisign public key; empty when updates are not signed.
    QString publicKey;

    // Bound on one shell command that is waited for (stopping and starting
    // the product).
    int commandTimeoutMs = DefaultFinishTimeoutMs;
    // Bounds that end a download which cannot finish in a reasonable time.
    TransferLimits transferLimits;

    // What the installer takes: the folders, the names and the key.
    InstallLayout layout() const { return { appDir, archiveName, publicKey }; }

    // The file name on the update server, with its server and account.
    QUrl url(const QString &remoteName) const;

    QString archivePath() const { return layout().archivePath(); }
    QString signatureName() const { return layout().signatureName(); }
    QString signaturePath() const { return layout().signaturePath(); }
    QString partialPath() const { return PartialDownload::fileName(archivePath()); }
    QString partialInfoPath() const { return PartialDownload::infoFileName(archivePath()); }
    QString productPath() const { return layout().inAppDir(productName); }
    QString stagingPath() const { return layout().stagingPath(); }
    QString backupPath() const { return layout().backupPath(); }
    QString journalPath() const { return layout().journalPath(); }
    QString lockPath() const { return layout().lockPath(); }
    QString releasePath() const { return layout().releasePath(); }

    // The settings compiled into this build, for the installation in appDir.
    static UpdateSettings builtIn(const QString &appDir);
};

#endif // UPDATESETTINGS_H
