#include "immutablefile.h"

#include <QProcess>

ImmutableFile::~ImmutableFile()
{
    release();
}

bool ImmutableFile::set(const QString &target)
{
    release();
    if (QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("+i"), target }) != 0)
        return false;
    path = target;
    return true;
}

void ImmutableFile::release()
{
    if (path.isEmpty())
        return;
    QProcess::execute(QStringLiteral("chattr"), { QStringLiteral("-i"), path });
    path.clear();
}

QString ImmutableFile::whyUnavailable()
{
    return QStringLiteral("chattr +i needs root and a file system that keeps the attribute");
}
