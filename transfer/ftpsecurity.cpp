#include "ftpsecurity.h"

#include <QCryptographicHash>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

QByteArray FtpSecurity::pinOf(const QSslCertificate &certificate)
{
    const QByteArray key = certificate.publicKey().toDer();
    if (key.isEmpty())
        return QByteArray();
    return "sha256//" + QCryptographicHash::hash(key, QCryptographicHash::Sha256).toBase64();
}

QString FtpSecurity::refusal(const QSslCertificate &certificate) const
{
    if (pin.isEmpty())
        return QString();
    if (certificate.isNull())
        return QStringLiteral("the server showed no certificate");
    if (pinOf(certificate) != pin)
        return QStringLiteral("the server's certificate does not carry the pinned key (it "
                              "carries %1)")
            .arg(QString::fromLatin1(pinOf(certificate)));
    return QString();
}

QSslConfiguration FtpSecurity::configuration() const
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(protocol);
    // The data connections resume this session: its ticket must be kept.
    tls.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    if (!pin.isEmpty())
        tls.setPeerVerifyMode(QSslSocket::QueryPeer);
    else if (!extraAuthorities.isEmpty())
        tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + extraAuthorities);
    return tls;
}
