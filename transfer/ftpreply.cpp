#include "ftpreply.h"

#include "ftpprotocol.h"

FtpReply::FtpReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                   const FtpSecurity &security, QObject *parent)
    : QNetworkReply(parent)
    , session(new FtpSession(request.url(), security, this))
{
    setRequest(request);
    setUrl(request.url());
    setOperation(operation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    connect(session, &FtpSession::loggedIn, this, [this] { send(Step::Type, "TYPE I"); });
    connect(session, &FtpSession::replied, this, &FtpReply::handleReply);
    connect(session, &FtpSession::failed, this, &FtpReply::sessionLost);
    connect(&data, &FtpDataConnection::connected, this, [this] {
        if (step == Step::Connecting)
            dataConnected();
    });
    connect(&data, &FtpDataConnection::ended, this, &FtpReply::dataEnded);
    connect(&data, &FtpDataConnection::failed, this, &FtpReply::dataFailed);

    // Started from the event loop: whoever made the reply connects to it
    // first, and a refusal can be reported at once.
    QMetaObject::invokeMethod(this, &FtpReply::start, Qt::QueuedConnection);
}

FtpReply::~FtpReply()
{
    // The sockets go before QObject's own teardown and would report their end
    // to a reply that is half gone.
    session->disconnect(this);
    data.disconnect(this);
}

void FtpReply::abort()
{
    if (step == Step::Done)
        return;
    // A server busy sending would take QUIT only once the transfer is over.
    if (inTransfer() && step != Step::Confirmed)
        session->cut();
    finishWithError(
        OperationCanceledError,
        QStringLiteral("the transfer of %1 from %2 was canceled").arg(fileName(), server()));
}

qint64 FtpReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + data.bytesAvailable();
}

void FtpReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    data.setReadBufferSize(size);
}

qint64 FtpReply::readData(char *buffer, qint64 maxSize)
{
    // Read straight from the data socket, so its bound is the only buffer.
    if (data.bytesAvailable() <= 0)
        return step == Step::Done ? -1 : 0;
    const qint64 read = data.read(buffer, maxSize);
    if (read > 0)
        delivered += read;
    return read;
}

bool FtpReply::inTransfer() const
{
    switch (step) {
    case Step::Requested:
    case Step::Moving:
    case Step::DataEnded:
    case Step::Confirmed:
    case Step::AbortingRange:
    case Step::EndingRange:
        return true;
    default:
        return false;
    }
}

void FtpReply::start()
{
    if (step != Step::Done)
        session->open();
}

void FtpReply::handleReply(int code, const QByteArray &text)
{
    if (code < 200 && !inTransfer())
        return; // preliminary; the real reply follows
    switch (step) {
    case Step::LoggingIn:
    case Step::Draining:
    case Step::Done:
        return;
    case Step::Type:
        if (code >= 300)
            fail(ProtocolFailure, serverSaid("refused binary mode", code, text));
        else
            typeSet();
        return;
    case Step::Passive:
        openDataConnection(code, text);
        return;
    case Step::Connecting:
        if (code >= 400)
            fail(code < 500 ? TemporaryNetworkFailureError : ProtocolFailure,
                 serverSaid("gave up the data connection", code, text));
        return;
    default:
        transferReply(code, text);
        return;
    }
}

void FtpReply::send(Step next, const QByteArray &command)
{
    step = next;
    session->send(command);
}

void FtpReply::openPassive(qint64 limit)
{
    dataLimit = limit;
    send(Step::Passive, session->usesIPv6() ? "EPSV" : "PASV");
}

void FtpReply::openDataConnection(int code, const QByteArray &text)
{
    // Only the port is taken from the answer: the data must come from the
    // server already talked to.
    const quint16 port = Ftp::readPassivePort(code, text, session->usesIPv6());
    if (port == 0) {
        fail(ProtocolFailure, serverSaid("offered no data connection", code, text));
        return;
    }
    step = Step::Connecting;
    data.open(session, port, dataLimit);
}

void FtpReply::fail(NetworkError code, const QString &reason)
{
    if (step != Step::Done)
        finishWithError(code, reason);
}

void FtpReply::finishWithError(NetworkError code, const QString &reason)
{
    step = Step::Done;
    setError(code, reason);
    endSession();
    data.close();
    emit errorOccurred(code);
    setFinished(true);
    emit finished();
}

void FtpReply::conclude()
{
    step = Step::Done;
    endSession();
    setFinished(true);
    emit finished();
}

void FtpReply::endSession()
{
    // The reply's parent keeps the connection while it says goodbye.
    session->end(parent());
}

// "the server h:p <what> for <file>: <reply>", for the log.
QString FtpReply::serverSaid(const char *what, int code, const QByteArray &text) const
{
    return QStringLiteral("the server %1 %2 for %3: %4")
        .arg(server(), QLatin1String(what), fileName(), Ftp::replyText(code, text));
}

QString FtpReply::fileName() const
{
    return url().path(QUrl::FullyDecoded);
}

QString FtpReply::server() const
{
    return Ftp::serverName(url());
}
