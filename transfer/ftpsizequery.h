#ifndef FTPSIZEQUERY_H
#define FTPSIZEQUERY_H

#include <QByteArrayList>
#include <QObject>

QT_BEGIN_NAMESPACE
class QTcpSocket;
class QTimer;
class QUrl;
QT_END_NAMESPACE

// Asks an FTP server for the size of one file on a short control connection
// of its own: USER, PASS, TYPE I, SIZE, QUIT. Qt's FTP code asks only when
// the server's HELP lists SIZE, and keeps what it learns to itself otherwise.
class FtpSizeQuery : public QObject
{
    Q_OBJECT

public:
    explicit FtpSizeQuery(QObject *parent = nullptr);

    // The URL gives host, port, user name, password and the file's path.
    // finished() follows within timeoutMs, whatever the server does.
    void start(const QUrl &url, int timeoutMs);

    bool isFinished() const { return done; }
    // The size the server told, or -1 when it did not tell one.
    qint64 size() const { return fileSize; }

signals:
    void finished();

private:
    void readReplies();
    void handleReply(int code, const QByteArray &text);
    void sendNext();
    void finish(qint64 size);

    QTcpSocket *socket;
    QTimer *timer;
    // Commands still to send; each waits for the reply to the previous one.
    QByteArrayList commands;
    QByteArray current; // the command whose reply is awaited; empty for the greeting
    QByteArray pendingCode; // code of a multi-line reply still being read
    qint64 fileSize = -1;
    bool done = false;
};

#endif // FTPSIZEQUERY_H
