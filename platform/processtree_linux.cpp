#include "processtree.h"

#include <QDir>
#include <QFile>
#include <QMultiHash>

#include <signal.h>

namespace {

// The parent of the process /proc/<entry> describes, or -1.
qint64 parentOf(const QString &entry)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The name in parentheses may hold spaces; the state and parent follow it.
    const int close = text.lastIndexOf(')');
    return close < 0 ? -1 : text.mid(close + 2).split(' ').value(1).toLongLong();
}

} // namespace

void endDescendants(qint64 pid)
{
    if (pid <= 1)
        return;
    QMultiHash<qint64, qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 child = entry.toLongLong(&isPid);
        if (isPid)
            children.insert(parentOf(entry), child);
    }
    QList<qint64> found = children.values(pid);
    for (int i = 0; i < found.size(); ++i)
        found += children.values(found.at(i));
    for (const qint64 descendant : qAsConst(found))
        ::kill(pid_t(descendant), SIGKILL);
}
