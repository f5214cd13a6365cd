#include "installlayout.h"

#include <QFileInfo>

QStringList InstallLayout::reservedNames() const
{
    QStringList names;
    for (const QString &path : { stagingPath(), backupPath(), journalPath(), journalPartPath(),
                                 lockPath(), releasePath() })
        names.append(QFileInfo(path).fileName());
    return names;
}
