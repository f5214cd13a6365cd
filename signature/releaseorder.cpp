#include "releaseorder.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

const char CommentKey[] = "trustedComment";
const char TimeKey[] = "timestamp";
const char UnreadableRecord[] = "the record of the installed release cannot be read";

// The value of field key in a trusted comment, or a null string.
QString field(const QString &comment, const QString &key)
{
    const QStringList fields = comment.split(QLatin1Char('\t'));
    for (const QString &candidate : fields) {
        if (candidate.startsWith(key + QLatin1Char(':')))
            return candidate.mid(key.size() + 1);
    }
    return QString();
}

// -1 when the comment holds no timestamp in the tool's form: digits only.
qint64 timestampOf(const QString &comment)
{
    const QString text = field(comment, QLatin1String(TimeKey));
    bool ok = !text.isEmpty() && text.size() <= 18;
    for (const QChar c : text)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    return ok ? text.toLongLong() : -1;
}

QString describe(qint64 time, const QString &comment)
{
    return QDateTime::fromSecsSinceEpoch(time, Qt::UTC).toString(Qt::ISODate)
        + QLatin1String(" (trusted comment \"") + comment + QLatin1String("\")");
}

} // namespace

ReleaseOrder::ReleaseOrder(const QByteArray &record)
{
    if (record.isEmpty())
        return;
    QJsonParseError error;
    const QJsonObject root = QJsonDocument::fromJson(record, &error).object();
    if (error.error != QJsonParseError::NoError
        || !root.value(QLatin1String(CommentKey)).isString()) {
        recordError = QLatin1String(UnreadableRecord);
        return;
    }
    recordedComment = root.value(QLatin1String(CommentKey)).toString();
    recordedTime = qint64(root.value(QLatin1String(TimeKey)).toDouble(-1));
}

ReleaseOrder ReleaseOrder::withUnreadableRecord()
{
    ReleaseOrder order { QByteArray() };
    order.recordError = QLatin1String(UnreadableRecord);
    return order;
}

bool ReleaseOrder::admits(const QString &trustedComment, const QString &archiveName)
{
    explanation.clear();
    next.clear();
    const QString file = field(trustedComment, QStringLiteral("file"));
    // Windows' names ignore case; any other name is another file.
    if (!file.isNull() && file.compare(archiveName, Qt::CaseInsensitive) != 0)
        return refuse(QLatin1String("its signature was made for the file ") + file
                      + QLatin1String(", not for ") + archiveName);

    const qint64 offered = timestampOf(trustedComment);
    if (offered >= 0 && recordedTime >= 0 && offered < recordedTime)
        return refuse(QLatin1String("it is an older release than the one installed: signed ")
                      + describe(offered, trustedComment) + QLatin1String(", installed one signed ")
                      + describe(recordedTime, recordedComment));

    if (offered < 0) {
        explanation = QLatin1String("no rollback protection applied: the trusted comment \"")
            + trustedComment + QLatin1String("\" carries no timestamp");
    } else if (recordedTime < 0) {
        explanation = (recordError.isEmpty() ? QStringLiteral("no signed release was recorded here")
                                             : recordError)
            + QLatin1String(": the release signed ") + describe(offered, trustedComment)
            + QLatin1String(" is recorded once installed");
    } else {
        explanation = QLatin1String("the release signed ") + describe(offered, trustedComment)
            + QLatin1String(" is not older than the installed one signed ")
            + describe(recordedTime, recordedComment);
    }

    // A release without a timestamp keeps the bar the last one set.
    QJsonObject record;
    record.insert(QLatin1String(CommentKey), trustedComment);
    const qint64 bar = offered >= 0 ? offered : recordedTime;
    if (bar >= 0)
        record.insert(QLatin1String(TimeKey), double(bar));
    next = QJsonDocument(record).toJson(QJsonDocument::Compact);
    return true;
}

bool ReleaseOrder::refuse(const QString &reason)
{
    explanation = reason;
    return false;
}
