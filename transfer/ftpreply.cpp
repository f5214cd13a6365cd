#include "ftpreply.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

constexpr quint16 DefaultFtpPort = 21;

// A reply longer than this is not an FTP control reply.
constexpr qint64 MaxLineLength = 64 * 1024;

// A store keeps at most this much queued on its data socket.
constexpr qint64 UploadChunkSize = 256 * 1024;

// The server's texts go into the log; a hostile one must not flood it.
QString serverText(int code, const QByteArray &text)
{
    return QString::number(code) + QLatin1Char(' ')
        + QString::fromUtf8(text.left(512)).simplified();
}

} // namespace

FtpReply::FtpReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                   QIODevice *outgoingData, QObject *parent)
    : QNetworkReply(parent)
    , outgoing(outgoingData)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(operation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    connect(&control, &QTcpSocket::readyRead, this, &FtpReply::readReplies);
    connect(&control, &QAbstractSocket::errorOccurred, this, &FtpReply::controlLost);
    connect(&control, &QAbstractSocket::disconnected, this, &FtpReply::controlLost);
    connect(&data, &QAbstractSocket::connected, this, [this] {
        const QByteArray path = url().path(QUrl::FullyDecoded).toUtf8();
        send(Step::Transfer, (retrieving() ? "RETR " : "STOR ") + path);
    });
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
    control.disconnect(this);
    data.disconnect(this);
}

