#ifndef UPDATEINSTALLER_H
#define UPDATEINSTALLER_H

#include "installlayout.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>

QT_BEGIN_NAMESPACE
class QThread;
QT_END_NAMESPACE
class ShellCommand;
class SignedRelease;

// Installs the downloaded archive without blocking the event loop: checks
// its signature when the layout has a key (SignedRelease), unpacks it with
// 7za into the staging folder and applies the staged tree (StagedUpdate).
// Slow steps run in a worker thread or a child process, so the window keeps
// painting. When the update cannot be installed whole, the installation is
// left as it was and the reason is written to the debug log as one record.
class UpdateInstaller : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Installed, // the new files are in place
        Refused, // nothing changed: the old product may start
        Unrepaired, // part old, part new: the product must not start; the
                    // next start of the updater repairs the installation
    };
    Q_ENUM(Outcome)

    explicit UpdateInstaller(const InstallLayout &layout, QObject *parent = nullptr);
    ~UpdateInstaller() override;

    void start();
    // Whether the last refusal was the archive's own fault: its signature
    // did not hold, or 7za could not unpack it whole.
    bool archiveRejected() const { return archiveFault; }

    // Test seam, handed to StagedUpdate::setRenameHook().
    void setRenameHook(std::function<bool(int)> hook) { renameHook = std::move(hook); }

signals:
    void finished(UpdateInstaller::Outcome outcome);

private:
    void check();
    bool verified();
    bool prepareStaging();
    bool admitted();
    void unpack();
    void unpacked(bool succeeded);
    void applied();
    void end(Outcome outcome, const QString &reason = QString());
    void inBackground(std::function<void()> work, void (UpdateInstaller::*next)());

    InstallLayout layout;
    std::unique_ptr<SignedRelease> release;
    ShellCommand *unpacker = nullptr;
    QPointer<QThread> worker;
    std::function<bool(int)> renameHook;
    bool running = false;
    bool archiveFault = false;
    // What the worker's step came to, read once it has finished.
    Outcome stepOutcome = Outcome::Refused;
    QString stepError;
    QStringList stepNotes;
};

#endif // UPDATEINSTALLER_H
