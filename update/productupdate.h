#ifndef PRODUCTUPDATE_H
#define PRODUCTUPDATE_H

#include "updateinstaller.h"
#include "updatesettings.h"

#include <QLockFile>
#include <QObject>

#include <memory>

class ArchiveDownload;
class FtpAccessManager;
class FtpDownload;

// One update of the installation the updater lies in, from the press of the
// button until the product runs again: stop the product, download the
// archive (assembled from the installed release's archive where that
// applies, and its signature when the build has a key), install it whole or
// not at all, start the product. The window shows its states; every
// decision is taken here.
class ProductUpdate : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Idle, // nothing has been done; start() begins
        Blocked, // another updater holds the installation; nothing was touched
        Downloading, // the product is stopped and the archive arrives
        DownloadFailed, // the download gave up; start() begins anew
        FetchingSignature, // the archive is whole; its signature arrives
        Installing, // checking, unpacking and applying the archive
        Starting, // the product is being started again
        Finished, // the product runs; nothing more to do
        Unrepaired, // an apply could not be undone whole: the product stays stopped
    };
    Q_ENUM(State)

    explicit ProductUpdate(const UpdateSettings &settings, QObject *parent = nullptr);
    ~ProductUpdate() override;

    // Takes the installation for this updater and puts right what an
    // interrupted update left there. False while another updater holds it;
    // the state is then Blocked and nothing was looked at or changed.
    bool claimInstallation();

    // The button: begins an update unless one is under way.
    void start();

    // The steps of start(), for callers that drive them one by one.
    void stopProduct(const QString &exeName);
    void install();
    void startProduct();

    // The window is closing. A download that runs, retries or has failed is
    // abandoned and the product started again. False while the installation
    // is being changed: the caller waits for Finished or Unrepaired.
    bool close();

    State state() const { return currentState; }
    const UpdateSettings &settings() const { return updateSettings; }
    UpdateInstaller *installer() const { return installation.get(); }

signals:
    void stateChanged(ProductUpdate::State state);
    // The archive's download so far, in percent of its size: 0 to 99, never
    // going back within one download.
    void progress(int percent);

private:
    void prepareTransfers();
    void download(bool reuseInstalled);
    void archiveArrived();
    void archiveFailed(const QString &reason);
    void signatureFailed(const QString &reason);
    void showDownloaded(qint64 done, qint64 total);
    void installFinished(UpdateInstaller::Outcome outcome);
    bool downloadWholeInstead();
    void setState(State state);
    bool recover();

    UpdateSettings updateSettings;
    QLockFile lock;
    // Declared after the lock: a running apply, which it waits for, ends
    // before the lock goes.
    std::unique_ptr<UpdateInstaller> installation;
    // Made at the first press: the window shows sooner without them.
    std::unique_ptr<FtpAccessManager> network;
    std::unique_ptr<ArchiveDownload> archive;
    std::unique_ptr<FtpDownload> signature;
    State currentState = State::Idle;
    int shownPercent = -1;
    // This press downloads the whole archive after an assembled one was refused.
    bool downloadingWhole = false;
};

#endif // PRODUCTUPDATE_H
