#ifndef FTPTESTSERVER_H
#define FTPTESTSERVER_H

#include <QProcess>
#include <QString>

// Runs tests/support/ftpserver.py on 127.0.0.1 for the lifetime of the object.
class FtpTestServer
{
public:
    struct Options
    {
        QString root; // folder served to the account
        quint16 port = 0; // 0: the server picks a free port
        qint64 throttle = 0; // bytes per second sent, 0 for no limit
        bool noSize = false; // refuse SIZE
        qint64 dropAfter = -1; // drop the session after this many bytes sent
        QString user = QStringLiteral("velmorapro");
        QString password = QStringLiteral("qz482");
    };

    FtpTestServer() = default;
    ~FtpTestServer();
    FtpTestServer(const FtpTestServer &) = delete;
    FtpTestServer &operator=(const FtpTestServer &) = delete;

    // Starts the server and waits (bounded) until it listens. On failure,
    // errorString() says why.
    bool start(const Options &options);
    void stop();

    quint16 port() const { return m_port; }
    QString errorString() const { return m_error; }

    static QString scriptPath();

private:
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

#endif // FTPTESTSERVER_H
