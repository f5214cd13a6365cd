#ifndef PRODUCTUPDATE_H
#define PRODUCTUPDATE_H

#include "updateinstaller.h"
#include "updatesettings.h"

#include <QLockFile>
#include <QObject>

class FtpCLient;

// One update of the installation the updater lies in, from the press of the
// button until the product runs again: stop the product, download the
// archive (and its signature when the build has a key), install it whole or
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
    // A report of the client's process(x, id).
    void reportTransfer(int x, int id);

    // The steps of start(), for callers that drive them one by one.
    void stopProduct(const QString &exeName);
    void install();
    void startProduct();

    // The window is closing. A download that runs, retries or has failed is
    // abandoned and the product started again. False while the installation
    // is being changed: the caller waits for Finished or Unrepaired.
    bool close();

    State state() const { return m_state; }
    const UpdateSettings &settings() const { return m_settings; }
    FtpCLient *client() const { return m_client; }
    UpdateInstaller *installer() const { return m_installer; }

signals:
    void stateChanged(ProductUpdate::State state);
    // A report of the transfer, as a percentage to show (see FtpCLient).
    void progress(int x);

private:
    void download();
    void signatureReported(int x);
    void downloadFailed();
    void installFinished(UpdateInstaller::Outcome outcome);
    void setState(State state);
    bool recover();

    UpdateSettings m_settings;
    QLockFile m_lock;
    FtpCLient *m_client;
    UpdateInstaller *m_installer;
    State m_state = State::Idle;
};

#endif // PRODUCTUPDATE_H
