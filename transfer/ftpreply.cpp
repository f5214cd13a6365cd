#include "ftpreply.h"

#include "ftpprotocol.h"

#include <QHostAddress>

namespace {

// A store keeps at most this much queued on its data socket.
constexpr qint64 UploadChunkSize = 256 * 1024;

// How long a finished session waits for the answer to QUIT before its
// control connection is closed anyway.
constexpr int QuitBoundMs = 2000;

} // namespace

FtpReply::FtpReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                   QIODevice *outgoingData, QObject *parent)
    : QNetworkReply(parent)
    , control(new QTcpSocket(this))
    , channel(control)
    , outgoing(outgoingData)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(operation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    connect(control, &QTcpSocket::readyRead, this, &FtpReply::readReplies);
    connect(control, &QAbstractSocket::errorOccurred, this, &FtpReply::controlLost);
    connect(control, &QAbstractSocket::disconnected, this, &FtpReply::controlLost);

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
    if (data)
        data->disconnect(this);
}

void FtpReply::abort()
{
    if (step == Step::Done)
        return;
    // A server busy sending would take QUIT only once the transfer is over:
    // a session given up in the middle of one is cut instead.
    if (inTransfer() && step != Step::Confirmed && control) {
        control->disconnect(this);
        control->abort();
        control->deleteLater();
        control = nullptr;
        channel.setDevice(nullptr);
    }
    finishWithError(
        OperationCanceledError,
        QStringLiteral("the transfer of %1 from %2 was canceled").arg(fileName(), server()));
}

qint64 FtpReply::bytesAvailable() const
{
    qint64 waiting = data ? data->bytesAvailable() : 0;
    if (retrieving() && range.isBounded())
        waiting = qMin(waiting, rangeLeft());
    return QNetworkReply::bytesAvailable() + waiting;
}

void FtpReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    readBufferBound = size;
    if (data)
        data->setReadBufferSize(size);
}

void FtpReply::setRanges(const ByteRanges &wanted)
{
    if (!retrieving() || step == Step::Done)
        return;
    ranges.clear();
    for (const ByteRange &candidate : wanted) {
        if (candidate.begin < 0 || (candidate.isBounded() && candidate.end <= candidate.begin))
            continue;
        ranges.append(candidate);
        if (!candidate.isBounded())
            break;
    }
    nextIndex = 0;
}

qint64 FtpReply::readData(char *buffer, qint64 maxSize)
{
    // Read straight from the data socket, so its bound is the only buffer.
    qint64 wanted = maxSize;
    if (retrieving() && range.isBounded())
        wanted = qMin(wanted, rangeLeft());
    if (!data || wanted <= 0 || data->bytesAvailable() <= 0)
        return step == Step::Done ? -1 : 0;
    const qint64 read = data->read(buffer, wanted);
    if (read <= 0)
        return read;
    delivered += read;
    readInRange += read;
    if (retrieving() && range.isBounded() && rangeLeft() == 0)
        QMetaObject::invokeMethod(this, &FtpReply::rangeComplete, Qt::QueuedConnection);
    return read;
}

bool FtpReply::inTransfer() const
{
    switch (step) {
    case Step::Requested:
    case Step::Moving:
    case Step::DataEnded:
    case Step::Confirmed:
    case Step::EndingRange:
        return true;
    default:
        return false;
    }
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
    control->connectToHost(address.host(), quint16(address.port(Ftp::DefaultPort)));
}

void FtpReply::readReplies()
{
    FtpControlChannel::Reply reply;
    while (control && step != Step::Done) {
        const FtpControlChannel::Read read = channel.next(&reply);
        if (read == FtpControlChannel::Read::Nothing)
            return;
        if (read == FtpControlChannel::Read::NotFtp) {
            fail(ProtocolFailure,
                 QStringLiteral("the server %1 answers no FTP for %2: %3")
                     .arg(server(), fileName(), channel.errorString()));
            return;
        }
        handleReply(reply.code, reply.text);
    }
}

