#ifndef FTPDATACONNECTION_H
#define FTPDATACONNECTION_H

#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>

#include <memory>

class FtpSession;

// The data connection of one FTP transfer, on a socket of its own, to the
// session's server, encrypted when the session is, resuming its TLS
// session. A retrieval reads what the server sends, at most limit bytes of
// it; a store sends a device to its end and closes (after TLS's
// close-notify), which tells the server the file is complete.
class FtpDataConnection : public QObject
{
    Q_OBJECT

public:
    explicit FtpDataConnection(QObject *parent = nullptr);
    ~FtpDataConnection() override;

    // The socket stops reading when this much waits unread, so TCP holds
    // the server back while the reader catches up.
    void setReadBufferSize(qint64 size);
    // Connects to the passive port for a new transfer; limit -1: no bound.
    void open(FtpSession *session, quint16 port, qint64 limit = -1);
    bool isConnected() const;
    // Starts TLS on an encrypted session's connection; the transfer's bytes
    // wait until it stands.
    void secure();
    // Discards the connection and whatever waits on it.
    void close();

    qint64 bytesAvailable() const;
    qint64 read(char *buffer, qint64 maxSize);
    qint64 bytesRead() const { return taken; }
    // Bytes of the limit not read yet; -1 without a limit.
    qint64 left() const { return limit < 0 ? -1 : limit - taken; }

    // Sends source from where it stands to its end, then closes.
    void sendAll(QIODevice *source);
    qint64 bytesSent() const { return sentBytes; }

    QString errorString() const;

signals:
    void connected();
    void arrived();
    // The reader has taken the limit's last byte; emitted from the event loop.
    void limitReached();
    // The server closed the connection, or a store's close is done.
    void ended();
    void sent(qint64 bytesSent);
    // A store's last byte went out; the connection closes next.
    void allSent();
    void failed();

private:
    void makeSocket(FtpSession *session);
    void secured(FtpSession *session);
    void boundReadBuffer();
    void sendMore();

    std::unique_ptr<QTcpSocket> socket;
    QString tlsError; // why TLS failed on it, when it did
    qint64 readBufferBound = 0;
    qint64 limit = -1;
    qint64 taken = 0;
    QIODevice *source = nullptr;
    QByteArray chunk; // what a store moves from its source to the socket
    qint64 sentBytes = 0;
};

#endif // FTPDATACONNECTION_H
