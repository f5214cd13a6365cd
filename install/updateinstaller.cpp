#include "updateinstaller.h"

#include "commandlines.h"
#include "debuglog.h"
#include "fileoperations.h"
#include "shellcommand.h"
#include "signedrelease.h"
#include "stagedupdate.h"
#include "updatemoves.h"
#include "updaterecovery.h"

#include <QThread>

UpdateInstaller::UpdateInstaller(const InstallLayout &layout, QObject *parent)
    : QObject(parent)
    , layout(layout)
{
    // For queued connections and QSignalSpy.
    qRegisterMetaType<UpdateInstaller::Outcome>();
}

UpdateInstaller::~UpdateInstaller()
{
    // The worker moves the installation's files: it is never cut off.
    if (worker)
        worker->wait();
}

void UpdateInstaller::start()
{
    if (running)
        return;
    running = true;
    archiveFault = false;
    release.reset();
    if (!layout.publicKey.isEmpty())
        release.reset(new SignedRelease(
            layout.publicKey,
            { layout.archivePath(), layout.signaturePath(), layout.releasePath() }));
    inBackground([this] { check(); }, &UpdateInstaller::unpack);
}

// Nothing of an archive is unpacked before its signature has been checked,
// and the installed release is read only once the staging folder is
// prepared: that may roll back an update that had replaced it.
void UpdateInstaller::check()
{
    stepOutcome = Outcome::Refused;
    stepError.clear();
    if (verified() && prepareStaging() && admitted())
        stepOutcome = Outcome::Installed;
    stepNotes = release ? release->notes() : QStringList();
}

bool UpdateInstaller::verified()
{
    if (!release || release->verify())
        return true;
    archiveFault = true;
    stepError = release->errorString();
    return false;
}

bool UpdateInstaller::admitted()
{
    if (!release || release->admit())
        return true;
    UpdateMoves(layout).removeLeftovers();
    stepError = release->errorString();
    return false;
}

// Whatever an earlier attempt left in the staging folder must not mix with
// this archive's files. The recovery only notes leftovers it could not
// remove; here they stop the update.
bool UpdateInstaller::prepareStaging()
{
    UpdateRecovery recovery(layout);
    UpdateMoves moves(layout);
    QString reason;
    if (recovery.run() && moves.removeLeftovers() && makeFolder(layout.stagingPath(), &reason))
        return true;
    if (recovery.needsRepair())
        stepOutcome = Outcome::Unrepaired;
    if (reason.isEmpty())
        reason = recovery.errorString().isEmpty() ? moves.errorString() : recovery.errorString();
    stepError = QLatin1String("the staging folder could not be prepared")
        + (reason.isEmpty() ? QString() : QLatin1String(": ") + reason);
    return false;
}

void UpdateInstaller::unpack()
{
    for (const QString &note : qAsConst(stepNotes))
        writeLog(note, 0);
    if (stepOutcome != Outcome::Installed) {
        end(stepOutcome, stepError);
        return;
    }
    if (!unpacker) {
        unpacker = new ShellCommand(this);
        connect(unpacker, &ShellCommand::finished, this, &UpdateInstaller::unpacked);
    }
    unpacker->start(unpackCommand(layout.archiveName, layout.stagingName()), layout.appDir);
}

void UpdateInstaller::unpacked(bool succeeded)
{
    if (!succeeded) {
        archiveFault = true;
        UpdateMoves(layout).removeLeftovers();
        // What 7za said is in the record before this one.
        end(Outcome::Refused, layout.archiveName + QLatin1String(" could not be unpacked whole"));
        return;
    }
    inBackground(
        [this] {
            StagedUpdate update(layout);
            update.setRenameHook(renameHook);
            if (update.apply(release ? release->record() : QByteArray()))
                stepOutcome = Outcome::Installed;
            else
                stepOutcome = update.needsRepair() ? Outcome::Unrepaired : Outcome::Refused;
            stepError = update.errorString();
            stepNotes = update.notes();
        },
        &UpdateInstaller::applied);
}

void UpdateInstaller::applied()
{
    if (stepOutcome == Outcome::Installed && !stepNotes.isEmpty())
        writeLog(QLatin1String("the update was installed; ") + stepNotes.join(QLatin1String("; ")),
                 0);
    end(stepOutcome, stepError);
}

void UpdateInstaller::end(Outcome outcome, const QString &reason)
{
    if (outcome != Outcome::Installed)
        writeLog(QLatin1String("the update was not installed: ") + reason, 0);
    running = false;
    emit finished(outcome);
}

void UpdateInstaller::inBackground(std::function<void()> work, void (UpdateInstaller::*next)())
{
    QThread *thread = QThread::create(std::move(work));
    worker = thread;
    connect(thread, &QThread::finished, this, next);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}