void FtpReply::handleReply(int code, const QByteArray &text)
{
    if (code < 200 && !inTransfer())
        return; // preliminary; the real reply follows
    switch (step) {
    case Step::Greeting:
        greeted(code, text);
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
                     .arg(server(), fileName(), Ftp::replyText(code, text)));
            return;
        }
        if (retrieving())
            send(Step::Size, "SIZE " + url().path(QUrl::FullyDecoded).toUtf8());
        else
            send(Step::Passive, extendedPassive() ? "EPSV" : "PASV");
        return;
    case Step::Size:
        learnSize(code, text);
        return;
    case Step::ModificationTime:
        remoteTime = Ftp::readModificationTime(code, text);
        announceRemoteFile();
        return;
    case Step::Passive:
        openDataConnection(code, text);
        return;
    case Step::Connecting:
        if (code >= 400)
            fail(code < 500 ? TemporaryNetworkFailureError : ProtocolFailure,
                 QStringLiteral("the server %1 gave up the data connection for %2: %3")
                     .arg(server(), fileName(), Ftp::replyText(code, text)));
        return;
    case Step::Restart:
        restartReply(code, text);
        return;
    case Step::Requested:
    case Step::Moving:
    case Step::DataEnded:
    case Step::Confirmed:
    case Step::EndingRange:
        transferReply(code, text);
        return;
    case Step::Draining:
    case Step::Done:
        return; // the session is over already
    }
}

void FtpReply::greeted(int code, const QByteArray &text)
{
    if (code >= 300) {
        // 421 and its kind: busy now, perhaps not in a moment.
        fail(code >= 400 && code < 500 ? TemporaryNetworkFailureError : ConnectionRefusedError,
             QStringLiteral("the server %1 turned the connection for %2 away: %3")
                 .arg(server(), fileName(), Ftp::replyText(code, text)));
        return;
    }
    send(Step::User, "USER " + url().userName().toUtf8());
}

void FtpReply::refuseLogin(int code, const QByteArray &text)
{
    fail(code >= 400 && code < 500 ? TemporaryNetworkFailureError : AuthenticationRequiredError,
         QStringLiteral("Logging in to %1 for %2 failed: %3")
             .arg(server(), fileName(), Ftp::replyText(code, text)));
}

void FtpReply::loggedIn()
{
    send(Step::Type, "TYPE I");
}

void FtpReply::learnSize(int code, const QByteArray &text)
{
    const Ftp::SizeAnswer answer = Ftp::readSize(code, text);
    if (answer.kind == Ftp::SizeAnswer::Impossible) {
        fail(ProtocolFailure,
             QStringLiteral("the server %1 announced an impossible size for %2: %3")
                 .arg(server(), fileName(), Ftp::replyText(code, text)));
        return;
    }
    if (answer.kind == Ftp::SizeAnswer::Unknown) {
        announceRemoteFile();
        return;
    }
    total = answer.size;
    setHeader(QNetworkRequest::ContentLengthHeader, total);
    // A time is of use only beside a size: without one nothing resumes.
    send(Step::ModificationTime, "MDTM " + url().path(QUrl::FullyDecoded).toUtf8());
}

void FtpReply::announceRemoteFile()
{
    // The reader may set the ranges now.
    emit metaDataChanged();
    if (step != Step::Done)
        nextRange();
}

void FtpReply::nextRange()
{
    if (nextIndex >= ranges.size()) {
        emit rangesDelivered();
        if (step == Step::Done)
            return;
    }
    if (nextIndex >= ranges.size()) {
        conclude();
        return;
    }
    range = ranges.at(nextIndex++);
    readInRange = 0;
    rangeConfirmed = false;
    send(Step::Passive, extendedPassive() ? "EPSV" : "PASV");
}

bool FtpReply::extendedPassive() const
{
    return control->peerAddress().protocol() == QAbstractSocket::IPv6Protocol;
}

