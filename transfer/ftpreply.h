#ifndef FTPREPLY_H
#define FTPREPLY_H

#include "ftpdataconnection.h"
#include "ftpsession.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

// One FTP session for one transfer: the login (FtpSession), TYPE I, then a
// passive data connection per transfer (PASV or EPSV), which is always
// connected to the server the session talks to, whatever address a passive
// reply names, so that a server cannot send the client elsewhere. QUIT ends
// every session, failed ones too; one given up in the middle of a transfer
// is cut instead. What is transferred is the subclass's: FtpRetrieval,
// FtpStore.
class FtpReply : public QNetworkReply
{
    Q_OBJECT

public:
    ~FtpReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }
    // The data socket stops reading when this much waits unread, so TCP
    // holds the server back while the disk catches up.
    void setReadBufferSize(qint64 size) override;

protected:
    enum class Step {
        LoggingIn,
        Type,
        Size,
        ModificationTime,
        Passive,
        Connecting, // to the passive port
        Restart, // REST sent; the transfer command follows
        Requested, // RETR or STOR sent, not accepted yet
        Moving, // accepted (1xx): the data flows
        // A retrieval's data connection ended, or a store's last byte went
        // out and the client closed it; the server's confirmation is awaited.
        DataEnded,
        Confirmed, // a retrieval the server confirmed while its data still arrives
        AbortingRange, // a bounded range is read; ABOR went out, its first reply is awaited
        EndingRange, // the server left the transfer; NOOP went out, its reply is awaited
        Draining, // a retrieval failed; what its data connection holds is read first
        Done
    };

    FtpReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
             const FtpSecurity &security, QObject *parent);

    qint64 readData(char *buffer, qint64 maxSize) override;

    // Binary mode is set: the transfer asks for what it needs, then for a
    // data connection with openPassive().
    virtual void typeSet() = 0;
    // The data connection is up: the transfer command follows.
    virtual void dataConnected() = 0;
    // A reply in the steps that belong to the transfer.
    virtual void transferReply(int code, const QByteArray &text) = 0;
    virtual void dataEnded() = 0;
    virtual void dataFailed() = 0;
    virtual void sessionLost(NetworkError code, const QString &reason) { fail(code, reason); }
    virtual void fail(NetworkError code, const QString &reason);

    bool inTransfer() const;
    void send(Step next, const QByteArray &command);
    // Asks for a data connection that carries at most limit bytes (-1: all).
    void openPassive(qint64 limit = -1);
    void finishWithError(NetworkError code, const QString &reason);
    void conclude();
    void endSession();
    QString serverSaid(const char *what, int code, const QByteArray &text) const;
    QString fileName() const;
    QString server() const;

    FtpSession *session; // a child
    FtpDataConnection data;
    Step step = Step::LoggingIn;
    qint64 delivered = 0; // bytes handed to the reader, or sent for a store
    qint64 total = -1; // the file's size, -1 while unknown

private:
    void start();
    void handleReply(int code, const QByteArray &text);
    void openDataConnection(int code, const QByteArray &text);

    qint64 dataLimit = -1;
};

#endif // FTPREPLY_H
