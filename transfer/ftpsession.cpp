#include "ftpsession.h"

#include "ftpprotocol.h"

#include <QSslSocket>

namespace {

// How long an ended session waits for the answer to QUIT before its
// control connection is closed anyway.
constexpr int QuitBoundMs = 2000;

// TLS 1.3 hands out session tickets after the handshake; the first data
// connection waits this long for one, then goes without.
constexpr int TicketWaitMs = 2000;

QString sslErrorsText(const QList<QSslError> &errors)
{
    QStringList texts;
    for (const QSslError &error : errors)
        texts.append(error.errorString());
    texts.removeDuplicates();
    return texts.join(QLatin1String("; "));
}

} // namespace

FtpSession::FtpSession(const QUrl &url, const FtpSecurity &security, QObject *parent)
    : QObject(parent)
    , url(url)
    , tls(security)
{
    if (tls.required) {
        auto *secure = new QSslSocket(this);
        secure->setSslConfiguration(tls.configuration());
        secure->setPeerVerifyName(url.host());
        connect(secure, &QSslSocket::encrypted, this, &FtpSession::secured);
        connect(secure, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
                &FtpSession::handshakeFailed);
        connect(secure, &QSslSocket::newSessionTicketReceived, this, [this, secure] {
            ticketReceived = true;
            takeTicket(secure->sslConfiguration().sessionTicket());
        });
        control = secure;
    } else {
        control = new QTcpSocket(this);
    }
    channel.setDevice(control);
    ticketWait.setSingleShot(true);
    connect(&ticketWait, &QTimer::timeout, this, &FtpSession::ready);
    connect(control, &QAbstractSocket::connected, this, [this] { step = Step::Greeting; });
    connect(control, &QTcpSocket::readyRead, this, &FtpSession::readReplies);
    connect(control, &QAbstractSocket::errorOccurred, this, &FtpSession::controlLost);
    connect(control, &QAbstractSocket::disconnected, this, &FtpSession::controlLost);
}

FtpSession::~FtpSession()
{
    // The socket goes before QObject's own teardown and would report its end
    // to a session that is half gone.
    if (control)
        control->disconnect(this);
}

void FtpSession::open()
{
    // A line break would end a command early and start another one.
    for (const QString &argument : { url.userName(), url.password(), fileName() }) {
        if (argument.contains(QLatin1Char('\r')) || argument.contains(QLatin1Char('\n'))) {
            fail(QNetworkReply::ProtocolInvalidOperationError,
                 QStringLiteral("a line break in the user name, password or path of %1 on %2")
                     .arg(fileName(), server()));
            return;
        }
    }
    if (tls.required && !QSslSocket::supportsSsl()) {
        fail(QNetworkReply::SslHandshakeFailedError,
             QStringLiteral("TLS is required for %1 on %2, but this system offers none (%3)")
                 .arg(fileName(), server(), QSslSocket::sslLibraryVersionString()));
        return;
    }
    control->connectToHost(url.host(), quint16(url.port(Ftp::DefaultPort)));
}

void FtpSession::send(const QByteArray &command)
{
    channel.send(command);
}

QHostAddress FtpSession::peerAddress() const
{
    return control ? control->peerAddress() : QHostAddress();
}

bool FtpSession::usesIPv6() const
{
    return peerAddress().protocol() == QAbstractSocket::IPv6Protocol;
}

QSslConfiguration FtpSession::dataConfiguration() const
{
    QSslConfiguration configuration = tls.configuration();
    configuration.setSessionTicket(ticket);
    return configuration;
}

void FtpSession::takeTicket(const QByteArray &newTicket)
{
    if (newTicket.isEmpty())
        return;
    ticket = newTicket;
    if (step == Step::AwaitingTicket)
        ready();
}

void FtpSession::end(QObject *keeper)
{
    step = Step::Ended;
    ticketWait.stop();
    if (!control)
        return;
    QTcpSocket *socket = control;
    control = nullptr;
    channel.setDevice(nullptr);
    socket->disconnect(this);
    socket->setParent(keeper);
    FtpControlChannel::quit(socket, QuitBoundMs);
}

void FtpSession::cut()
{
    step = Step::Ended;
    ticketWait.stop();
    if (!control)
        return;
    control->disconnect(this);
    channel.setDevice(nullptr);
    control->abort();
    control->deleteLater();
    control = nullptr;
}

void FtpSession::readReplies()
{
    FtpControlChannel::Reply reply;
    while (control && step != Step::Ended) {
        const FtpControlChannel::Read read = channel.next(&reply);
        if (read == FtpControlChannel::Read::Nothing)
            return;
        if (read == FtpControlChannel::Read::NotFtp) {
            fail(QNetworkReply::ProtocolFailure,
                 QStringLiteral("the server %1 answers no FTP for %2: %3")
                     .arg(server(), fileName(), channel.errorString()));
            return;
        }
        handleReply(reply.code, reply.text);
    }
}

void FtpSession::handleReply(int code, const QByteArray &text)
{
    if (step == Step::LoggedIn) {
        emit replied(code, text);
        return;
    }
    if (code < 200)
        return; // preliminary; the real reply follows
    switch (step) {
    case Step::Greeting:
        greeted(code, text);
        return;
    case Step::Securing:
        if (code != 234) {
            fail(QNetworkReply::SslHandshakeFailedError,
                 QStringLiteral("the server %1 refused TLS for %2: %3")
                     .arg(server(), fileName(), Ftp::replyText(code, text)));
            return;
        }
        step = Step::Handshake;
        static_cast<QSslSocket *>(control.data())->startClientEncryption();
        return;
    case Step::User:
        if (code == 230)
            accountAccepted(); // no password asked
        else if (code == 331)
            sendPassword();
        else
            refuseLogin(code, text);
        return;
    case Step::Password:
        if (code >= 300)
            refuseLogin(code, text);
        else
            accountAccepted();
        return;
    case Step::BufferSize:
    case Step::Protection:
        protectionReply(code, text);
        return;
    default:
        return;
    }
}

