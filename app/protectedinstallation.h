#ifndef PROTECTEDINSTALLATION_H
#define PROTECTEDINSTALLATION_H

#include <QString>

// An installation whose folder the user running the updater may not write,
// such as one under "C:\Program Files". Before anything is changed the
// updater hands over to a copy of itself started with an administrator's
// rights, which the system asks the user for: once at start-up, once per
// press after the user declined, never in a loop. Where the system has no
// such rights (Linux), every installation counts as writable.
class ProtectedInstallation
{
public:
    enum class Access {
        Writable, // nothing stands in the way of an update
        HandedOver, // an updater with an administrator's rights took over
        Refused, // no such rights were given: nothing may be changed
    };

    // The argument the updater starts its elevated copy with, and by which
    // that copy knows it must not ask again.
    static QString elevatedArgument() { return QStringLiteral("--elevated"); }

    // For the installation in appDir, of the updater started with arguments.
    ProtectedInstallation(const QString &appDir, const QStringList &arguments);

    // At start-up: hands over when the folder refuses this user, unless
    // this updater is the copy that was started to take over.
    Access atStart();
    // A press while refused: asks once more, unless the folder has become
    // writable meanwhile.
    Access askAgain();
    Access access() const { return currentAccess; }

private:
    Access handOver(const QString &denial);

    QString appDir;
    bool startedElevated;
    Access currentAccess = Access::Writable;
};

#endif // PROTECTEDINSTALLATION_H
