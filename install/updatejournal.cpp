#include "updatejournal.h"

#include "platform.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char FormatKey[] = "format";
const char PathsKey[] = "paths";
const char EntriesKey[] = "entries";
const char PathKey[] = "path";
const char OldKey[] = "old";
// Format 1 listed the paths alone; its rollback had to trust the staging
// folder to tell which of them the installation had before.
constexpr int PathsOnlyFormat = 1;
constexpr int Format = 2;

} // namespace

UpdateJournal::UpdateJournal(const QString &fileName)
    : m_fileName(fileName)
{
}

bool UpdateJournal::exists() const
{
    return QFileInfo::exists(m_fileName);
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
    if (!writeFileDurably(m_fileName, QJsonDocument(root).toJson(QJsonDocument::Compact),
                          &reason)) {
        // Nothing has moved yet: a journal whose sync failed must not stay.
        QFile::remove(m_fileName);
        return fail(reason);
    }
    m_entries = entries;
    return true;
}

bool UpdateJournal::read()
{
    QFile file(m_fileName);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    QJsonParseError parseError;
    const QJsonObject root = QJsonDocument::fromJson(file.readAll(), &parseError).object();
    const int format = root.value(QLatin1String(FormatKey)).toInt();
    const QJsonValue list =
        root.value(QLatin1String(format == PathsOnlyFormat ? PathsKey : EntriesKey));
    if (parseError.error != QJsonParseError::NoError
        || (format != Format && format != PathsOnlyFormat) || !list.isArray())
        return fail(QStringLiteral("it is not a journal this updater wrote"));
    QList<Entry> entries;
    const QJsonArray items = list.toArray();
    for (const QJsonValue &item : items) {
        Entry entry;
        if (format == PathsOnlyFormat) {
            entry.path = item.toString();
        } else {
            const QJsonObject object = item.toObject();
            const QJsonValue old = object.value(QLatin1String(OldKey));
            if (!old.isBool())
                return fail(QStringLiteral("an entry does not say whether an old version existed"));
            entry.path = object.value(QLatin1String(PathKey)).toString();
            entry.old = old.toBool() ? OldVersion::Existed : OldVersion::None;
        }
        entries.append(entry);
    }
    m_entries = entries;
    return true;
}

bool UpdateJournal::remove()
{
    QFile file(m_fileName);
    if (file.exists() && !file.remove())
        return fail(file.errorString());
    QString reason;
    if (!syncFolder(QFileInfo(m_fileName).path(), &reason))
        return fail(QLatin1String("its removal could not be forced to the disk: ") + reason);
    return true;
}

bool UpdateJournal::fail(const QString &reason)
{
    m_error = reason;
    return false;
}
