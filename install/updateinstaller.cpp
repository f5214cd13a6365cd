#include "updateinstaller.h"

#include "debuglog.h"
#include "platform.h"
#include "shellcommand.h"
#include "stagedupdate.h"

#include <QDir>
#include <QThread>

UpdateInstaller::UpdateInstaller(const UpdateSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
{
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
    // Whatever an earlier attempt left in the staging folder must not mix
    // with this archive's files.
    inBackground(
        [this] {
            StagedUpdate update(m_settings);
            m_stepSucceeded = update.recover() && update.removeLeftovers()
                && QDir().mkpath(m_settings.stagingPath());
            m_stepError = update.errorString();
        },
        &UpdateInstaller::unpack);
}

void UpdateInstaller::unpack()
{
    if (!m_stepSucceeded) {
        end(false,
            QLatin1String("the staging folder could not be prepared")
                + (m_stepError.isEmpty() ? QString() : QLatin1String(": ") + m_stepError));
        return;
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
        end(false, m_settings.archiveName + QLatin1String(" could not be unpacked whole"));
        return;
    }
    inBackground(
        [this] {
            StagedUpdate update(m_settings);
            update.setRenameHook(m_renameHook);
            m_stepSucceeded = update.apply();
            m_stepError = update.errorString();
        },
        &UpdateInstaller::applied);
}

void UpdateInstaller::applied()
{
    end(m_stepSucceeded, m_stepError);
}

void UpdateInstaller::end(bool installed, const QString &reason)
{
    if (!installed)
        writeLog(QLatin1String("the update was not installed: ") + reason, 0);
    m_running = false;
    emit finished(installed);
}

void UpdateInstaller::inBackground(std::function<void()> work, void (UpdateInstaller::*next)())
{
    QThread *worker = QThread::create(std::move(work));
    m_worker = worker;
    connect(worker, &QThread::finished, this, next);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}
