#ifndef UPDATEINSTALLER_H
#define UPDATEINSTALLER_H

#include "updatesettings.h"

#include <QObject>
#include <QPointer>

#include <functional>

QT_BEGIN_NAMESPACE
class QThread;
QT_END_NAMESPACE
class ShellCommand;

// Installs the downloaded archive without blocking the event loop: checks
// its signature when the build requires one, unpacks it with 7za into the
// staging folder and applies the staged tree (see StagedUpdate). Slow steps
// run in a worker thread or a child process, so the window keeps painting.
// When the update cannot be installed whole, the installation is left as
// it was and the reason is written to the debug log as one record.
class UpdateInstaller : public QObject
{
    Q_OBJECT

public:
    explicit UpdateInstaller(const UpdateSettings &settings, QObject *parent = nullptr);
    ~UpdateInstaller() override;

    void start();
    bool isRunning() const { return m_running; }

    // Test seam, handed to StagedUpdate::setRenameHook().
    void setRenameHook(std::function<void(int)> hook) { m_renameHook = std::move(hook); }

signals:
    // installed: the new files are in place.
    void finished(bool installed);

private:
    bool verify();
    bool prepareStaging();
    void unpack();
    void unpacked(bool succeeded);
    void applied();
    void end(bool installed, const QString &reason = QString());
    void inBackground(std::function<void()> work, void (UpdateInstaller::*next)());

    UpdateSettings m_settings;
    ShellCommand *m_unpacker = nullptr;
    QPointer<QThread> m_worker;
    std::function<void(int)> m_renameHook;
    bool m_running = false;
    bool m_stepSucceeded = false;
    QString m_stepError;
    QString m_trustedComment;
};

#endif // UPDATEINSTALLER_H