void FtpReply::openDataConnection(int code, const QByteArray &text)
{
    // Only the port is taken from the answer: the data must come from the
    // server already talked to.
    const quint16 port = Ftp::readPassivePort(code, text, extendedPassive());
    if (port == 0) {
        fail(ProtocolFailure,
             QStringLiteral("the server %1 offered no data connection for %2: %3")
                 .arg(server(), fileName(), Ftp::replyText(code, text)));
        return;
    }
    if (data) {
        data->disconnect(this);
        data.release()->deleteLater();
    }
    data = std::make_unique<QTcpSocket>();
    if (readBufferBound > 0)
        data->setReadBufferSize(readBufferBound);
    connect(data.get(), &QAbstractSocket::connected, this, &FtpReply::dataConnected);
    connect(data.get(), &QTcpSocket::readyRead, this, &FtpReply::dataArrived);
    connect(data.get(), &QTcpSocket::bytesWritten, this, [this](qint64 written) {
        delivered += written;
        emit uploadProgress(delivered, total);
        sendMoreData();
    });
    connect(data.get(), &QAbstractSocket::disconnected, this, &FtpReply::dataEnded);
    connect(data.get(), &QAbstractSocket::errorOccurred, this, &FtpReply::dataFailed);
    step = Step::Connecting;
    data->connectToHost(control->peerAddress(), port);
}

void FtpReply::dataConnected()
{
    if (step != Step::Connecting)
        return;
    // REST must come right before the transfer command.
    if (retrieving() && range.begin > 0)
        send(Step::Restart, "REST " + QByteArray::number(range.begin));
    else
        requestTransfer();
}

void FtpReply::restartReply(int code, const QByteArray &text)
{
    if (code == 350) {
        requestTransfer();
        return;
    }
    refusal = Ftp::replyText(code, text);
    if (range.isBounded()) {
        fail(ProtocolInvalidOperationError,
             QStringLiteral("the server %1 will not send %2 from byte %3: %4")
                 .arg(server(), fileName())
                 .arg(range.begin)
                 .arg(refusal));
        return;
    }
    range.begin = 0;
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
    // A range the client cut off: whatever the server says, its transfer is over.
    if (step == Step::EndingRange) {
        nextRange();
        return;
    }
    if (code >= 300) {
        // 4xx: the transfer broke and may work again; 5xx: it never will.
        const NetworkError error = code < 500 ? TemporaryNetworkFailureError
            : retrieving()                    ? ContentNotFoundError
                                              : ContentAccessDenied;
        fail(error,
             retrieving() ? QStringLiteral("Downloading %1 from %2 failed: %3")
                                .arg(fileName(), server(), Ftp::replyText(code, text))
                          : QStringLiteral("Uploading %1 to %2 failed: %3")
                                .arg(fileName(), server(), Ftp::replyText(code, text)));
        return;
    }
    if (retrieving()) {
        rangeConfirmed = true;
        if (step == Step::DataEnded && !range.isBounded())
            conclude();
        else if (step != Step::DataEnded)
            step = Step::Confirmed;
        return;
    }
    // A confirmation before the client sent its last byte and closed cannot
    // be about the client's data.
    if (step != Step::DataEnded) {
        storeFailed(QStringLiteral("the server confirmed the file before it was sent (%1)")
                        .arg(Ftp::replyText(code, text)));
        return;
    }
    conclude();
}

void FtpReply::send(Step next, const QByteArray &command)
{
    step = next;
    channel.send(command);
}

qint64 FtpReply::rangeLeft() const
{
    return range.isBounded() ? range.length() - readInRange : -1;
}

void FtpReply::dataArrived()
{
    if (!retrieving() || step == Step::Done)
        return;
    emit downloadProgress(range.begin + readInRange + data->bytesAvailable(), total);
    emit readyRead();
}

