#include "partialdownload.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace {

const QLatin1String OriginKey("origin");
const QLatin1String SizeKey("size");
const QLatin1String TimeKey("time");

// The record is a few dozen bytes; anything larger is not one.
constexpr qint64 MaxRecordSize = 64 * 1024;

} // namespace

QString PartialDownload::Source::describe() const
{
    return QStringLiteral("%1 bytes, time %2")
        .arg(size)
        .arg(time.isEmpty() ? QStringLiteral("unknown") : QString::fromLatin1(time));
}

PartialDownload::Resumption PartialDownload::resumption(qint64 held, const Source &recorded,
                                                        const Source &remote)
{
    if (held == 0)
        return {};
    if (remote.size < 0)
        return { Resumption::Restart,
                 QStringLiteral("the server does not tell the file's size, so it cannot resume") };
    if (recorded.size < 0)
        return { Resumption::Restart, QStringLiteral("it is not known which file it came from") };
    if (recorded != remote)
        return { Resumption::Restart,
                 QStringLiteral("the file on the server changed (%1, now %2)")
                     .arg(recorded.describe(), remote.describe()) };
    if (held > remote.size)
        return { Resumption::Restart, QStringLiteral("it is longer than the file") };
    // As after a crash at the final rename: the server vouches for it.
    if (held == remote.size)
        return { Resumption::Whole, QString() };
    return { Resumption::Resume, QString() };
}

PartialDownload::PartialDownload(const QString &localFileName)
    : file(fileName(localFileName))
    , infoPath(infoFileName(localFileName))
{
}

QString PartialDownload::fileName(const QString &localFileName)
{
    return localFileName + QLatin1String(".part");
}

QString PartialDownload::infoFileName(const QString &localFileName)
{
    return fileName(localFileName) + QLatin1String(".json");
}

bool PartialDownload::open()
{
    if (!file.open(QIODevice::ReadWrite) || !file.seek(file.size())) {
        error = file.errorString();
        return false;
    }
    QFile info(infoPath);
    if (!info.open(QIODevice::ReadOnly) || info.size() > MaxRecordSize)
        return true;
    const QJsonObject record = QJsonDocument::fromJson(info.readAll()).object();
    const qint64 size = qint64(record.value(SizeKey).toDouble(-1));
    const QByteArray time = record.value(TimeKey).toString().toLatin1();
    if (size < 0 || time.isEmpty())
        return true;
    source = { record.value(OriginKey).toString(), size, time };
    return true;
}

bool PartialDownload::restart(const Source &from)
{
    // The old record goes first: it must never vouch for new bytes.
    source = from;
    if (QFileInfo::exists(infoPath) && !QFile::remove(infoPath)) {
        error = QStringLiteral("cannot remove %1").arg(QDir::toNativeSeparators(infoPath));
        return false;
    }
    // Only when it holds bytes: ext4 takes a truncation to 0 for a file
    // being replaced and writes all of what follows out when it is closed.
    if ((file.size() > 0 && !file.resize(0)) || !file.seek(0)) {
        error = file.errorString();
        return false;
    }
    if (from.size < 0 || from.time.isEmpty())
        return true;
    return saveRecord();
}

bool PartialDownload::saveRecord()
{
    const QJsonObject record { { OriginKey, source.origin },
                               { SizeKey, double(source.size) },
                               { TimeKey, QString::fromLatin1(source.time) } };
    QSaveFile info(infoPath);
    if (!info.open(QIODevice::WriteOnly)
        || info.write(QJsonDocument(record).toJson(QJsonDocument::Compact)) < 0 || !info.commit()) {
        error = QStringLiteral("cannot write %1: %2")
                    .arg(QDir::toNativeSeparators(infoPath), info.errorString());
        return false;
    }
    return true;
}

bool PartialDownload::commit(const QString &target)
{
    // Not QSaveFile: its commit forces the archive out to the disk, which
    // buys nothing here; a copy lost to a power cut is downloaded again.
    const bool flushed = file.flush();
    file.close();
    if (!flushed || file.error() != QFileDevice::NoError) {
        error = file.errorString();
        return false;
    }
    // The rename never replaces an existing file.
    QFile old(target);
    if (old.exists() && !old.remove()) {
        error = old.errorString();
        return false;
    }
    if (!file.rename(target)) {
        error = file.errorString();
        return false;
    }
    QFile::remove(infoPath);
    return true;
}

void PartialDownload::keep()
{
    // Bytes whose source is not on record could never be resumed.
    const bool resumable = file.size() > 0 && source.size >= 0 && !source.time.isEmpty();
    file.close();
    if (!resumable)
        discard();
}

void PartialDownload::discard()
{
    file.close();
    file.remove();
    QFile::remove(infoPath);
}
