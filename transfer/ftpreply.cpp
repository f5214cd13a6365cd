#include "ftpreply.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QTimer>

namespace {

constexpr quint16 DefaultFtpPort = 21;

// A reply longer than this is not an FTP control reply.
constexpr qint64 MaxLineLength = 64 * 1024;

// A store keeps at most this much queued on its data socket.
constexpr qint64 UploadChunkSize = 256 * 1024;

// How long a finished transfer's control connection waits for the answer to
// QUIT before it is closed anyway.
constexpr int QuitBoundMs = 2000;

// The server's texts go into the log; a hostile one must not flood it.
QString serverText(int code, const QByteArray &text)
{
    return QString::number(code) + QLatin1Char(' ')
        + QString::fromUtf8(text.left(512)).simplified();
}

// Says QUIT on a control connection whose transfer is over and closes it
// once the server answered, or after QuitBoundMs; the socket then deletes
// itself.
void closeAfterQuit(QTcpSocket *socket)
{
    QObject::connect(socket, &QIODevice::readyRead, socket, [socket] {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine(MaxLineLength);
            if (line.size() >= 4 && line.at(3) == ' ')
                socket->disconnectFromHost();
        }
    });
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, &QObject::deleteLater);
    QTimer::singleShot(QuitBoundMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->write("QUIT\r\n");
    // Out now: the event loop may not run again before the process ends.
    socket->flush();
}

} // namespace

FtpReply::FtpReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                   QIODevice *outgoingData, QObject *parent)
    : QNetworkReply(parent)
    , control(new QTcpSocket(this))
    , outgoing(outgoingData)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(operation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    connect(control, &QTcpSocket::readyRead, this, &FtpReply::readReplies);
    connect(control, &QAbstractSocket::errorOccurred, this, &FtpReply::controlLost);
    connect(control, &QAbstractSocket::disconnected, this, &FtpReply::controlLost);
    connect(&data, &QAbstractSocket::connected, this, &FtpReply::dataConnected);
    connect(&data, &QTcpSocket::readyRead, this, &FtpReply::dataArrived);
    connect(&data, &QTcpSocket::bytesWritten, this, [this](qint64 written) {
        delivered += written;
        emit uploadProgress(delivered, total);
        sendMoreData();
    });
    connect(&data, &QAbstractSocket::disconnected, this, &FtpReply::dataEnded);
    connect(&data, &QAbstractSocket::errorOccurred, this, &FtpReply::dataFailed);

    // Started from the event loop: whoever made the reply connects to it
    // first, and a refusal can be reported at once.
    QMetaObject::invokeMethod(this, &FtpReply::start, Qt::QueuedConnection);
}

FtpReply::~FtpReply()
{
    // The sockets go before QObject's own teardown and would report their end
    // to a reply that is half gone.
    if (control)
        control->disconnect(this);
    data.disconnect(this);
}

