#include "protectedinstallation.h"

#include "debuglog.h"
#include "elevation.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>

ProtectedInstallation::ProtectedInstallation(const QString &appDir, const QStringList &arguments)
    : appDir(appDir)
    , startedElevated(arguments.mid(1).contains(elevatedArgument()))
{
}

ProtectedInstallation::Access ProtectedInstallation::atStart()
{
    QString denial;
    if (!canElevate() || !writingDenied(appDir, &denial)) {
        currentAccess = Access::Writable;
        return currentAccess;
    }
    if (!startedElevated)
        return handOver(denial);
    writeLog(QLatin1String("the installation's folder ") + QDir::toNativeSeparators(appDir)
                 + QLatin1String(" cannot be written (") + denial
                 + QLatin1String("), though this updater was started with an administrator's "
                                 "permission: nothing was changed"),
             0);
    currentAccess = Access::Refused;
    return currentAccess;
}

ProtectedInstallation::Access ProtectedInstallation::askAgain()
{
    QString denial;
    if (!writingDenied(appDir, &denial)) {
        currentAccess = Access::Writable;
        return currentAccess;
    }
    return handOver(denial);
}

ProtectedInstallation::Access ProtectedInstallation::handOver(const QString &denial)
{
    const QString reason = QLatin1String("the installation's folder ")
        + QDir::toNativeSeparators(appDir) + QLatin1String(" cannot be written (") + denial
        + QLatin1String("): ");
    QString refusal;
    if (startElevated(QCoreApplication::applicationFilePath(), { elevatedArgument() }, &refusal)) {
        writeLog(reason
                     + QLatin1String("the updater was started again with an administrator's "
                                     "permission and goes on there"),
                 0);
        currentAccess = Access::HandedOver;
        return currentAccess;
    }
    writeLog(reason + QLatin1String("an administrator's permission was not given (") + refusal
                 + QLatin1String("): nothing was changed"),
             0);
    currentAccess = Access::Refused;
    return currentAccess;
}
