#include "signedrelease.h"

#include "minisignverifier.h"
#include "releaseorder.h"

#include <QFile>
#include <QFileInfo>

namespace {

// A record holds one trusted comment: anything larger is not this updater's.
constexpr qint64 MaxRecordSize = 64 * 1024;

ReleaseOrder installedRelease(const QString &recordPath)
{
    QFile record(recordPath);
    if (!record.exists())
        return ReleaseOrder(QByteArray());
    QByteArray bytes;
    if (record.open(QIODevice::ReadOnly))
        bytes = record.read(MaxRecordSize);
    return bytes.isEmpty() ? ReleaseOrder::withUnreadableRecord() : ReleaseOrder(bytes);
}

} // namespace

SignedRelease::SignedRelease(const QString &publicKey, const Files &files)
    : publicKey(publicKey)
    , files(files)
{
}

bool SignedRelease::verify()
{
    said.clear();
    MinisignVerifier verifier(publicKey);
    if (!verifier.verify(files.archive, files.signature))
        return refuse(verifier.errorString());
    trustedComment = verifier.trustedComment();
    said.append(archiveName() + QLatin1String(" is signed by the publisher; trusted comment: ")
                + trustedComment);
    return true;
}

bool SignedRelease::admit()
{
    ReleaseOrder order = installedRelease(files.record);
    if (!order.admits(trustedComment, archiveName()))
        return refuse(order.note());
    said.append(archiveName() + QLatin1String(": ") + order.note());
    nextRecord = order.nextRecord();
    return true;
}

bool SignedRelease::refuse(const QString &reason)
{
    error = archiveName() + QLatin1String(" is refused: ") + reason;
    nextRecord.clear();
    return false;
}

QString SignedRelease::archiveName() const
{
    return QFileInfo(files.archive).fileName();
}
