#ifndef FTPTESTSERVER_H
#define FTPTESTSERVER_H

#include "testservice.h"

#include <QByteArrayList>
#include <QProcess>
#include <QString>

// Runs tests/support/ftpserver.py on 127.0.0.1 for the lifetime of the object:
// on Linux as a child process, on Windows (under Wine) through the test
// services of the Linux side (TestService).
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
        qint64 dropDataAfter = -1; // close the data connection only, answer 426
        qint64 stallAfter = -1; // stop sending after this many bytes, keep the session
        qint64 holdAfter = -1; // pause each transfer after this many bytes until release()
        qint64 cutAfter = -1; // close the data connection after this many bytes, answer 226
        int dropTimes = -1; // the four options above apply to this many transfers, -1: all
        QString replaceAfterCut; // moved over the file being sent after the first cut
        bool noRest = false; // refuse REST
        bool noMdtm = false; // refuse MDTM
        bool paddedSize = false; // answer SIZE in three lines, the middle one padded
        bool overrun = false; // go on sending zeros after a file's last byte
        int dripIntervalMs = 0; // send one byte per interval, 0 for no drip
        QString passiveAddress; // named in passive replies instead of the server's own
        qint64 storeReadsOnly = -1; // store this many bytes of an upload, close, answer 226
        bool storeEarly226 = false; // answer STOR with 150 and 226 at once, read nothing
        bool store226Without150 = false; // answer STOR with 226 alone, read nothing
        bool storeStranger = false; // a stranger's data connection comes first and is stored
        QString recordFile; // gets "<REST offset> <bytes sent>" per retrieval
        QStringList extra; // further options of the server's script, as it spells them
        // "vsftpd", "proftpd" or "pure-ftpd" (realftpd.py) instead of the
        // Python server; it takes root, user, password and extra only.
        QString realServer;
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

    quint16 port() const { return serverPort; }
    // Lets transfers paused by holdAfter go on, and keeps later ones from
    // pausing.
    bool release();

    // How often the server reported an event so far: "login-failed", "sent"
    // (a whole file), "incomplete" (a file not sent in full), "disconnect",
    // "held" (a transfer paused by holdAfter), "quit" (a client said QUIT),
    // "data-closed-in-order" (a cut-off retrieval ended by a FIN, not a reset).
    int eventCount(const QByteArray &name);
    // Waits (bounded) until the event has been reported count times in all.
    bool waitForEvent(const QByteArray &name, int count = 1, int timeoutMs = 30000);

    QString errorString() const { return error; }

    // What a server started with recordFile wrote there: the REST offset and
    // the bytes sent of each retrieval, in the order they ended.
    static QList<QPair<qint64, qint64>> recordedTransfers(const QString &recordFile);

    static QString scriptPath();
    // The server is a Linux program (Python with pyftpdlib): a Windows test
    // has it only when the test services are there.
    static bool available();
    static QString whyUnavailable();

private:
    // The server script and its command-line options.
    static QStringList arguments(const Options &options);
    bool waitForPort();
    bool running() const;
    // Where the server's lines arrive: its output, or the service's relay.
    QIODevice *channel();
    void readEvents();

    QProcess process;
    TestService service;
    QByteArrayList events;
    quint16 serverPort = 0;
    QString error;
};

#endif // FTPTESTSERVER_H
