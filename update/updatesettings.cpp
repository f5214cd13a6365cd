#include "updatesettings.h"

#include "updateconfig.h"

UpdateSettings UpdateSettings::builtIn(const QString &appDir)
{
    UpdateSettings settings;
    settings.appDir = appDir;
    settings.productName = QStringLiteral("vlm.exe");
    settings.archiveName = QStringLiteral("vlm_update.zip");
    settings.host = QStringLiteral(UPDATE_HOST);
    settings.port = UPDATE_PORT;
    settings.userName = QStringLiteral("velmorapro");
    settings.password = QStringLiteral("qz482");
    settings.publicKey = QStringLiteral(UPDATE_PUBLIC_KEY);
    return settings;
}
