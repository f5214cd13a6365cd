#include "updatejournal.h"

#include "fileoperations.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char FormatKey[] = "format";
const char EntriesKey[] = "entries";
const char PathKey[] = "path";
const char OldKey[] = "old";
constexpr int Format = 2;

} // namespace

UpdateJournal::UpdateJournal(const QString &fileName)
    : fileName(fileName)
{
}

bool UpdateJournal::exists() const
{
    return QFileInfo::exists(fileName);
}

bool UpdateJournal::write(const QList<Entry> &entries)
{
    QJsonArray list;
    for (const Entry &entry : entries) {
        QJsonObject item;
        item.insert(QLatin1String(PathKey), entry.path);
        item.insert(QLatin1String(OldKey), entry.old == OldVersion::Existed);
        list.append(item);
    }
    QJsonObject root;
    root.insert(QLatin1String(FormatKey), Format);
    root.insert(QLatin1String(EntriesKey), list);
    QString reason;
    if (!writeFileDurably(fileName, QJsonDocument(root).toJson(QJsonDocument::Compact), &reason)) {
        // Nothing has moved yet: a journal whose sync failed must not stay.
        QFile::remove(fileName);
        return fail(reason);
    }
    listed = entries;
    return true;
}

bool UpdateJournal::read()
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    QJsonParseError parseError;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll(), &parseError).object();
    const QJsonValue list = root.value(QLatin1String(EntriesKey));
    if (parseError.error != QJsonParseError::NoError
        || root.value(QLatin1String(FormatKey)).toInt() != Format || !list.isArray())
        return fail(QStringLiteral("it is not a journal this updater wrote"));
    QList<Entry> entries;
    const QJsonArray items = list.toArray();
    for (const QJsonValue &item : items) {
        const QJsonObject object = item.toObject();
        const QJsonValue old = object.value(QLatin1String(OldKey));
        if (!old.isBool())
            return fail(QStringLiteral("an entry does not say whether an old version existed"));
        entries.append({ object.value(QLatin1String(PathKey)).toString(),
                         old.toBool() ? OldVersion::Existed : OldVersion::None });
    }
    listed = entries;
    return true;
}

bool UpdateJournal::remove()
{
    QFile file(fileName);
    if (file.exists() && !file.remove())
        return fail(file.errorString());
    QString reason;
    if (!syncFolder(QFileInfo(fileName).path(), &reason))
        return fail(QLatin1String("its removal could not be forced to the disk: ") + reason);
    return true;
}

bool UpdateJournal::fail(const QString &reason)
{
    error = reason;
    return false;
}
