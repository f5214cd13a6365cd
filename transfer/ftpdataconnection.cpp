#include "ftpdataconnection.h"

#include "ftpsession.h"
#include "socketreset.h"

#include <QSslSocket>

namespace {

// A store keeps at most this much queued on its socket.
constexpr qint64 UploadChunkSize = 256 * 1024;

// The receive window of a transfer that is cut off at a given byte: what
// the server sends beyond it is discarded, so the window bounds the waste.
constexpr int BoundedWindow = 32 * 1024;

// A TLS socket takes a new buffer for each read of the network and each
// decryption. Beyond this size each comes fresh from the system, a page
// fault per 4 KiB, which costs more than TLS itself; below it they are
// reused.
constexpr qint64 TlsReadBound = 64 * 1024;

} // namespace

FtpDataConnection::FtpDataConnection(QObject *parent)
    : QObject(parent)
{
}

FtpDataConnection::~FtpDataConnection()
{
    if (socket)
        socket->disconnect(this);
}

void FtpDataConnection::setReadBufferSize(qint64 size)
{
    readBufferBound = size;
    if (socket)
        socket->setReadBufferSize(size);
}

void FtpDataConnection::open(FtpSession *session, quint16 port, qint64 bound)
{
    // The last transfer's socket may still be in one of its own signals.
    if (socket) {
        socket->disconnect(this);
        socket.release()->deleteLater();
    }
    limit = bound;
    taken = 0;
    source = nullptr;
    sentBytes = 0;
    tlsError.clear();
    makeSocket(session);
    boundReadBuffer();
    connect(socket.get(), &QAbstractSocket::connected, this, [this] {
        // Qt takes socket options only once the connection stands; nothing
        // has been sent on it yet.
        if (limit >= 0)
            socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, BoundedWindow);
        emit connected();
    });
    connect(socket.get(), &QTcpSocket::readyRead, this, &FtpDataConnection::arrived);
    connect(socket.get(), &QTcpSocket::bytesWritten, this, [this](qint64 written) {
        sentBytes += written;
        emit sent(sentBytes);
        sendMore();
    });
    connect(socket.get(), &QAbstractSocket::disconnected, this, &FtpDataConnection::ended);
    connect(socket.get(), &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                // The server closing the connection is the end of a
                // retrieval, or of a store cut short; disconnected() follows.
                if (error != QAbstractSocket::RemoteHostClosedError)
                    emit failed();
            });
    socket->connectToHost(session->peerAddress(), port);
}

// After the server accepted the transfer command, as servers expect: some
// take what arrives on a data connection before it for the file.
void FtpDataConnection::secure()
{
    auto *secure = qobject_cast<QSslSocket *>(socket.get());
    if (secure && secure->mode() == QSslSocket::UnencryptedMode)
        secure->startClientEncryption();
}

void FtpDataConnection::makeSocket(FtpSession *session)
{
    if (!session->security().required) {
        socket = std::make_unique<QTcpSocket>();
        return;
    }
    auto secure = std::make_unique<QSslSocket>();
    secure->setSslConfiguration(session->dataConfiguration());
    secure->setPeerVerifyName(session->hostName());
    QSslSocket *raw = secure.get();
    connect(raw, &QSslSocket::encrypted, this, [this, session] { secured(session); });
    connect(raw, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            [this, raw, session](const QList<QSslError> &errors) {
                // With a pin, the pin alone decides, once the handshake is done.
                if (!session->security().pin.isEmpty())
                    return;
                QStringList texts;
                for (const QSslError &error : errors)
                    texts.append(error.errorString());
                tlsError = texts.join(QLatin1String("; "));
                raw->disconnect(this);
                raw->abort();
                emit failed();
            });
    connect(raw, &QSslSocket::encryptedBytesWritten, this, &FtpDataConnection::sendMore);
    connect(raw, &QSslSocket::newSessionTicketReceived, this,
            [session, raw] { session->takeTicket(raw->sslConfiguration().sessionTicket()); });
    socket = std::move(secure);
}

// The data must come from the server the session trusts.
void FtpDataConnection::secured(FtpSession *session)
{
    auto *secure = static_cast<QSslSocket *>(socket.get());
    tlsError = session->security().refusal(secure->peerCertificate());
    if (tlsError.isEmpty())
        return;
    close();
    emit failed();
}

bool FtpDataConnection::isConnected() const
{
    return socket && socket->state() == QAbstractSocket::ConnectedState;
}

void FtpDataConnection::close()
{
    if (!socket)
        return;
    socket->disconnect(this);
    resetOnClose(socket->socketDescriptor());
    socket->abort();
}

qint64 FtpDataConnection::bytesAvailable() const
{
    const qint64 waiting = socket ? socket->bytesAvailable() : 0;
    return limit < 0 ? waiting : qMin(waiting, left());
}

qint64 FtpDataConnection::read(char *buffer, qint64 maxSize)
{
    const qint64 wanted = limit < 0 ? maxSize : qMin(maxSize, left());
    if (!socket || wanted <= 0)
        return 0;
    const qint64 read = socket->read(buffer, wanted);
    if (read <= 0)
        return read;
    taken += read;
    boundReadBuffer();
    if (limit >= 0 && taken == limit)
        QMetaObject::invokeMethod(this, &FtpDataConnection::limitReached, Qt::QueuedConnection);
    return read;
}

// A bounded transfer takes no byte beyond its end into the socket's buffer:
// what the kernel holds beyond it is bound by the window, the rest waits at
// the server and is never sent.
void FtpDataConnection::boundReadBuffer()
{
    qint64 bound = readBufferBound;
    if (limit >= 0 && left() > 0)
        bound = bound > 0 ? qMin(bound, left()) : left();
    if (qobject_cast<QSslSocket *>(socket.get()))
        bound = bound > 0 ? qMin(bound, TlsReadBound) : TlsReadBound;
    if (socket && bound > 0)
        socket->setReadBufferSize(bound);
}

void FtpDataConnection::sendAll(QIODevice *from)
{
    if (source || !socket)
        return;
    source = from;
    sendMore();
}

void FtpDataConnection::sendMore()
{
    if (!source || !socket)
        return;
    // One buffer for the whole store, as a download keeps one.
    chunk.resize(int(UploadChunkSize));
    while (!source->atEnd() && socket->bytesToWrite() < UploadChunkSize) {
        const qint64 size = source->read(chunk.data(), chunk.size());
        if (size <= 0)
            break;
        socket->write(chunk.constData(), size);
    }
    if (!source->atEnd() || socket->bytesToWrite() > 0)
        return;
    // A closing socket reads no more: whatever the server sends meanwhile
    // stays unread, and the close becomes a reset that can take the file's
    // last bytes with it at the server. So it closes only once the system
    // holds every byte.
    auto *secure = qobject_cast<QSslSocket *>(socket.get());
    if (secure && secure->encryptedBytesToWrite() > 0)
        return;
    source = nullptr;
    emit allSent();
    // The server takes the end of the data connection as the end of the file.
    if (isConnected())
        socket->disconnectFromHost();
}

QString FtpDataConnection::errorString() const
{
    if (!tlsError.isEmpty())
        return tlsError;
    return socket ? socket->errorString() : QString();
}
