#ifndef FTPCONTROLCHANNEL_H
#define FTPCONTROLCHANNEL_H

#include <QByteArray>
#include <QString>

QT_BEGIN_NAMESPACE
class QIODevice;
class QTcpSocket;
QT_END_NAMESPACE

// The framing of an FTP control connection: commands out, one line each;
// replies in, a three-digit code and text, or several lines from "xyz-" to
// "xyz " with the same code. Works on any device, so that a buffer can stand
// in for the server.
class FtpControlChannel
{
public:
    struct Reply
    {
        int code = 0;
        QByteArray text; // of the last line, after the code and its blank
    };
    enum class Read {
        Nothing, // no whole reply has arrived yet
        Reply,
        NotFtp, // what arrived cannot be a reply; errorString() says why
    };

    // A reply line longer than this is not FTP.
    static constexpr qint64 MaxLineLength = 64 * 1024;

    explicit FtpControlChannel(QIODevice *device = nullptr)
        : device(device)
    {
    }

    void setDevice(QIODevice *newDevice) { device = newDevice; }
    // Takes the next whole reply off the device.
    Read next(Reply *reply);
    // Writes command and its line end.
    void send(const QByteArray &command);
    QString errorString() const { return error; }

    // Says QUIT on socket, whose session is over, and closes it once the
    // server answered or after boundMs; the socket then deletes itself.
    static void quit(QTcpSocket *socket, int boundMs);

private:
    Read notFtp(const QString &why);

    QIODevice *device;
    QByteArray openCode; // of a multi-line reply still being read
    QString error;
};

#endif // FTPCONTROLCHANNEL_H