void FtpReply::sendMoreData()
{
    if (retrieving() || step != Step::Moving)
        return;
    while (outgoing && !outgoing->atEnd() && data->bytesToWrite() < UploadChunkSize) {
        const QByteArray chunk = outgoing->read(UploadChunkSize);
        if (chunk.isEmpty())
            break;
        data->write(chunk);
    }
    if ((outgoing && !outgoing->atEnd()) || data->bytesToWrite() > 0)
        return;
    if (delivered != total) {
        storeFailed(QStringLiteral("the data to upload ended early"));
        return;
    }
    // The server takes the end of the data connection as the end of the file.
    step = Step::DataEnded;
    data->disconnectFromHost();
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
    case Step::Confirmed:
        if (!retrieving()) {
            storeFailed(QStringLiteral("the server closed the data connection"));
            return;
        }
        // The server closing the data connection is how a retrieval ends; a
        // bounded range ends when the reader has taken its last byte.
        if (range.isBounded() && data->bytesAvailable() < rangeLeft()) {
            fail(RemoteHostClosedError,
                 QStringLiteral("the server %1 ended the data connection for %2 after %3 of the "
                                "%4 bytes asked for from byte %5")
                     .arg(server(), fileName())
                     .arg(readInRange + data->bytesAvailable())
                     .arg(range.length())
                     .arg(range.begin));
            return;
        }
        if (step == Step::Confirmed && !range.isBounded())
            conclude();
        else if (step != Step::Confirmed)
            step = Step::DataEnded;
        return;
    case Step::Draining:
        // The reader takes the last bytes before the failure is reported.
        if (data->bytesAvailable() > 0)
            emit readyRead();
        finishWithError(drainedError, drainedReason);
        return;
    default:
        return; // a store's own close, or nothing left to end
    }
}

// The reader has taken every byte of a bounded range.
void FtpReply::rangeComplete()
{
    if (step == Step::Done)
        return;
    if (step == Step::Draining) {
        finishWithError(drainedError, drainedReason);
        return;
    }
    // What the server sends beyond the range is not wanted.
    data->disconnect(this);
    data->abort();
    if (rangeConfirmed)
        nextRange();
    else
        step = Step::EndingRange;
}

void FtpReply::controlLost()
{
    // Once the server has reported the file complete, the control connection
    // has nothing more to say.
    if (step == Step::Done || step == Step::Draining
        || (step == Step::Confirmed && !range.isBounded()))
        return;
    const QString reason = control->errorString();
    switch (control->error()) {
    case QAbstractSocket::ConnectionRefusedError:
        fail(ConnectionRefusedError,
             QStringLiteral("cannot connect to %1 for %2: %3").arg(server(), fileName(), reason));
        return;
    case QAbstractSocket::HostNotFoundError:
        fail(HostNotFoundError,
             QStringLiteral("cannot connect to %1 for %2: %3").arg(server(), fileName(), reason));
        return;
    case QAbstractSocket::SocketTimeoutError:
        fail(TimeoutError,
             QStringLiteral("the connection to %1 for %2 timed out: %3")
                 .arg(server(), fileName(), reason));
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
                 .arg(server(), fileName(), reason));
        return;
    }
}

void FtpReply::dataFailed()
{
    // A retrieval's data connection closed by the server is the end of the
    // file; disconnected() follows.
    if (retrieving() && data->error() == QAbstractSocket::RemoteHostClosedError)
        return;
    if (step == Step::Done || step == Step::EndingRange
        || (!retrieving() && step == Step::DataEnded))
        return;
    if (!retrieving()) {
        storeFailed(QStringLiteral("the data connection failed: %1").arg(data->errorString()));
        return;
    }
    if (step == Step::Draining) {
        finishWithError(drainedError, drainedReason);
        return;
    }
    // A passive port that takes no connection will not take the next one.
    fail(step == Step::Connecting ? ProtocolFailure : UnknownNetworkError,
         QStringLiteral("the data connection to %1 for %2 failed: %3")
             .arg(server(), fileName(), data->errorString()));
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
    if (retrieving() && step == Step::Moving && data
        && data->state() == QAbstractSocket::ConnectedState) {
        step = Step::Draining;
        drainedError = code;
        drainedReason = reason;
        endSession();
        return;
    }
    finishWithError(code, reason);
}

void FtpReply::finishWithError(NetworkError code, const QString &reason)
{
    step = Step::Done;
    setError(code, reason);
    endSession();
    if (data)
        data->abort();
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

// The control connection outlives the reply to say QUIT, so that saying
// goodbye holds nobody up; the reply's parent owns it meanwhile.
void FtpReply::endSession()
{
    if (!control)
        return;
    QTcpSocket *socket = control;
    control = nullptr;
    channel.setDevice(nullptr);
    socket->disconnect(this);
    socket->setParent(parent());
    FtpControlChannel::quit(socket, QuitBoundMs);
}

QString FtpReply::fileName() const
{
    return url().path(QUrl::FullyDecoded);
}

QString FtpReply::server() const
{
    return Ftp::serverName(url());
}
