#include "updateinstaller.h"

#include "debuglog.h"
#include "minisignverifier.h"
#include "platform.h"
#include "shellcommand.h"
#include "stagedupdate.h"

#include <QDir>
#include <QThread>

UpdateInstaller::UpdateInstaller(const UpdateSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
{
    // For queued connections and QSignalSpy.
    qRegisterMetaType<UpdateInstaller::Outcome>();
}

UpdateInstaller::~UpdateInstaller()
{
    // The worker moves the installation's files: it is never cut off.
    if (m_worker)
        m_worker->wait();
}

void UpdateInstaller::start()
{
    if (m_running)
        return;
    m_running = true;
    inBackground(
        [this] {
            m_stepOutcome = Outcome::Refused;
            if (verify() && prepareStaging())
                m_stepOutcome = Outcome::Installed;
        },
        &UpdateInstaller::unpack);
}

void UpdateInstaller::setRecord(const QString &path, RecordDecision decide)
{
    m_recordPath = path;
    m_decideRecord = std::move(decide);
}

// Nothing of an archive is unpacked before its signature has been checked.
bool UpdateInstaller::verify()
{
    if (m_settings.publicKey.isEmpty())
        return true;
    MinisignVerifier verifier(m_settings.publicKey);
    if (!verifier.verify(m_settings.archivePath(), m_settings.signaturePath())) {
        m_stepError =
            m_settings.archiveName + QLatin1String(" is refused: ") + verifier.errorString();
        return false;
    }
    m_trustedComment = verifier.trustedComment();
    return true;
}

// Whatever an earlier attempt left in the staging folder must not mix with
// this archive's files. recover() only reports leftovers it could not
// remove; here they stop the update.
bool UpdateInstaller::prepareStaging()
{
    StagedUpdate update(m_settings);
    QString reason;
    if (update.recover() && update.removeLeftovers()
        && makeFolder(m_settings.stagingPath(), &reason))
        return true;
    if (update.needsRepair())
        m_stepOutcome = Outcome::Unrepaired;
    if (reason.isEmpty())
        reason = update.errorString();
    m_stepError = QLatin1String("the staging folder could not be prepared")
        + (reason.isEmpty() ? QString() : QLatin1String(": ") + reason);
    return false;
}

void UpdateInstaller::unpack()
{
    if (m_stepOutcome != Outcome::Installed) {
        end(m_stepOutcome, m_stepError);
        return;
    }
    if (!m_settings.publicKey.isEmpty())
        writeLog(m_settings.archiveName
                     + QLatin1String(" is signed by the publisher; trusted comment: ")
                     + m_trustedComment,
                 0);
    if (m_decideRecord) {
        QString refusal;
        m_record = m_decideRecord(m_trustedComment, &refusal);
        if (!refusal.isEmpty()) {
            StagedUpdate(m_settings).removeLeftovers();
            end(Outcome::Refused, refusal);
            return;
        }
    }
    if (!m_unpacker) {
        m_unpacker = new ShellCommand(this);
        connect(m_unpacker, &ShellCommand::finished, this, &UpdateInstaller::unpacked);
    }
    m_unpacker->start(unpackCommand(m_settings.archiveName, m_settings.stagingName()),
                      m_settings.appDir);
}

void UpdateInstaller::unpacked(bool succeeded)
{
    if (!succeeded) {
        StagedUpdate(m_settings).removeLeftovers();
        // What 7za said is in the record before this one.
        end(Outcome::Refused,
            m_settings.archiveName + QLatin1String(" could not be unpacked whole"));
        return;
    }
    inBackground(
        [this] {
            StagedUpdate update(m_settings);
            update.setRenameHook(m_renameHook);
            if (m_decideRecord)
                update.setRecord(m_recordPath, m_record);
            if (update.apply())
                m_stepOutcome = Outcome::Installed;
            else
                m_stepOutcome = update.needsRepair() ? Outcome::Unrepaired : Outcome::Refused;
            m_stepError = update.errorString();
            m_stepReport = update.report();
        },
        &UpdateInstaller::applied);
}

void UpdateInstaller::applied()
{
    if (m_stepOutcome == Outcome::Installed && !m_stepReport.isEmpty())
        writeLog(QLatin1String("the update was installed; ") + m_stepReport, 0);
    end(m_stepOutcome, m_stepError);
}

void UpdateInstaller::end(Outcome outcome, const QString &reason)
{
    if (outcome != Outcome::Installed)
        writeLog(QLatin1String("the update was not installed: ") + reason, 0);
    m_running = false;
    emit finished(outcome);
}

void UpdateInstaller::inBackground(std::function<void()> work, void (UpdateInstaller::*next)())
{
    QThread *worker = QThread::create(std::move(work));
    m_worker = worker;
    connect(worker, &QThread::finished, this, next);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}
