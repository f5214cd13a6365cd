#ifndef DELTAASSEMBLY_H
#define DELTAASSEMBLY_H

#include "deltaplan.h"

#include <QFile>

// The new archive written piece by piece in its own order, in a file of its
// own beside the installed archive, which it reads for the copies: a plan
// followed to the end.
class DeltaAssembly
{
public:
    enum class Progress {
        Waiting, // at a fetch, for its bytes
        Paused, // the copy budget of this turn is spent
        Complete,
        Failed, // errorString() says why
    };

    bool open(const QString &installedPath, const QString &assemblyPath);
    // Starts over with plan; end holds the server archive's bytes from
    // endOffset on. Both must outlive the assembly's use.
    void follow(const DeltaPlan *plan, const QByteArray *end, qint64 endOffset);

    // Writes on from the cursor, taking fetched bytes from fetched while the
    // cursor is at a fetch and copying at most copyBudget bytes.
    Progress advance(QIODevice *fetched, qint64 copyBudget);
    // The fetches the cursor has not passed.
    ByteRanges fetchesLeft() const { return plan->fetchRanges(cursor, within); }
    bool isComplete() const { return cursor == plan->segments().size(); }
    qint64 assembled() const { return written; }
    qint64 fetched() const { return taken; }

    // Why the whole assembly is not the server's archive of size bytes:
    // another size, or an end that differs from what the server sent.
    QString mismatch(qint64 size);
    // Puts the assembly in place of the archive at target.
    bool commit(const QString &target);
    // Closes and removes what was assembled.
    void discard();

    QString errorString() const { return error; }

private:
    Progress fail(const QString &reason);

    QFile installed;
    QFile assembly;
    const DeltaPlan *plan = nullptr;
    const QByteArray *end = nullptr;
    qint64 endOffset = 0;
    int cursor = 0; // the piece being written
    qint64 within = 0; // of its bytes written
    qint64 written = 0;
    qint64 taken = 0; // of the fetched bytes
    QString error;
};

#endif // DELTAASSEMBLY_H