void FtpReply::abort()
{
    fail(OperationCanceledError, QStringLiteral("Operation canceled"));
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

void FtpReply::start()
{
    if (step == Step::Done)
        return;
    if (operation() != QNetworkAccessManager::GetOperation
        && operation() != QNetworkAccessManager::PutOperation) {
        fail(ProtocolInvalidOperationError,
             QStringLiteral("FTP carries only downloads and uploads here"));
        return;
    }
    // A line break would end a command early and start another one.
    const QUrl &address = url();
    for (const QString &argument :
         { address.userName(), address.password(), address.path(QUrl::FullyDecoded) }) {
        if (argument.contains(QLatin1Char('\r')) || argument.contains(QLatin1Char('\n'))) {
            fail(ProtocolInvalidOperationError,
                 QStringLiteral("a line break in the user name, password or path of %1")
                     .arg(target()));
            return;
        }
    }
    if (!retrieving())
        total = outgoing ? outgoing->size() : 0;
    control.connectToHost(address.host(), quint16(address.port(DefaultFtpPort)));
}

void FtpReply::readReplies()
{
    while (step != Step::Done && control.canReadLine()) {
        const QByteArray line = control.readLine(MaxLineLength).trimmed();
        // A multi-line reply opens with "xyz-" and ends with "xyz ", the same
        // code; the lines between may hold anything.
        if (!pendingCode.isEmpty()) {
            if (line == pendingCode || line.startsWith(pendingCode + ' ')) {
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
    if (step != Step::Done && control.bytesAvailable() > MaxLineLength)
        fail(ProtocolFailure, QStringLiteral("the server's reply is not FTP"));
}

void FtpReply::handleReply(int code, const QByteArray &text)
{
    if (step == Step::Transfer) {
        transferReply(code, text);
        return;
    }
    if (code < 200)
        return; // preliminary; the real reply follows
    const QUrl &address = url();
    switch (step) {
    case Step::Greeting:
        if (code >= 300) {
            fail(ConnectionRefusedError,
                 QStringLiteral("the server at %1 turned the connection away: %2")
                     .arg(address.host(), serverText(code, text)));
            return;
        }
        send(Step::User, "USER " + address.userName().toUtf8());
        return;
    case Step::User:
        if (code == 230) {
            loggedIn(); // no password asked
            return;
        }
        if (code == 331) {
            send(Step::Password, "PASS " + address.password().toUtf8());
            return;
        }
        break;
    case Step::Password:
        if (code < 300) {
            loggedIn();
            return;
        }
        break;
    case Step::Type:
        if (code >= 300) {
            fail(ProtocolFailure,
                 QStringLiteral("the server refused binary mode: %1").arg(serverText(code, text)));
            return;
        }
        if (retrieving()) {
            send(Step::Size, "SIZE " + address.path(QUrl::FullyDecoded).toUtf8());
            return;
        }
        askPassivePort();
        return;
    case Step::Size: {
        bool ok = false;
        const qint64 size = text.trimmed().toLongLong(&ok);
        if (code == 213 && ok && size >= 0) {
            total = size;
            setHeader(QNetworkRequest::ContentLengthHeader, size);
            emit metaDataChanged();
        }
        askPassivePort();
        return;
    }
    case Step::Passive:
        openDataConnection(code, text);
        return;
    case Step::Transfer:
    case Step::Done:
        return;
    }
    fail(AuthenticationRequiredError,
         QStringLiteral("Logging in to %1 failed: %2").arg(address.host(), serverText(code, text)));
}

void FtpReply::loggedIn()
{
    send(Step::Type, "TYPE I");
}

bool FtpReply::extendedPassive() const
{
    return control.peerAddress().protocol() == QAbstractSocket::IPv6Protocol;
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
    static const QRegularExpression passive(
        QStringLiteral("(\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)"));
    static const QRegularExpression extendedPassive(QStringLiteral("\\|\\|\\|(\\d+)\\|"));
    const QRegularExpressionMatch match =
        (extended ? extendedPassive : passive).match(QString::fromLatin1(text));
    int port = -1;
    if (match.hasMatch() && code == (extended ? 229 : 227))
        port = extended ? match.captured(1).toInt()
                        : match.captured(5).toInt() * 256 + match.captured(6).toInt();
    if (port <= 0 || port > 65535) {
        fail(ProtocolFailure,
             QStringLiteral("the server offered no data connection: %1")
                 .arg(serverText(code, text)));
        return;
    }
    data.connectToHost(control.peerAddress(), quint16(port));
}

void FtpReply::transferReply(int code, const QByteArray &text)
{
    if (code < 200) {
        transferAccepted = true;
        sendMoreData();
        return;
    }
    if (code >= 300) {
        const NetworkError error = code < 500 ? ProtocolFailure
            : retrieving()                    ? ContentNotFoundError
                                              : ContentAccessDenied;
        fail(error,
             QStringLiteral("%1 %2 failed: %3")
                 .arg(retrieving() ? QStringLiteral("Downloading") : QStringLiteral("Uploading"),
                      target(), serverText(code, text)));
        return;
    }
    serverDone = true;
    concludeIfDone();
}

void FtpReply::send(Step next, const QByteArray &command)
{
    step = next;
    control.write(command + "\r\n");
}

void FtpReply::dataArrived()
{
    if (step == Step::Done || !retrieving())
        return;
    emit downloadProgress(delivered + data.bytesAvailable(), total);
    emit readyRead();
}

void FtpReply::sendMoreData()
{
    if (step == Step::Done || retrieving() || !transferAccepted || dataDone)
        return;
    while (outgoing && !outgoing->atEnd() && data.bytesToWrite() < UploadChunkSize) {
        const QByteArray chunk = outgoing->read(UploadChunkSize);
        if (chunk.isEmpty())
            break;
        data.write(chunk);
    }
    // The server takes the end of the data connection as the end of the file.
    if ((!outgoing || outgoing->atEnd()) && data.bytesToWrite() == 0)
        data.disconnectFromHost();
}

void FtpReply::dataEnded()
{
    if (step == Step::Done || dataDone)
        return;
    dataDone = true;
    concludeIfDone();
}

void FtpReply::controlLost()
{
    // Once the server has reported the transfer complete, the control
    // connection has nothing more to say.
    if (step == Step::Done || serverDone)
        return;
    switch (control.error()) {
    case QAbstractSocket::ConnectionRefusedError:
        fail(ConnectionRefusedError, control.errorString());
        return;
    case QAbstractSocket::HostNotFoundError:
        fail(HostNotFoundError, control.errorString());
        return;
    case QAbstractSocket::SocketTimeoutError:
        fail(TimeoutError, control.errorString());
        return;
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::UnknownSocketError:
        fail(RemoteHostClosedError,
             QStringLiteral("the server %1 closed the connection").arg(url().host()));
        return;
    default:
        fail(UnknownNetworkError, control.errorString());
        return;
    }
}

void FtpReply::dataFailed()
{
    // The server closing the data connection is how a retrieval ends.
    if (step == Step::Done || data.error() == QAbstractSocket::RemoteHostClosedError)
        return;
    fail(data.error() == QAbstractSocket::ConnectionRefusedError ? ConnectionRefusedError
                                                                 : UnknownNetworkError,
         QStringLiteral("the data connection to %1 failed: %2")
             .arg(url().host(), data.errorString()));
}

void FtpReply::concludeIfDone()
{
    if (step == Step::Done || !serverDone || !dataDone)
        return;
    conclude();
}

void FtpReply::conclude()
{
    step = Step::Done;
    if (control.state() == QAbstractSocket::ConnectedState) {
        control.write("QUIT\r\n");
        control.disconnectFromHost();
    }
    setFinished(true);
    emit finished();
}

void FtpReply::fail(NetworkError code, const QString &reason)
{
    if (step == Step::Done)
        return;
    step = Step::Done;
    setError(code, reason);
    control.abort();
    data.abort();
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    emit errorOccurred(code);
#else
    emit error(code);
#endif
    setFinished(true);
    emit finished();
}

QString FtpReply::target() const
{
    return url().toDisplayString(QUrl::RemovePassword);
}
