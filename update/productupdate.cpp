#include "productupdate.h"

#include "commandlines.h"
#include "commandrunner.h"
#include "debuglog.h"
#include "ftpclient.h"
#include "updaterecovery.h"

#include <QDir>

ProductUpdate::ProductUpdate(const UpdateSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_lock(settings.lockPath())
    , m_client(new FtpCLient)
    , m_installer(new UpdateInstaller(settings.layout(), this))
{
    // However long an update takes, its lock is stale only once the updater
    // that took it is gone.
    m_lock.setStaleLockTime(0);
    m_client->setLimits(settings.transferLimits);
    m_client->setLogger([](const QString &line) { writeLog(line, 0); });
    connect(m_client, &FtpCLient::process, this, &ProductUpdate::reportTransfer);
    connect(m_installer, &UpdateInstaller::finished, this, &ProductUpdate::installFinished);
}

ProductUpdate::~ProductUpdate()
{
    delete m_client;
    // The installer waits for a running apply; the lock must outlive it.
    delete m_installer;
}

bool ProductUpdate::claimInstallation()
{
    if (m_lock.isLocked())
        return true;
    if (!m_lock.tryLock(0)) {
        if (m_lock.error() == QLockFile::LockFailedError) {
            if (m_state != State::Blocked)
                writeLog(QLatin1String("another updater holds the installation (")
                             + QDir::toNativeSeparators(m_settings.lockPath())
                             + QLatin1String("): this one changes nothing"),
                         0);
            setState(State::Blocked);
            return false;
        }
        // Without a lock file the installation's folder cannot be written
        // either: an update then fails at its first step and says why.
        writeLog(QLatin1String("the installation could not be locked: ")
                     + QDir::toNativeSeparators(m_settings.lockPath())
                     + QLatin1String(" cannot be created"),
                 0);
    }
    if (recover() && m_state == State::Blocked)
        setState(State::Idle);
    return true;
}

// An update cut off by a crash or a power cut is put right before the next
// one may begin.
bool ProductUpdate::recover()
{
    UpdateRecovery recovery(m_settings.layout());
    const bool whole = recovery.run();
    const QString said =
        whole ? recovery.notes().join(QLatin1String("; ")) : recovery.errorString();
    if (!said.isEmpty())
        writeLog(said, 0);
    if (!whole)
        setState(State::Unrepaired);
    else if (m_state == State::Unrepaired)
        setState(State::Idle);
    return whole;
}

void ProductUpdate::start()
{
    switch (m_state) {
    case State::Downloading:
    case State::FetchingSignature:
    case State::Installing:
    case State::Starting:
    case State::Finished:
        // One update at a time: a second press changes nothing.
        return;
    case State::Blocked:
        if (!claimInstallation() || m_state == State::Unrepaired)
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
    stopProduct(m_settings.productName);
    download();
}

void ProductUpdate::stopProduct(const QString &exeName)
{
    runCommand(stopCommand(exeName), m_settings.appDir, m_settings.commandTimeoutMs);
}

void ProductUpdate::download()
{
    m_client->setHostPort(m_settings.host, m_settings.port);
    m_client->setUserInfo(m_settings.userName, m_settings.password);
    setState(State::Downloading);
    m_client->get(m_settings.archiveName, m_settings.archivePath());
}

void ProductUpdate::reportTransfer(int x, int id)
{
    if (m_state == State::FetchingSignature) {
        signatureReported(x);
        return;
    }
    emit progress(x);
    if (m_state != State::Downloading)
        return;
    if (x == -100) {
        downloadFailed();
        return;
    }
    if (x != 100 || id != 0)
        return;
    if (m_settings.publicKey.isEmpty()) {
        install();
        return;
    }
    // The signature comes from the same server, after the archive.
    setState(State::FetchingSignature);
    m_client->get(m_settings.signatureName(), m_settings.signaturePath());
}

void ProductUpdate::downloadFailed()
{
    writeLog(QLatin1String("the download of ") + m_settings.archiveName + QLatin1String(" failed: ")
                 + m_client->errorString(),
             0);
    setState(State::DownloadFailed);
}

void ProductUpdate::signatureReported(int x)
{
    if (x == 100) {
        install();
    } else if (x == -100) {
        writeLog(QLatin1String("the update was not installed: the signature ")
                     + m_settings.signatureName() + QLatin1String(" could not be downloaded: ")
                     + m_client->errorString(),
                 0);
        startProduct();
    }
}

void ProductUpdate::install()
{
    setState(State::Installing);
    m_installer->start();
}

void ProductUpdate::installFinished(UpdateInstaller::Outcome outcome)
{
    // On a mixed installation the product could not run as it should; the
    // next start of the updater repairs the installation first.
    if (outcome == UpdateInstaller::Outcome::Unrepaired) {
        setState(State::Unrepaired);
        return;
    }
    startProduct();
}

void ProductUpdate::startProduct()
{
    setState(State::Starting);
    runCommand(startCommand(m_settings.appDir, m_settings.productName), m_settings.appDir,
               m_settings.commandTimeoutMs);
    setState(State::Finished);
}

bool ProductUpdate::close()
{
    switch (m_state) {
    case State::Installing:
    case State::Starting:
        return false;
    case State::Downloading:
    case State::FetchingSignature:
    case State::DownloadFailed:
        // Nothing was unpacked: the product the press stopped runs again. A
        // partial download stays for the next press.
        delete m_client;
        m_client = nullptr;
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
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}
