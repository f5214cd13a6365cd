#ifndef INSTALLLAYOUT_H
#define INSTALLLAYOUT_H

#include <QString>
#include <QStringList>

// Where an update's files lie in the installation, and the key it must be
// signed with: all that installing an archive needs to know. Every path is
// taken from here, never from the working directory: the updater may be
// started from anywhere.
struct InstallLayout
{
    // The folder that holds the updater and the installed product.
    QString appDir;
    QString archiveName;
    // The publisher's minisign public key; empty when updates are not signed.
    QString publicKey;

    QString archivePath() const { return inAppDir(archiveName); }
    QString signatureName() const { return archiveName + QLatin1String(".minisig"); }
    QString signaturePath() const { return inAppDir(signatureName()); }
    // Inside the installation, so that moving files between them and the
    // installation is a rename on one file system.
    QString stagingName() const { return stem() + QLatin1String(".staging"); }
    QString stagingPath() const { return inAppDir(stagingName()); }
    QString backupPath() const { return inAppDir(stem() + QLatin1String(".backup")); }
    QString journalPath() const { return inAppDir(stem() + QLatin1String(".journal")); }
    QString journalPartPath() const { return journalPath() + QLatin1String(".part"); }
    // Held by the one updater that may touch the installation.
    QString lockPath() const { return inAppDir(stem() + QLatin1String(".lock")); }
    // The trusted comment of the signed release installed last.
    QString releaseName() const { return stem() + QLatin1String(".release"); }
    QString releasePath() const { return inAppDir(releaseName()); }

    // The names the updater keeps for itself in the installation's folder.
    QStringList reservedNames() const;

    QString inAppDir(const QString &name) const { return appDir + QLatin1Char('/') + name; }

private:
    QString stem() const { return archiveName.left(archiveName.lastIndexOf(QLatin1Char('.'))); }
};

#endif // INSTALLLAYOUT_H
