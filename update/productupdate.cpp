#include "productupdate.h"

#include "archivedownload.h"
#include "commandlines.h"
#include "commandrunner.h"
#include "debuglog.h"
#include "ftpaccessmanager.h"
#include "ftpdownload.h"
#include "transferprogress.h"
#include "updaterecovery.h"

#include <QDir>

ProductUpdate::ProductUpdate(const UpdateSettings &settings, QObject *parent)
    : QObject(parent)
    , updateSettings(settings)
    , lock(settings.lockPath())
    , installation(std::make_unique<UpdateInstaller>(settings.layout()))
{
    // However long an update takes, its lock is stale only once the updater
    // that took it is gone.
    lock.setStaleLockTime(0);
    connect(installation.get(), &UpdateInstaller::finished, this, &ProductUpdate::installFinished);
}

ProductUpdate::~ProductUpdate() = default;

bool ProductUpdate::claimInstallation()
{
    if (lock.isLocked())
        return true;
    if (!lock.tryLock(0)) {
        if (lock.error() == QLockFile::LockFailedError) {
            if (currentState != State::Blocked)
                writeLog(QLatin1String("another updater holds the installation (")
                             + QDir::toNativeSeparators(updateSettings.lockPath())
                             + QLatin1String("): this one changes nothing"),
                         0);
            setState(State::Blocked);
            return false;
        }
        // Without a lock file the installation's folder cannot be written
        // either: an update then fails at its first step and says why.
        writeLog(QLatin1String("the installation could not be locked: ")
                     + QDir::toNativeSeparators(updateSettings.lockPath())
                     + QLatin1String(" cannot be created"),
                 0);
    }
    if (recover() && currentState == State::Blocked)
        setState(State::Idle);
    return true;
}

// An update cut off by a crash or a power cut is put right before the next
// one may begin.
bool ProductUpdate::recover()
{
    UpdateRecovery recovery(updateSettings.layout());
    const bool whole = recovery.run();
    const QString said =
        whole ? recovery.notes().join(QLatin1String("; ")) : recovery.errorString();
    if (!said.isEmpty())
        writeLog(said, 0);
    if (!whole)
        setState(State::Unrepaired);
    else if (currentState == State::Unrepaired)
        setState(State::Idle);
    return whole;
}

void ProductUpdate::start()
{
    switch (currentState) {
    case State::Downloading:
    case State::FetchingSignature:
    case State::Installing:
    case State::Starting:
    case State::Finished:
        // One update at a time: a second press changes nothing.
        return;
    case State::Blocked:
        if (!claimInstallation() || currentState == State::Unrepaired)
            return;
        break;
    case State::Unrepaired:
        if (!recover())
            return;
        break;
    case State::Idle:
    case State::DownloadFailed:
        break;
    }
    stopProduct(updateSettings.productName);
    downloadingWhole = false;
    download(true);
}

void ProductUpdate::stopProduct(const QString &exeName)
{
    runCommand(stopCommand(exeName), updateSettings.appDir, updateSettings.commandTimeoutMs);
}

void ProductUpdate::prepareTransfers()
{
    if (network)
        return;
    network = std::make_unique<FtpAccessManager>();
    network->setSecurity(updateSettings.security);
    archive = std::make_unique<ArchiveDownload>(network.get());
    archive->setLimits(updateSettings.transferLimits);
    connect(archive.get(), &ArchiveDownload::progress, this, &ProductUpdate::showDownloaded);
    connect(archive.get(), &ArchiveDownload::note, this,
            [](const QString &line) { writeLog(line, 0); });
    connect(archive.get(), &ArchiveDownload::finished, this, &ProductUpdate::archiveArrived);
    connect(archive.get(), &ArchiveDownload::failed, this, &ProductUpdate::archiveFailed);
    signature = std::make_unique<FtpDownload>(network.get());
    signature->setLimits(updateSettings.transferLimits);
    connect(signature.get(), &FtpDownload::note, this,
            [](const QString &line) { writeLog(line, 0); });
    connect(signature.get(), &FtpDownload::finished, this, &ProductUpdate::install);
    connect(signature.get(), &FtpDownload::failed, this, &ProductUpdate::signatureFailed);
}

void ProductUpdate::download(bool reuseInstalled)
{
    prepareTransfers();
    shownPercent = -1;
    setState(State::Downloading);
    archive->start(updateSettings.url(updateSettings.archiveName), updateSettings.archivePath(),
                   reuseInstalled);
}

void ProductUpdate::showDownloaded(qint64 done, qint64 total)
{
    const int percent = transferPercent(done, total);
    if (percent <= shownPercent)
        return;
    shownPercent = percent;
    emit progress(percent);
}

void ProductUpdate::archiveArrived()
{
    if (updateSettings.publicKey.isEmpty()) {
        install();
        return;
    }
    // The signature comes from the same server, after the archive.
    setState(State::FetchingSignature);
    signature->start(updateSettings.url(updateSettings.signatureName()),
                     updateSettings.signaturePath());
}

void ProductUpdate::archiveFailed(const QString &reason)
{
    writeLog(QLatin1String("the download of ") + updateSettings.archiveName
                 + QLatin1String(" failed: ") + reason,
             0);
    setState(State::DownloadFailed);
}

void ProductUpdate::signatureFailed(const QString &reason)
{
    writeLog(QLatin1String("the update was not installed: the signature ")
                 + updateSettings.signatureName() + QLatin1String(" could not be downloaded: ")
                 + reason,
             0);
    startProduct();
}

void ProductUpdate::install()
{
    setState(State::Installing);
    installation->start();
}

void ProductUpdate::installFinished(UpdateInstaller::Outcome outcome)
{
    // On a mixed installation the product could not run as it should; the
    // next start of the updater repairs the installation first.
    if (outcome == UpdateInstaller::Outcome::Unrepaired) {
        setState(State::Unrepaired);
        return;
    }
    if (outcome == UpdateInstaller::Outcome::Refused && downloadWholeInstead())
        return;
    startProduct();
}

// An assembled archive that the signature or 7za refuses is downloaded whole
// once, on the same press; nothing was installed from it.
bool ProductUpdate::downloadWholeInstead()
{
    if (downloadingWhole || !archive || !archive->wasAssembled()
        || !installation->archiveRejected())
        return false;
    writeLog(updateSettings.archiveName
                 + QLatin1String(" as assembled from the installed release's archive was refused; "
                                 "it is downloaded whole once"),
             0);
    downloadingWhole = true;
    download(false);
    return true;
}

void ProductUpdate::startProduct()
{
    setState(State::Starting);
    runCommand(startCommand(updateSettings.appDir, updateSettings.productName),
               updateSettings.appDir, updateSettings.commandTimeoutMs);
    setState(State::Finished);
}

bool ProductUpdate::close()
{
    switch (currentState) {
    case State::Installing:
    case State::Starting:
        return false;
    case State::Downloading:
    case State::FetchingSignature:
    case State::DownloadFailed:
        // Nothing was unpacked: the product the press stopped runs again. A
        // partial download stays for the next press.
        archive->abandon();
        signature->abandon();
        writeLog(QStringLiteral("the update was abandoned: the window was closed before the "
                                "archive was installed; the product is started again"),
                 0);
        startProduct();
        return true;
    case State::Idle:
    case State::Blocked:
    case State::Finished:
    case State::Unrepaired:
        return true;
    }
    return true;
}

void ProductUpdate::setState(State state)
{
    if (currentState == state)
        return;
    currentState = state;
    emit stateChanged(state);
}
