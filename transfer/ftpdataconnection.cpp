#include "ftpdataconnection.h"

namespace {

// A store keeps at most this much queued on its socket.
constexpr qint64 UploadChunkSize = 256 * 1024;

// The receive window of a transfer that is cut off at a given byte: what
// the server sends beyond it is discarded, so the window bounds the waste.
constexpr int BoundedWindow = 32 * 1024;

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

void FtpDataConnection::open(const QHostAddress &server, quint16 port, qint64 bound)
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
    socket = std::make_unique<QTcpSocket>();
    if (readBufferBound > 0)
        socket->setReadBufferSize(readBufferBound);
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
    socket->connectToHost(server, port);
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
    if (limit >= 0 && taken == limit)
        QMetaObject::invokeMethod(this, &FtpDataConnection::limitReached, Qt::QueuedConnection);
    return read;
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
    while (!source->atEnd() && socket->bytesToWrite() < UploadChunkSize) {
        const QByteArray chunk = source->read(UploadChunkSize);
        if (chunk.isEmpty())
            break;
        socket->write(chunk);
    }
    if (!source->atEnd() || socket->bytesToWrite() > 0)
        return;
    source = nullptr;
    emit allSent();
    // The server takes the end of the data connection as the end of the file.
    if (isConnected())
        socket->disconnectFromHost();
}

QString FtpDataConnection::errorString() const
{
    return socket ? socket->errorString() : QString();
}
