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
    enum class Outcome {
        Installed, // the new files are in place
        Refused, // nothing changed: the old product may start
        Unrepaired, // part old, part new: the product must not start; the
                    // next start of the updater repairs the installation
    };
    Q_ENUM(Outcome)

    // Called once the archive's signature holds, with its trusted comment
    // (empty for unsigned builds): the record's content, or a refusal set
    // in *refusal, which ends the update before anything is unpacked.
    using RecordDecision =
        std::function<QByteArray(const QString &trustedComment, QString *refusal)>;

    explicit UpdateInstaller(const UpdateSettings &settings, QObject *parent = nullptr);
    ~UpdateInstaller() override;

    void start();

    // Commits the file path with the update's files (StagedUpdate::setRecord()),
    // with the content decide returns.
    void setRecord(const QString &path, RecordDecision decide);

    // Test seam, handed to StagedUpdate::setRenameHook().
    void setRenameHook(std::function<bool(int)> hook) { m_renameHook = std::move(hook); }

signals:
    void finished(UpdateInstaller::Outcome outcome);

private:
    bool verify();
    bool prepareStaging();
    void unpack();
    void unpacked(bool succeeded);
    void applied();
    void end(Outcome outcome, const QString &reason = QString());
    void inBackground(std::function<void()> work, void (UpdateInstaller::*next)());

    UpdateSettings m_settings;
    ShellCommand *m_unpacker = nullptr;
    QPointer<QThread> m_worker;
    std::function<bool(int)> m_renameHook;
    QString m_recordPath;
    RecordDecision m_decideRecord;
    QByteArray m_record;
    bool m_running = false;
    // What the worker's step came to, read once it has finished.
    Outcome m_stepOutcome = Outcome::Refused;
    QString m_stepError;
    QString m_stepReport;
    QString m_trustedComment;
};

#endif // UPDATEINSTALLER_H
