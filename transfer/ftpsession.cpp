#include "ftpsession.h"

#include "ftpprotocol.h"

namespace {

// How long an ended session waits for the answer to QUIT before its
// control connection is closed anyway.
constexpr int QuitBoundMs = 2000;

} // namespace

FtpSession::FtpSession(const QUrl &url, QObject *parent)
    : QObject(parent)
    , url(url)
    , control(new QTcpSocket(this))
    , channel(control)
{
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
            // Reported from the event loop, like every other outcome.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    fail(QNetworkReply::ProtocolInvalidOperationError,
                         QStringLiteral("a line break in the user name, password or path of %1 "
                                        "on %2")
                             .arg(fileName(), server()));
                },
                Qt::QueuedConnection);
            return;
        }
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

void FtpSession::end(QObject *keeper)
{
    step = Step::Ended;
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
    case Step::User:
        if (code == 230) {
            step = Step::LoggedIn; // no password asked
            emit loggedIn();
        } else if (code == 331) {
            step = Step::Password;
            channel.send("PASS " + url.password().toUtf8());
        } else {
            refuseLogin(code, text);
        }
        return;
    case Step::Password:
        if (code >= 300) {
            refuseLogin(code, text);
            return;
        }
        step = Step::LoggedIn;
        emit loggedIn();
        return;
    case Step::Connecting:
    case Step::LoggedIn:
    case Step::Ended:
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
    step = Step::User;
    channel.send("USER " + url.userName().toUtf8());
}

void FtpSession::refuseLogin(int code, const QByteArray &text)
{
    fail(code >= 400 && code < 500 ? QNetworkReply::TemporaryNetworkFailureError
                                   : QNetworkReply::AuthenticationRequiredError,
         QStringLiteral("Logging in to %1 for %2 failed: %3")
             .arg(server(), fileName(), Ftp::replyText(code, text)));
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
