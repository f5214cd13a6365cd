#ifndef TESTSERVICE_H
#define TESTSERVICE_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTcpSocket>

// One request to tests/support/testservices.py, which runs the test FTP
// server and the minisign tool on the Linux side of a Windows test under
// Wine: Wine starts Linux programs, but gives no handle to wait for them and
// no pipes to their output. scripts/windows.sh starts the service and names
// it in VLM_TEST_SERVICES ("127.0.0.1:PORT"); each request and the output of
// the program it runs travel over one loopback connection.
class TestService
{
public:
    TestService() = default;
    ~TestService();
    TestService(const TestService &) = delete;
    TestService &operator=(const TestService &) = delete;

    // Asks the service to run program ("ftpserver", "minisign" or "chattr")
    // with the arguments, Windows paths among them passed as their Linux
    // names.
    bool start(const QString &program, const QStringList &arguments, int timeoutMs = 10000);
    // The program's output as the service relays it, ending on a line
    // "EXIT <code>" once the program has ended.
    QIODevice *channel() { return &socket; }
    bool isOpen() const { return socket.state() == QAbstractSocket::ConnectedState; }
    bool send(const QByteArray &line);
    // Has the service stop the program, and waits (bounded) until it has.
    void finish(int timeoutMs = 10000);
    // Waits (bounded) until the program has ended on its own.
    bool waitForExit(int timeoutMs, int *exitCode, QByteArray *output);

    QString errorString() const { return error; }

    static bool available();
    static QString whyUnavailable();
    // The Linux name of a Windows path such as "C:/users/x", as Wine maps
    // it; empty when that is unknown (not under Wine). Elsewhere the path.
    static QString hostPath(const QString &path);

private:
    QTcpSocket socket;
    QString error;
};

#endif // TESTSERVICE_H
