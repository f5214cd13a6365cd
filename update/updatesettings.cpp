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
    settings.security.required = UPDATE_FTPS;
    settings.security.pin = QByteArrayLiteral(UPDATE_FTPS_PIN);
    return settings;
}

QUrl UpdateSettings::url(const QString &remoteName) const
{
    QUrl address;
    address.setScheme(QStringLiteral("ftp"));
    address.setHost(host, QUrl::DecodedMode);
    address.setPort(port);
    address.setUserName(userName, QUrl::DecodedMode);
    address.setPassword(password, QUrl::DecodedMode);
    // No leading "/": the server resolves the name in the account's folder.
    address.setPath(remoteName, QUrl::DecodedMode);
    return address;
}
