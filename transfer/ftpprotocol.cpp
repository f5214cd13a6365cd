#include "ftpprotocol.h"

#include <QRegularExpression>
#include <QUrl>

namespace Ftp {

namespace {

// Far beyond any file, yet exact in the double a JSON record keeps it in.
constexpr qint64 LargestSize = qint64(1) << 53;

} // namespace

QString serverName(const QUrl &url)
{
    return url.host() + QLatin1Char(':') + QString::number(url.port(DefaultPort));
}

QString replyText(int code, const QByteArray &text)
{
    // A hostile server must not flood the log.
    return QString::number(code) + QLatin1Char(' ')
        + QString::fromUtf8(text.left(512)).simplified();
}

QString withoutPassword(QString text, const QUrl &url)
{
    if (url.password().isEmpty())
        return text;
    for (const auto format : { QUrl::PrettyDecoded, QUrl::FullyEncoded, QUrl::FullyDecoded })
        text.replace(QLatin1Char(':') + url.password(format) + QLatin1Char('@'),
                     QStringLiteral(":***@"));
    return text;
}

SizeAnswer readSize(int code, const QByteArray &text)
{
    if (code != 213)
        return {};
    bool ok = false;
    const QByteArray digits = text.trimmed();
    const qint64 size = digits.toLongLong(&ok);
    const bool plain = !digits.isEmpty() && digits.at(0) != '-' && digits.at(0) != '+';
    if (!ok || !plain || size > LargestSize)
        return { SizeAnswer::Impossible, -1 };
    return { SizeAnswer::Known, size };
}

QByteArray readModificationTime(int code, const QByteArray &text)
{
    static const QRegularExpression timestamp(QStringLiteral("^\\d{14}(\\.\\d+)?$"));
    const QByteArray time = text.trimmed();
    if (code != 213 || !timestamp.match(QString::fromLatin1(time)).hasMatch())
        return QByteArray();
    return time;
}

quint16 readPassivePort(int code, const QByteArray &text, bool extended)
{
    static const QRegularExpression passive(
        QStringLiteral("(\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)"));
    static const QRegularExpression extendedPassive(QStringLiteral("\\|\\|\\|(\\d+)\\|"));
    if (code != (extended ? 229 : 227))
        return 0;
    const QRegularExpressionMatch match =
        (extended ? extendedPassive : passive).match(QString::fromLatin1(text));
    if (!match.hasMatch())
        return 0;
    const int high = extended ? 0 : match.captured(5).toInt();
    const int low = extended ? match.captured(1).toInt() : match.captured(6).toInt();
    const int port = extended ? low : high * 256 + low;
    if (high > 255 || (!extended && low > 255) || port <= 0 || port > 65535)
        return 0;
    return quint16(port);
}

} // namespace Ftp