void FtpSession::greeted(int code, const QByteArray &text)
{
    if (code >= 300) {
        // 421 and its kind: busy now, perhaps not in a moment.
        fail(code >= 400 && code < 500 ? QNetworkReply::TemporaryNetworkFailureError
                                       : QNetworkReply::ConnectionRefusedError,
             QStringLiteral("the server %1 turned the connection for %2 away: %3")
                 .arg(server(), fileName(), Ftp::replyText(code, text)));
        return;
    }
    // Nothing of the account goes out before the handshake has succeeded.
    if (tls.required) {
        step = Step::Securing;
        channel.send("AUTH TLS");
        return;
    }
    sendUser();
}

void FtpSession::secured()
{
    auto *secure = static_cast<QSslSocket *>(control.data());
    const QString refusal = tls.refusal(secure->peerCertificate());
    if (!refusal.isEmpty()) {
        fail(QNetworkReply::SslHandshakeFailedError,
             QStringLiteral("the TLS connection to %1 for %2 is refused: %3")
                 .arg(server(), fileName(), refusal));
        return;
    }
    takeTicket(secure->sslConfiguration().sessionTicket());
    sendUser();
}

void FtpSession::sendUser()
{
    step = Step::User;
    channel.send("USER " + url.userName().toUtf8());
}

void FtpSession::sendPassword()
{
    step = Step::Password;
    channel.send("PASS " + url.password().toUtf8());
}

void FtpSession::accountAccepted()
{
    if (!tls.required) {
        ready();
        return;
    }
    step = Step::BufferSize;
    channel.send("PBSZ 0");
}

void FtpSession::protectionReply(int code, const QByteArray &text)
{
    if (code >= 300) {
        fail(QNetworkReply::SslHandshakeFailedError,
             QStringLiteral("the server %1 will not protect the data connections for %2: %3")
                 .arg(server(), fileName(), Ftp::replyText(code, text)));
        return;
    }
    if (step == Step::BufferSize) {
        step = Step::Protection;
        channel.send("PROT P");
        return;
    }
    // A TLS 1.3 session can be resumed only once the server's ticket came.
    const auto *secure = static_cast<QSslSocket *>(control.data());
    const bool resumable =
        ticketReceived || (secure->sessionProtocol() != QSsl::TlsV1_3 && !ticket.isEmpty());
    if (resumable) {
        ready();
        return;
    }
    step = Step::AwaitingTicket;
    ticketWait.start(TicketWaitMs);
}

void FtpSession::ready()
{
    if (step == Step::LoggedIn || step == Step::Ended)
        return;
    ticketWait.stop();
    step = Step::LoggedIn;
    emit loggedIn();
}

void FtpSession::refuseLogin(int code, const QByteArray &text)
{
    fail(code >= 400 && code < 500 ? QNetworkReply::TemporaryNetworkFailureError
                                   : QNetworkReply::AuthenticationRequiredError,
         QStringLiteral("Logging in to %1 for %2 failed: %3")
             .arg(server(), fileName(), Ftp::replyText(code, text)));
}

void FtpSession::handshakeFailed(const QList<QSslError> &errors)
{
    // With a pin, the pin alone decides, once the handshake is done.
    if (!tls.pin.isEmpty())
        return;
    fail(QNetworkReply::SslHandshakeFailedError,
         QStringLiteral("the server %1 is not trusted for %2: %3")
             .arg(server(), fileName(), sslErrorsText(errors)));
}

void FtpSession::controlLost()
{
    if (step == Step::Ended || !control)
        return;
    const QString reason = control->errorString();
    switch (control->error()) {
    case QAbstractSocket::ConnectionRefusedError:
    case QAbstractSocket::HostNotFoundError:
        fail(control->error() == QAbstractSocket::HostNotFoundError
                 ? QNetworkReply::HostNotFoundError
                 : QNetworkReply::ConnectionRefusedError,
             QStringLiteral("cannot connect to %1 for %2: %3").arg(server(), fileName(), reason));
        return;
    case QAbstractSocket::SocketTimeoutError:
        fail(QNetworkReply::TimeoutError,
             QStringLiteral("the connection to %1 for %2 timed out: %3")
                 .arg(server(), fileName(), reason));
        return;
    case QAbstractSocket::SslHandshakeFailedError:
        fail(QNetworkReply::SslHandshakeFailedError,
             QStringLiteral("the TLS handshake with %1 for %2 failed: %3")
                 .arg(server(), fileName(), reason));
        return;
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::UnknownSocketError:
        fail(QNetworkReply::RemoteHostClosedError,
             QStringLiteral("the server %1 closed the connection during the transfer of %2")
                 .arg(server(), fileName()));
        return;
    default:
        fail(QNetworkReply::UnknownNetworkError,
             QStringLiteral("the connection to %1 for %2 failed: %3")
                 .arg(server(), fileName(), reason));
        return;
    }
}

void FtpSession::fail(QNetworkReply::NetworkError error, const QString &reason)
{
    // Once a failure is reported, nothing the connection does counts.
    if (step == Step::Ended)
        return;
    emit failed(error, reason);
}

QString FtpSession::fileName() const
{
    return url.path(QUrl::FullyDecoded);
}

QString FtpSession::server() const
{
    return Ftp::serverName(url);
}
