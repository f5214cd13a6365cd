#include "ftpcontrolchannel.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// "xyz", "xyz text" or "xyz-text", with xyz from 100 to 599.
bool opensReply(const QByteArray &line)
{
    if (line.size() < 3 || !isDigit(line.at(0)) || !isDigit(line.at(1)) || !isDigit(line.at(2)))
        return false;
    if (line.at(0) < '1' || line.at(0) > '5')
        return false;
    return line.size() == 3 || line.at(3) == ' ' || line.at(3) == '-';
}

} // namespace

FtpControlChannel::Read FtpControlChannel::next(Reply *reply)
{
    while (device && device->canReadLine()) {
        QByteArray line = device->readLine(MaxLineLength + 1);
        if (!line.endsWith('\n'))
            return notFtp(QStringLiteral("a reply line longer than %1 bytes").arg(MaxLineLength));
        // Only the line break goes: a padded line inside a multi-line reply
        // is text, even when it starts with the code.
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (!openCode.isEmpty()) {
            if (!line.startsWith(openCode + ' '))
                continue;
            openCode.clear();
            *reply = { line.left(3).toInt(), line.mid(4) };
            return Read::Reply;
        }
        if (!opensReply(line))
            return notFtp(QStringLiteral("a line that is not an FTP reply: \"%1\"")
                              .arg(QString::fromLatin1(line.left(80)).simplified()));
        if (line.size() > 3 && line.at(3) == '-') {
            openCode = line.left(3);
            continue;
        }
        *reply = { line.left(3).toInt(), line.mid(4) };
        return Read::Reply;
    }
    if (device && device->bytesAvailable() > MaxLineLength)
        return notFtp(QStringLiteral("a reply line longer than %1 bytes").arg(MaxLineLength));
    return Read::Nothing;
}

void FtpControlChannel::send(const QByteArray &command)
{
    if (device)
        device->write(command + "\r\n");
}

FtpControlChannel::Read FtpControlChannel::notFtp(const QString &why)
{
    error = why;
    return Read::NotFtp;
}

void FtpControlChannel::quit(QTcpSocket *socket, int boundMs)
{
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->deleteLater();
        return;
    }
    QObject::connect(socket, &QIODevice::readyRead, socket, [socket] {
        FtpControlChannel channel(socket);
        Reply reply;
        Read read = channel.next(&reply);
        while (read == Read::Reply && reply.code < 200)
            read = channel.next(&reply);
        if (read != Read::Nothing)
            socket->disconnectFromHost();
    });
    QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, &QObject::deleteLater);
    QTimer::singleShot(boundMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->write("QUIT\r\n");
    // Out now: the event loop may not run again before the process ends.
    socket->flush();
}
