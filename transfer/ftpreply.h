#ifndef FTPREPLY_H
#define FTPREPLY_H

#include "ftpcontrolchannel.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTcpSocket>
#include <QVector>

#include <memory>

// Bytes [begin, end) of a remote file; end -1: to the end of the file.
struct ByteRange
{
    qint64 begin = 0;
    qint64 end = -1;

    bool isBounded() const { return end >= 0; }
    qint64 length() const { return end - begin; }
    bool operator==(const ByteRange &other) const
    {
        return begin == other.begin && end == other.end;
    }
};
using ByteRanges = QVector<ByteRange>;

// One FTP session for one retrieval or store: USER, PASS, TYPE I, SIZE and
// MDTM (retrievals), then per transfer PASV or EPSV, REST (a retrieval that
// does not start at byte 0), RETR or STOR; QUIT ends every session, failed
// ones too.
//
// A retrieval may ask for several ranges of the file, each on a data
// connection of its own within the one login; their bytes are read in turn.
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

    // The ranges a retrieval delivers, set while metaDataChanged() tells the
    // file's size (ContentLengthHeader) and modificationTime(), or while
    // rangesDelivered() says the last ones are read; the whole file unless
    // set. An empty list ends the session without a transfer. A range to the
    // end of the file is the last one; when the server refuses to resume it,
    // it starts at byte 0 and restRefusal() holds the answer. A bounded range
    // the server will not resume fails the retrieval.
    void setRanges(const ByteRanges &ranges);
    ByteRange currentRange() const { return range; }
    QString restRefusal() const { return refusal; }
    // The file's time as MDTM reported it ("20261208123456"); empty when the
    // server did not tell.
    QByteArray modificationTime() const { return remoteTime; }

signals:
    // Every byte of the ranges set so far has been read. Ranges set in
    // reply are fetched on; otherwise the session ends.
    void rangesDelivered();

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
        Restart, // REST sent; the transfer command follows
        Requested, // RETR or STOR sent, not accepted yet
        Moving, // accepted (1xx): the data flows
        // A retrieval's data connection ended, or a store's last byte went
        // out and the client closed it; the server's confirmation is awaited.
        DataEnded,
        Confirmed, // a retrieval the server confirmed while its data still arrives
        EndingRange, // a bounded range is read; the server's word on its end is awaited
        Draining, // a retrieval failed; what its data connection holds is read first
        Done
    };

    bool retrieving() const { return operation() == QNetworkAccessManager::GetOperation; }
    bool inTransfer() const;
    void start();
    void readReplies();
    void handleReply(int code, const QByteArray &text);
    void greeted(int code, const QByteArray &text);
    void refuseLogin(int code, const QByteArray &text);
    void loggedIn();
    void learnSize(int code, const QByteArray &text);
    void announceRemoteFile();
    void startRange();
    bool extendedPassive() const;
    void openDataConnection(int code, const QByteArray &text);
    void dataConnected();
    void restartReply(int code, const QByteArray &text);
    void requestTransfer();
    void transferReply(int code, const QByteArray &text);
    void send(Step next, const QByteArray &command);
    qint64 rangeLeft() const;
    void dataArrived();
    void sendMoreData();
    void dataEnded();
    void rangeComplete();
    void nextRange();
    void controlLost();
    void dataFailed();
    void storeFailed(const QString &why);
    void fail(NetworkError code, const QString &reason);
    void finishWithError(NetworkError code, const QString &reason);
    void conclude();
    void endSession();
    QString fileName() const;
    QString server() const;

    QPointer<QTcpSocket> control; // a child until the session ends
    FtpControlChannel channel;
    std::unique_ptr<QTcpSocket> data; // one per transfer
    QIODevice *outgoing;
    qint64 readBufferBound = 0;
    Step step = Step::Greeting;
    ByteRanges ranges { ByteRange() };
    int nextIndex = 0;
    ByteRange range; // the one being transferred
    qint64 readInRange = 0; // bytes of it handed to the reader
    bool rangeConfirmed = false; // the server's final reply on its transfer came
    qint64 delivered = 0; // bytes handed to the reader, or sent for a store
    qint64 total = -1; // the size the server told, -1 while unknown
    QString refusal;
    QByteArray remoteTime;
    // Why a retrieval failed while its data connection was still read.
    NetworkError drainedError = NoError;
    QString drainedReason;
};

#endif // FTPREPLY_H
