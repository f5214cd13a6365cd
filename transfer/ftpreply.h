#ifndef FTPREPLY_H
#define FTPREPLY_H

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>

// One FTP retrieval or store on a control connection of its own: USER, PASS,
// TYPE I, SIZE (retrievals), PASV or EPSV, RETR or STOR, QUIT.
//
// Unlike Qt's own FTP code it honours setReadBufferSize(): the data socket
// stops reading when that much waits unread, so TCP holds the server back
// while the disk catches up. It connects the data connection to the control
// connection's peer whatever address a passive reply names, so a server
// cannot send the client elsewhere.
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

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    enum class Step { Greeting, User, Password, Type, Size, Passive, Transfer, Done };

    bool retrieving() const { return operation() == QNetworkAccessManager::GetOperation; }
    void readReplies();
    void handleReply(int code, const QByteArray &text);
    void loggedIn();
    bool extendedPassive() const;
    void askPassivePort();
    void openDataConnection(int code, const QByteArray &text);
    void transferReply(int code, const QByteArray &text);
    void start();
    void send(Step next, const QByteArray &command);
    void dataArrived();
    void sendMoreData();
    void dataEnded();
    void controlLost();
    void dataFailed();
    void concludeIfDone();
    void fail(NetworkError code, const QString &reason);
    void conclude();
    QString target() const;

    QTcpSocket control;
    QTcpSocket data;
    QIODevice *outgoing;
    Step step = Step::Greeting;
    QByteArray pendingCode; // code of a multi-line reply still being read
    qint64 delivered = 0; // bytes handed to the reader, or sent for a store
    qint64 total = -1; // the size the server told, -1 while unknown
    bool transferAccepted = false; // the server answered RETR or STOR with 1xx
    bool serverDone = false; // the server reported the transfer complete
    bool dataDone = false; // the data connection ended
};

#endif // FTPREPLY_H
