#include "ftpsizequery.h"

#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace {

constexpr quint16 DefaultFtpPort = 21;

// A reply longer than this is not an FTP control reply.
constexpr qint64 MaxLineLength = 64 * 1024;

QByteArray verbOf(const QByteArray &command)
{
    return command.left(command.indexOf(' '));
}

} // namespace

FtpSizeQuery::FtpSizeQuery(QObject *parent)
    : QObject(parent)
    , socket(new QTcpSocket(this))
    , timer(new QTimer(this))
{
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this] { finish(-1); });
    connect(socket, &QTcpSocket::readyRead, this, &FtpSizeQuery::readReplies);
    connect(socket, &QAbstractSocket::errorOccurred, this, [this] { finish(-1); });
    connect(socket, &QAbstractSocket::disconnected, this, [this] { finish(-1); });
}

void FtpSizeQuery::start(const QUrl &url, int timeoutMs)
{
    // Qt's FTP code sends every command as UTF-8; so does this one, and the
    // server then sees the same user name and path.
    const QByteArray user = url.userName().toUtf8();
    const QByteArray password = url.password().toUtf8();
    const QByteArray path = url.path().toUtf8();
    // A line break would end the command early and start another one.
    for (const QByteArray &argument : { user, password, path }) {
        if (argument.contains('\r') || argument.contains('\n')) {
            QMetaObject::invokeMethod(
                this, [this] { finish(-1); }, Qt::QueuedConnection);
            return;
        }
    }
    commands = { "USER " + user, "PASS " + password, "TYPE I", "SIZE " + path };
    timer->start(timeoutMs);
    socket->connectToHost(url.host(), quint16(url.port(DefaultFtpPort)));
}

void FtpSizeQuery::readReplies()
{
    while (!done && socket->canReadLine()) {
        const QByteArray line = socket->readLine(MaxLineLength).trimmed();
        // A multi-line reply opens with "xyz-" and ends with "xyz ", the
        // same code; the lines between may hold anything.
        if (!pendingCode.isEmpty()) {
            if (line == pendingCode || line.startsWith(pendingCode + ' ')) {
                const int code = pendingCode.toInt();
                pendingCode.clear();
                handleReply(code, line.mid(4));
            }
            continue;
        }
        bool isNumber = false;
        const int code = line.left(3).toInt(&isNumber);
        if (line.size() < 3 || !isNumber)
            continue;
        if (line.size() > 3 && line.at(3) == '-')
            pendingCode = line.left(3);
        else
            handleReply(code, line.mid(4));
    }
    if (!done && socket->bytesAvailable() > MaxLineLength)
        finish(-1);
}

void FtpSizeQuery::handleReply(int code, const QByteArray &text)
{
    if (code < 200)
        return; // preliminary; the real reply follows
    const QByteArray answered = current;
    if (answered == "SIZE") {
        bool ok = false;
        const qint64 size = text.trimmed().toLongLong(&ok);
        finish(code == 213 && ok && size >= 0 ? size : -1);
        return;
    }
    // Logged in by the user name alone: no password is asked.
    if (answered == "USER" && code == 230)
        commands.removeFirst();
    const bool accepted = answered == "USER" ? (code == 230 || code == 331) : code < 300;
    if (!accepted) {
        finish(-1);
        return;
    }
    sendNext();
}

void FtpSizeQuery::sendNext()
{
    const QByteArray command = commands.takeFirst();
    current = verbOf(command);
    socket->write(command + "\r\n");
}

void FtpSizeQuery::finish(qint64 size)
{
    if (done)
        return;
    done = true;
    fileSize = size;
    timer->stop();
    if (socket->state() == QAbstractSocket::ConnectedState) {
        socket->write("QUIT\r\n");
        socket->flush();
        socket->disconnectFromHost();
    } else {
        socket->abort();
    }
    emit finished();
}
