#ifndef FTPSECURITY_H
#define FTPSECURITY_H

#include <QByteArray>
#include <QList>
#include <QSsl>
#include <QSslCertificate>
#include <QString>

QT_BEGIN_NAMESPACE
class QSslConfiguration;
QT_END_NAMESPACE

// Whether and how FTP sessions are encrypted. Explicit FTPS: AUTH TLS on the
// control connection before anything of the account is sent, PBSZ 0 and
// PROT P after the login, and every data connection encrypted too, resuming
// the control connection's TLS session, as servers require.
struct FtpSecurity
{
    bool required = false;
    // "sha256//<base64 of the SHA-256 of the DER public key>": when set, the
    // server's certificate must carry that key and nothing else of it is
    // checked. When empty, the system's certificate authorities (and those
    // below) and the host name decide.
    QByteArray pin;
    QList<QSslCertificate> extraAuthorities;
    QSsl::SslProtocol protocol = QSsl::SecureProtocols;

    // The pin of a certificate's public key, in the form above.
    static QByteArray pinOf(const QSslCertificate &certificate);
    // Why certificate does not pass, for the log; empty when it does.
    QString refusal(const QSslCertificate &certificate) const;
    // The configuration the control connection starts TLS with.
    QSslConfiguration configuration() const;
};

#endif // FTPSECURITY_H
