#ifndef FTPPROTOCOL_H
#define FTPPROTOCOL_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

QT_BEGIN_NAMESPACE
class QUrl;
QT_END_NAMESPACE

// What the FTP dialogue needs to know that is not a step of it: the port a
// URL without one means, the server's name in messages, and the reading of
// the replies that carry values.
namespace Ftp {

constexpr quint16 DefaultPort = 21;

// "host:port", as messages name the server of url.
QString serverName(const QUrl &url);

// A server's reply as the log shows it: code and text, bounded, on one line.
QString replyText(int code, const QByteArray &text);

// text with the URL's password masked wherever a server echoed it.
QString withoutPassword(QString text, const QUrl &url);

// The answer to SIZE. Unknown when the server would not tell; Impossible
// when it claimed to but named no size a file can have.
struct SizeAnswer
{
    enum Kind { Known, Unknown, Impossible } kind = Unknown;
    qint64 size = -1;
};
SizeAnswer readSize(int code, const QByteArray &text);

// The answer to MDTM, "YYYYMMDDhhmmss" with optional fraction; empty when the
// server did not tell.
QByteArray readModificationTime(int code, const QByteArray &text);

// The port of a passive reply (227 for PASV, 229 for EPSV); the address a
// PASV reply names is not taken. 0 when the reply names none.
quint16 readPassivePort(int code, const QByteArray &text, bool extended);

} // namespace Ftp

#endif // FTPPROTOCOL_H
