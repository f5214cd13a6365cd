#include "updatejournal.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const char FormatKey[] = "format";
const char PathsKey[] = "paths";
constexpr int Format = 1;

} // namespace

UpdateJournal::UpdateJournal(const QString &fileName)
    : m_fileName(fileName)
{
}

bool UpdateJournal::exists() const
{
    return QFileInfo::exists(m_fileName);
}

bool UpdateJournal::write(const QStringList &paths)
{
    QJsonObject root;
    root.insert(QLatin1String(FormatKey), Format);
    root.insert(QLatin1String(PathsKey), QJsonArray::fromStringList(paths));
    // QSaveFile: the old file or the whole new one, never a torn one, and on
    // the disk before commit() returns.
    QSaveFile file(m_fileName);
    if (!file.open(QIODevice::WriteOnly)) {
        m_error = file.errorString();
        return false;
    }
    file.write(QJsonDocument(root).toJson(QJsonDocument::Compact));
    if (!file.commit()) {
        m_error = file.errorString();
        return false;
    }
    m_paths = paths;
    return true;
}

bool UpdateJournal::read()
{
    QFile file(m_fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = file.errorString();
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    const QJsonObject root = document.object();
    if (parseError.error != QJsonParseError::NoError
        || root.value(QLatin1String(FormatKey)).toInt() != Format
        || !root.value(QLatin1String(PathsKey)).isArray()) {
        m_error = QStringLiteral("it is not a journal this updater wrote");
        return false;
    }
    m_paths.clear();
    const QJsonArray paths = root.value(QLatin1String(PathsKey)).toArray();
    for (const QJsonValue &path : paths)
        m_paths.append(path.toString());
    return true;
}

bool UpdateJournal::remove()
{
    QFile file(m_fileName);
    if (!file.exists() || file.remove())
        return true;
    m_error = file.errorString();
    return false;
}
