#ifndef FTPSESSION_H
#define FTPSESSION_H

#include "ftpcontrolchannel.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QUrl>

// The control connection of one FTP session: it connects to the URL's
// server, reads the greeting and logs in with the URL's account; then it
// carries the transfer's commands and replies until end() says QUIT.
class FtpSession : public QObject
{
    Q_OBJECT

public:
    explicit FtpSession(const QUrl &url, QObject *parent = nullptr);
    ~FtpSession() override;

    void open();
    void send(const QByteArray &command);
    bool isOpen() const { return control && step != Step::Ended; }
    // Where data connections go: the server already talked to, whatever
    // address a passive reply names.
    QHostAddress peerAddress() const;
    bool usesIPv6() const;

    // Says QUIT and closes once the server answered, or after a bound; the
    // connection then lives on under keeper, so that saying goodbye holds
    // nobody up.
    void end(QObject *keeper);
    // Closes at once: a server busy sending would take QUIT only once its
    // transfer is over.
    void cut();

signals:
    void loggedIn();
    // Every reply after the login, preliminary ones included.
    void replied(int code, const QByteArray &text);
    void failed(QNetworkReply::NetworkError error, const QString &reason);

private:
    enum class Step { Connecting, Greeting, User, Password, LoggedIn, Ended };

    void readReplies();
    void handleReply(int code, const QByteArray &text);
    void greeted(int code, const QByteArray &text);
    void refuseLogin(int code, const QByteArray &text);
    void controlLost();
    void fail(QNetworkReply::NetworkError error, const QString &reason);
    QString fileName() const;
    QString server() const;

    QUrl url;
    QPointer<QTcpSocket> control;
    FtpControlChannel channel;
    Step step = Step::Connecting;
};

#endif // FTPSESSION_H
