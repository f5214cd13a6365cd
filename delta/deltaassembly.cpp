#include "deltaassembly.h"

#include <QDir>

namespace {

// Bytes moved per read or write: few system calls, little memory.
constexpr qint64 ChunkSize = 1024 * 1024;

QString named(const QFile &file)
{
    return QDir::toNativeSeparators(file.fileName());
}

} // namespace

bool DeltaAssembly::open(const QString &installedPath, const QString &assemblyPath)
{
    installed.setFileName(installedPath);
    assembly.setFileName(assemblyPath);
    if (!installed.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1: %2").arg(named(installed), installed.errorString()));
        return false;
    }
    if (!assembly.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(QStringLiteral("cannot write %1: %2").arg(named(assembly), assembly.errorString()));
        return false;
    }
    return true;
}

void DeltaAssembly::follow(const DeltaPlan *newPlan, const QByteArray *serverEnd, qint64 offset)
{
    plan = newPlan;
    end = serverEnd;
    endOffset = offset;
    cursor = 0;
    within = written = taken = 0;
}

DeltaAssembly::Progress DeltaAssembly::advance(QIODevice *fetched, qint64 copyBudget)
{
    const DeltaSegments &pieces = plan->segments();
    while (cursor < pieces.size()) {
        const DeltaSegment &piece = pieces.at(cursor);
        const qint64 wanted = qMin(ChunkSize, piece.length - within);
        QByteArray bytes;
        if (piece.kind == DeltaSegment::Fetch) {
            if (!fetched || fetched->bytesAvailable() <= 0)
                return Progress::Waiting;
            bytes = fetched->read(wanted);
            taken += bytes.size();
        } else if (piece.kind == DeltaSegment::Copy) {
            if (copyBudget <= 0)
                return Progress::Paused;
            if (!installed.seek(piece.source + within)
                || (bytes = installed.read(wanted)).size() != wanted)
                return fail(QStringLiteral("cannot read %1: %2")
                                .arg(named(installed), installed.errorString()));
            copyBudget -= bytes.size();
        } else {
            bytes = end->mid(int(piece.offset + within - endOffset), int(wanted));
        }
        if (bytes.isEmpty())
            return Progress::Waiting;
        if (assembly.write(bytes) != bytes.size())
            return fail(
                QStringLiteral("cannot write %1: %2").arg(named(assembly), assembly.errorString()));
        within += bytes.size();
        written += bytes.size();
        if (within == piece.length) {
            ++cursor;
            within = 0;
        }
    }
    return Progress::Complete;
}

QString DeltaAssembly::mismatch(qint64 size)
{
    if (!assembly.flush())
        return QStringLiteral("cannot write %1: %2").arg(named(assembly), assembly.errorString());
    QFile check(assembly.fileName());
    if (!check.open(QIODevice::ReadOnly) || check.size() != size)
        return QStringLiteral("the assembled archive holds %1 bytes, the server's %2")
            .arg(check.size())
            .arg(size);
    if (!check.seek(endOffset) || check.readAll() != *end)
        return QStringLiteral("the end of the assembled archive differs from the server's");
    return QString();
}

bool DeltaAssembly::commit(const QString &target)
{
    installed.close();
    const bool flushed = assembly.flush();
    assembly.close();
    QString reason;
    QFile old(target);
    if (!flushed || assembly.error() != QFileDevice::NoError)
        reason = QStringLiteral("cannot write %1: %2").arg(named(assembly), assembly.errorString());
    // The rename never replaces an existing file.
    else if (old.exists() && !old.remove())
        reason = QStringLiteral("cannot replace %1: %2").arg(named(old), old.errorString());
    else if (!assembly.rename(target))
        reason =
            QStringLiteral("cannot move %1 to %2: %3")
                .arg(named(assembly), QDir::toNativeSeparators(target), assembly.errorString());
    if (!reason.isEmpty()) {
        fail(reason);
        return false;
    }
    // The file is the archive now: nothing may discard it any more.
    assembly.setFileName(QString());
    return true;
}

void DeltaAssembly::discard()
{
    installed.close();
    assembly.close();
    if (!assembly.fileName().isEmpty())
        assembly.remove();
}

DeltaAssembly::Progress DeltaAssembly::fail(const QString &reason)
{
    error = reason;
    return Progress::Failed;
}
