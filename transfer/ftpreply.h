#ifndef FTPREPLY_H
#define FTPREPLY_H

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>

// One FTP retrieval or store on a control connection of its own: USER, PASS,
// TYPE I, SIZE and MDTM (retrievals), PASV or EPSV, REST (a retrieval that
// resumes), RETR or STOR, QUIT.
//
// It honours setReadBufferSize(): the data socket stops reading when that
// much waits unread, so TCP holds the server back while the disk catches up.
// It connects the data connection to the control connection's peer whatever
// address a passive reply names, so a server cannot send the client
// elsewhere. A store succeeds only when the server confirmed it after every
// byte went out on the data connection it accepted and the client closed it.
class FtpReply : public QNetworkReply
{
    Q_OBJECT

public:
    FtpReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
             QIODevice *outgoingData, QObject *parent = nullptr);
    ~FtpReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }
    void setReadBufferSize(qint64 size) override;

    // The byte of the remote file a retrieval starts at. Set it while
    // metaDataChanged() tells the file's size (ContentLengthHeader) and
    // modificationTime(), before the transfer is asked for. It is 0 again
    // when the server refused to resume; restRefusal() then holds its answer.
    // Progress counts whole-file bytes, the offset included.
    void setResumeOffset(qint64 offset);
    qint64 resumeOffset() const { return offset; }
    QString restRefusal() const { return refusal; }
    // The file's time as MDTM reported it ("20261208123456"); empty when the
    // server did not tell.
    QByteArray modificationTime() const { return remoteTime; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    enum class Step {
        Greeting,
        User,
        Password,
        Type,
        Size,
        ModificationTime,
        Passive,
        Connecting, // to the passive port
        Restart, // REST sent; the transfer command follows whatever the answer
        Requested, // RETR or STOR sent, not accepted yet
        Moving, // accepted (1xx): the data flows
        // A retrieval's data connection ended, or a store's last byte went
        // out and the client closed it; the server's confirmation is awaited.
        DataEnded,
        Confirmed, // a retrieval the server confirmed while its data still arrives
        Draining, // a retrieval failed; what its data connection holds is read first
        Done
    };

    bool retrieving() const { return operation() == QNetworkAccessManager::GetOperation; }
    bool transferring() const { return step >= Step::Requested && step <= Step::Confirmed; }
    void start();
    void readReplies();
    void handleReply(int code, const QByteArray &text);
    void refuseLogin(int code, const QByteArray &text);
    void loggedIn();
    void learnSize(int code, const QByteArray &text);
    void learnTime(int code, const QByteArray &text);
    void announceRemoteFile();
    bool extendedPassive() const;
    void askPassivePort();
    void openDataConnection(int code, const QByteArray &text);
    void dataConnected();
    void restartReply(int code, const QByteArray &text);
    void requestTransfer();
    void transferReply(int code, const QByteArray &text);
    void send(Step next, const QByteArray &command);
    void dataArrived();
    void sendMoreData();
    void dataEnded();
    void controlLost();
    void dataFailed();
    void storeFailed(const QString &why);
    void fail(NetworkError code, const QString &reason);
    void finishWithError(NetworkError code, const QString &reason);
    void conclude();
    void quit();
    QString fileName() const;
    QString server() const;

    QTcpSocket *control; // a child; handed over to say QUIT once the transfer is done
    QTcpSocket data;
    QIODevice *outgoing;
    Step step = Step::Greeting;
    QByteArray pendingCode; // code of a multi-line reply still being read
    qint64 delivered = 0; // bytes handed to the reader, or sent for a store
    qint64 total = -1; // the size the server told, -1 while unknown
    qint64 offset = 0;
    QString refusal;
    QByteArray remoteTime;
    // Why a retrieval failed while its data connection was still read.
    NetworkError drainedError = NoError;
    QString drainedReason;
};

#endif // FTPREPLY_H
