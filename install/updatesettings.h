#ifndef UPDATESETTINGS_H
#define UPDATESETTINGS_H

#include "commandrunner.h"
#include "ftpclient.h"

#include <QString>

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
    int port = 21;
    QString userName;
    QString password;
    // The publisher's minisign public key; empty when updates are not signed.
    QString publicKey;

    // Bound on one shell command that is waited for (stopping and starting
    // the product).
    int commandTimeoutMs = DefaultFinishTimeoutMs;
    // Bounds that end a download which cannot finish in a reasonable time.
    TransferLimits transferLimits;

    QString archivePath() const { return inAppDir(archiveName); }
    QString signatureName() const { return archiveName + QLatin1String(".minisig"); }
    QString signaturePath() const { return inAppDir(signatureName()); }
    QString partialPath() const { return FtpCLient::partialFileName(archivePath()); }
    QString partialInfoPath() const { return FtpCLient::partialInfoFileName(archivePath()); }
    QString productPath() const { return inAppDir(productName); }
    // Inside the installation, so that moving files between them and the
    // installation is a rename on one file system.
    QString stagingName() const { return stem() + QLatin1String(".staging"); }
    QString stagingPath() const { return inAppDir(stagingName()); }
    QString backupPath() const { return inAppDir(stem() + QLatin1String(".backup")); }
    QString journalPath() const { return inAppDir(stem() + QLatin1String(".journal")); }
    // Held by the one updater that may touch the installation.
    QString lockPath() const { return inAppDir(stem() + QLatin1String(".lock")); }
    // The trusted comment of the signed release installed last.
    QString releasePath() const { return inAppDir(stem() + QLatin1String(".release")); }

    // The settings compiled into this build, for the installation in appDir.
    static UpdateSettings builtIn(const QString &appDir);

private:
    QString inAppDir(const QString &name) const { return appDir + QLatin1Char('/') + name; }
    QString stem() const { return archiveName.left(archiveName.lastIndexOf(QLatin1Char('.'))); }
};

#endif // UPDATESETTINGS_H
