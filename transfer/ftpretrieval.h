#ifndef FTPRETRIEVAL_H
#define FTPRETRIEVAL_H

#include "ftpreply.h"

#include <QVector>

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

// An FTP retrieval: SIZE and MDTM, then per range REST (unless it starts at
// byte 0) and RETR. Several ranges of the file are read in turn within the
// one login, each on a data connection of its own; a bounded range ends its
// transfer by closing the data connection once its last byte is read, and
// ABOR unless the server said the transfer was over.
class FtpRetrieval : public FtpReply
{
    Q_OBJECT

public:
    explicit FtpRetrieval(const QNetworkRequest &request, const FtpSecurity &security = {},
                          QObject *parent = nullptr);

    // The ranges delivered, set while metaDataChanged() tells the file's size
    // (ContentLengthHeader) and modificationTime(), or while
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
    void typeSet() override;
    void dataConnected() override;
    void transferReply(int code, const QByteArray &text) override;
    void dataEnded() override;
    void dataFailed() override;
    void sessionLost(NetworkError code, const QString &reason) override;
    void fail(NetworkError code, const QString &reason) override;

private:
    void learnSize(int code, const QByteArray &text);
    void announceRemoteFile();
    void nextRange();
    void restartReply(int code, const QByteArray &text);
    void retrievalReply(int code, const QByteArray &text);
    void dataArrived();
    void rangeComplete();
    QString shortfall() const;

    ByteRanges ranges { ByteRange() };
    int nextIndex = 0;
    ByteRange range; // the one being transferred
    bool rangeConfirmed = false; // the server's final reply on its transfer came
    QString refusal;
    QByteArray remoteTime;
    // Why the retrieval failed while its data connection was still read.
    NetworkError drainedError = NoError;
    QString drainedReason;
};

#endif // FTPRETRIEVAL_H
