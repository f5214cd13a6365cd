#ifndef UPDATEPLAN_H
#define UPDATEPLAN_H

#include "installlayout.h"
#include "updatejournal.h"

#include <QFileInfoList>

// What an apply moves, read off the staged tree and the installation
// without changing either: each staged file, and each staged folder the
// installation does not have yet, whole; folders both have are merged.
// Only regular files and folders are installed, at any depth, and none
// under a name the updater keeps for itself.
class UpdatePlan
{
public:
    using Entry = UpdateJournal::Entry;

    explicit UpdatePlan(const InstallLayout &layout);

    // Lists the entries in the order they move in. False when the staged
    // tree cannot be installed whole; errorString() says why.
    bool make();

    QList<Entry> entries() const { return planned; }
    QString errorString() const { return error; }

private:
    bool plan(const QString &relative);
    bool planFile(const QString &path);
    bool checkNewFolder(const QString &relative);
    bool checkKind(const QFileInfo &entry, const QString &path);
    bool listStaged(const QString &relative, QFileInfoList *entries);
    bool fail(const QString &reason);

    InstallLayout layout;
    QList<Entry> planned;
    QString error;
};

#endif // UPDATEPLAN_H