void FtpReply::abort()
{
    if (step != Step::Done)
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

void FtpReply::setResumeOffset(qint64 bytes)
{
    if (retrieving() && step < Step::Restart)
        offset = qMax<qint64>(0, bytes);
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

void FtpReply::start()
{
    if (step == Step::Done)
        return;
    if (operation() != QNetworkAccessManager::GetOperation
        && operation() != QNetworkAccessManager::PutOperation) {
        fail(ProtocolInvalidOperationError,
             QStringLiteral("FTP carries only downloads and uploads here, not for %1 on %2")
                 .arg(fileName(), server()));
        return;
    }
    // A line break would end a command early and start another one.
    const QUrl &address = url();
    for (const QString &argument :
         { address.userName(), address.password(), address.path(QUrl::FullyDecoded) }) {
        if (argument.contains(QLatin1Char('\r')) || argument.contains(QLatin1Char('\n'))) {
            fail(ProtocolInvalidOperationError,
                 QStringLiteral("a line break in the user name, password or path of %1 on %2")
                     .arg(fileName(), server()));
            return;
        }
    }
    if (!retrieving())
        total = outgoing ? outgoing->size() : 0;
    control->connectToHost(address.host(), quint16(address.port(DefaultFtpPort)));
}

void FtpReply::readReplies()
{
    while (control && step != Step::Done && control->canReadLine()) {
        QByteArray line = control->readLine(MaxLineLength);
        // Only the line break goes: a padded line inside a multi-line reply
        // is text, even when it starts with the code.
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        // A multi-line reply opens with "xyz-" and ends with "xyz ", the same
        // code; the lines between may hold anything.
        if (!pendingCode.isEmpty()) {
            if (line.startsWith(pendingCode + ' ')) {
                const int code = pendingCode.toInt();
                pendingCode.clear();
                handleReply(code, line.mid(4));
            }
            continue;
        }
        bool isNumber = false;
        const int code = line.left(3).toInt(&isNumber);
        if (line.size() < 3 || !isNumber)
            continue;
        if (line.size() > 3 && line.at(3) == '-')
            pendingCode = line.left(3);
        else
            handleReply(code, line.mid(4));
    }
    if (control && step != Step::Done && control->bytesAvailable() > MaxLineLength)
        fail(ProtocolFailure,
             QStringLiteral("the server %1 sent a reply that is not FTP for %2")
                 .arg(server(), fileName()));
}

void FtpReply::handleReply(int code, const QByteArray &text)
{
    if (code < 200 && !transferring())
        return; // preliminary; the real reply follows
    switch (step) {
    case Step::Greeting:
        if (code >= 300) {
            fail(ConnectionRefusedError,
                 QStringLiteral("the server %1 turned the connection for %2 away: %3")
                     .arg(server(), fileName(), serverText(code, text)));
            return;
        }
        send(Step::User, "USER " + url().userName().toUtf8());
        return;
    case Step::User:
        if (code == 230)
            loggedIn(); // no password asked
        else if (code == 331)
            send(Step::Password, "PASS " + url().password().toUtf8());
        else
            refuseLogin(code, text);
        return;
    case Step::Password:
        if (code < 300)
            loggedIn();
        else
            refuseLogin(code, text);
        return;
    case Step::Type:
        if (code >= 300) {
            fail(ProtocolFailure,
                 QStringLiteral("the server %1 refused binary mode for %2: %3")
                     .arg(server(), fileName(), serverText(code, text)));
            return;
        }
        if (retrieving())
            send(Step::Size, "SIZE " + url().path(QUrl::FullyDecoded).toUtf8());
        else
            askPassivePort();
        return;
    case Step::Size:
        learnSize(code, text);
        return;
    case Step::ModificationTime:
        learnTime(code, text);
        return;
    case Step::Passive:
        openDataConnection(code, text);
        return;
    case Step::Connecting:
        if (code >= 400)
            fail(UnknownNetworkError,
                 QStringLiteral("the server %1 gave up the data connection for %2: %3")
                     .arg(server(), fileName(), serverText(code, text)));
        return;
    case Step::Restart:
        restartReply(code, text);
        return;
    case Step::Requested:
    case Step::Moving:
    case Step::DataEnded:
    case Step::Confirmed:
        transferReply(code, text);
        return;
    case Step::Draining:
    case Step::Done:
        return; // the control connection is closed already
    }
}

void FtpReply::refuseLogin(int code, const QByteArray &text)
{
    fail(AuthenticationRequiredError,
         QStringLiteral("Logging in to %1 for %2 failed: %3")
             .arg(server(), fileName(), serverText(code, text)));
}

void FtpReply::loggedIn()
{
    send(Step::Type, "TYPE I");
}

void FtpReply::learnSize(int code, const QByteArray &text)
{
    bool ok = false;
    const qint64 size = text.trimmed().toLongLong(&ok);
    if (code == 213 && ok && size >= 0) {
        total = size;
        setHeader(QNetworkRequest::ContentLengthHeader, size);
        // A time is of use only beside a size: without one nothing resumes.
        send(Step::ModificationTime, "MDTM " + url().path(QUrl::FullyDecoded).toUtf8());
        return;
    }
    announceRemoteFile();
}

void FtpReply::learnTime(int code, const QByteArray &text)
{
    static const QRegularExpression timestamp(QStringLiteral("^\\d{14}(\\.\\d+)?$"));
    const QByteArray time = text.trimmed();
    if (code == 213 && timestamp.match(QString::fromLatin1(time)).hasMatch())
        remoteTime = time;
    announceRemoteFile();
}

void FtpReply::announceRemoteFile()
{
    // The reader may set the resume offset now.
    emit metaDataChanged();
    if (step != Step::Done)
        askPassivePort();
}

bool FtpReply::extendedPassive() const
{
    return control->peerAddress().protocol() == QAbstractSocket::IPv6Protocol;
}

void FtpReply::askPassivePort()
{
    send(Step::Passive, extendedPassive() ? "EPSV" : "PASV");
}

void FtpReply::openDataConnection(int code, const QByteArray &text)
{
    const bool extended = extendedPassive();
    // Only the port is taken from the answer; the address named there is
    // ignored, as the data must come from the server already talked to.
    static const QRegularExpression passiveAnswer(
        QStringLiteral("(\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)"));
    static const QRegularExpression extendedAnswer(QStringLiteral("\\|\\|\\|(\\d+)\\|"));
    const QRegularExpressionMatch match =
        (extended ? extendedAnswer : passiveAnswer).match(QString::fromLatin1(text));
    int port = -1;
    if (match.hasMatch() && code == (extended ? 229 : 227))
        port = extended ? match.captured(1).toInt()
                        : match.captured(5).toInt() * 256 + match.captured(6).toInt();
    if (port <= 0 || port > 65535) {
        fail(ProtocolFailure,
             QStringLiteral("the server %1 offered no data connection for %2: %3")
                 .arg(server(), fileName(), serverText(code, text)));
        return;
    }
    step = Step::Connecting;
    data.connectToHost(control->peerAddress(), quint16(port));
}

void FtpReply::dataConnected()
{
    if (step != Step::Connecting)
        return;
    // REST must come right before the transfer command.
    if (retrieving() && offset > 0)
        send(Step::Restart, "REST " + QByteArray::number(offset));
    else
        requestTransfer();
}

void FtpReply::restartReply(int code, const QByteArray &text)
{
    if (code != 350) {
        refusal = serverText(code, text);
        offset = 0;
    }
    requestTransfer();
}

void FtpReply::requestTransfer()
{
    const QByteArray path = url().path(QUrl::FullyDecoded).toUtf8();
    send(Step::Requested, (retrieving() ? "RETR " : "STOR ") + path);
}

void FtpReply::transferReply(int code, const QByteArray &text)
{
    if (code < 200) {
        if (step == Step::Requested)
            step = Step::Moving;
        sendMoreData();
        return;
    }
    if (code >= 300) {
        // 4xx: the transfer broke and may work again; 5xx: it never will.
        const NetworkError error = code < 500 ? TemporaryNetworkFailureError
            : retrieving()                    ? ContentNotFoundError
                                              : ContentAccessDenied;
        fail(error,
             retrieving() ? QStringLiteral("Downloading %1 from %2 failed: %3")
                                .arg(fileName(), server(), serverText(code, text))
                          : QStringLiteral("Uploading %1 to %2 failed: %3")
                                .arg(fileName(), server(), serverText(code, text)));
        return;
    }
    if (retrieving()) {
        if (step == Step::DataEnded)
            conclude();
        else
            step = Step::Confirmed;
        return;
    }
    // A confirmation before the client sent its last byte and closed cannot
    // be about the client's data.
    if (step != Step::DataEnded) {
        storeFailed(QStringLiteral("the server confirmed the file before it was sent (%1)")
                        .arg(serverText(code, text)));
        return;
    }
    conclude();
}

void FtpReply::send(Step next, const QByteArray &command)
{
    step = next;
    control->write(command + "\r\n");
}

void FtpReply::dataArrived()
{
    if (!retrieving() || step == Step::Done)
        return;
    emit downloadProgress(offset + delivered + data.bytesAvailable(), total);
    emit readyRead();
}

void FtpReply::sendMoreData()
{
    if (retrieving() || step != Step::Moving)
        return;
    while (outgoing && !outgoing->atEnd() && data.bytesToWrite() < UploadChunkSize) {
        const QByteArray chunk = outgoing->read(UploadChunkSize);
        if (chunk.isEmpty())
            break;
        data.write(chunk);
    }
    if ((outgoing && !outgoing->atEnd()) || data.bytesToWrite() > 0)
        return;
    if (delivered != total) {
        storeFailed(QStringLiteral("the data to upload ended early"));
        return;
    }
    // The server takes the end of the data connection as the end of the file.
    step = Step::DataEnded;
    data.disconnectFromHost();
}

void FtpReply::dataEnded()
{
    switch (step) {
    case Step::Restart:
        fail(RemoteHostClosedError,
             QStringLiteral("the server %1 closed the data connection for %2 before the "
                            "transfer began")
                 .arg(server(), fileName()));
        return;
    case Step::Requested:
    case Step::Moving:
        if (!retrieving()) {
            storeFailed(QStringLiteral("the server closed the data connection"));
            return;
        }
        // The server closing the data connection is how a retrieval ends.
        step = Step::DataEnded;
        return;
    case Step::Confirmed:
        conclude();
        return;
    case Step::Draining:
        // The reader takes the last bytes before the failure is reported.
        if (data.bytesAvailable() > 0)
            emit readyRead();
        finishWithError(drainedError, drainedReason);
        return;
    default:
        return; // a store's own close, or nothing left to end
    }
}

void FtpReply::controlLost()
{
    // Once the server has reported the transfer complete, the control
    // connection has nothing more to say.
    if (step == Step::Done || step == Step::Draining || step == Step::Confirmed)
        return;
    switch (control->error()) {
    case QAbstractSocket::ConnectionRefusedError:
        fail(ConnectionRefusedError,
             QStringLiteral("cannot connect to %1 for %2: %3")
                 .arg(server(), fileName(), control->errorString()));
        return;
    case QAbstractSocket::HostNotFoundError:
        fail(HostNotFoundError,
             QStringLiteral("cannot connect to %1 for %2: %3")
                 .arg(server(), fileName(), control->errorString()));
        return;
    case QAbstractSocket::SocketTimeoutError:
        fail(TimeoutError,
             QStringLiteral("the connection to %1 for %2 timed out: %3")
                 .arg(server(), fileName(), control->errorString()));
        return;
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::UnknownSocketError:
        fail(RemoteHostClosedError,
             QStringLiteral("the server %1 closed the connection during the transfer of %2")
                 .arg(server(), fileName()));
        return;
    default:
        fail(UnknownNetworkError,
             QStringLiteral("the connection to %1 for %2 failed: %3")
                 .arg(server(), fileName(), control->errorString()));
        return;
    }
}

void FtpReply::dataFailed()
{
    // A retrieval's data connection closed by the server is the end of the
    // file; disconnected() follows.
    if (retrieving() && data.error() == QAbstractSocket::RemoteHostClosedError)
        return;
    if (step == Step::Done || (!retrieving() && step == Step::DataEnded))
        return;
    if (!retrieving()) {
        storeFailed(QStringLiteral("the data connection failed: %1").arg(data.errorString()));
        return;
    }
    if (step == Step::Draining) {
        finishWithError(drainedError, drainedReason);
        return;
    }
    fail(UnknownNetworkError,
         QStringLiteral("the data connection to %1 for %2 failed: %3")
             .arg(server(), fileName(), data.errorString()));
}

void FtpReply::storeFailed(const QString &why)
{
    fail(ProtocolFailure,
         QStringLiteral("Uploading %1 to %2 failed after %3 of %4 bytes were sent: %5")
             .arg(fileName(), server())
             .arg(delivered)
             .arg(total)
             .arg(why));
}

void FtpReply::fail(NetworkError code, const QString &reason)
{
    if (step == Step::Done || step == Step::Draining)
        return;
    // What a retrieval's data connection already carries is part of the
    // file: it is read to the end first, so that a resumed try need not
    // fetch it again.
    const bool dataFlowing = step == Step::Requested || step == Step::Moving;
    if (retrieving() && dataFlowing && data.state() == QAbstractSocket::ConnectedState) {
        step = Step::Draining;
        drainedError = code;
        drainedReason = reason;
        control->abort();
        return;
    }
    finishWithError(code, reason);
}

void FtpReply::finishWithError(NetworkError code, const QString &reason)
{
    step = Step::Done;
    setError(code, reason);
    if (control)
        control->abort();
    data.abort();
    emit errorOccurred(code);
    setFinished(true);
    emit finished();
}

void FtpReply::conclude()
{
    step = Step::Done;
    quit();
    setFinished(true);
    emit finished();
}

void FtpReply::quit()
{
    // The control connection outlives the reply, so that saying goodbye
    // holds nobody up; the access manager owns it meanwhile.
    QTcpSocket *socket = control;
    control = nullptr;
    socket->disconnect(this);
    socket->setParent(parent());
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->deleteLater();
        return;
    }
    closeAfterQuit(socket);
}

QString FtpReply::fileName() const
{
    return url().path(QUrl::FullyDecoded);
}

QString FtpReply::server() const
{
    return url().host() + QLatin1Char(':') + QString::number(url().port(DefaultFtpPort));
}
