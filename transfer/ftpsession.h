#ifndef FTPSESSION_H
#define FTPSESSION_H

#include "ftpcontrolchannel.h"
#include "ftpsecurity.h"

#include <QHostAddress>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

// The control connection of one FTP session: it connects to the URL's
// server, reads the greeting, secures the connection when security asks for
// TLS (AUTH TLS, then PBSZ 0 and PROT P after the login) and logs in with
// the URL's account; then it carries the transfer's commands and replies
// until end() says QUIT.
class FtpSession : public QObject
{
    Q_OBJECT

public:
    FtpSession(const QUrl &url, const FtpSecurity &security, QObject *parent = nullptr);
    ~FtpSession() override;

    void open();
    void send(const QByteArray &command);
    // Where data connections go: the server already talked to, whatever
    // address a passive reply names.
    QHostAddress peerAddress() const;
    bool usesIPv6() const;

    const FtpSecurity &security() const { return tls; }
    // What a data connection starts TLS with: this session's settings and
    // the latest session ticket, so that the server sees its session resumed.
    QSslConfiguration dataConfiguration() const;
    // A data connection's own newer ticket, for the next one.
    void takeTicket(const QByteArray &ticket);
    QString hostName() const { return url.host(); }

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
    enum class Step {
        Connecting,
        Greeting,
        Securing, // AUTH TLS sent
        Handshake,
        User,
        Password,
        BufferSize, // PBSZ 0 sent
        Protection, // PROT P sent
        AwaitingTicket,
        LoggedIn,
        Ended
    };

    void readReplies();
    void handleReply(int code, const QByteArray &text);
    void greeted(int code, const QByteArray &text);
    void secured();
    void sendUser();
    void sendPassword();
    void accountAccepted();
    void protectionReply(int code, const QByteArray &text);
    void ready();
    void refuseLogin(int code, const QByteArray &text);
    void handshakeFailed(const QList<QSslError> &errors);
    void controlLost();
    void fail(QNetworkReply::NetworkError error, const QString &reason);
    QString fileName() const;
    QString server() const;

    QUrl url;
    FtpSecurity tls;
    QPointer<QTcpSocket> control;
    FtpControlChannel channel;
    Step step = Step::Connecting;
    QByteArray ticket;
    bool ticketReceived = false;
    QTimer ticketWait;
};

#endif // FTPSESSION_H
