#ifndef UPDATEJOURNAL_H
#define UPDATEJOURNAL_H

#include <QList>
#include <QString>

// The list of paths an apply is about to move, each with whether the
// installation had an old version of it, on disk before the first of them
// moves. While the file exists the installation may be part old, part new;
// its removal is the moment the update counts as done.
class UpdateJournal
{
public:
    enum class OldVersion {
        Existed, // moved into the backup folder before the new one came
        None, // the update adds the path
    };
    struct Entry
    {
        QString path;
        OldVersion old = OldVersion::None;
    };

    explicit UpdateJournal(const QString &fileName);

    bool exists() const;
    // Writes the entries and forces them to the disk; the file appears only
    // whole. On failure no journal is left.
    bool write(const QList<Entry> &entries);
    // Reads what write() wrote; refuses anything else.
    bool read();
    // Removes the file and forces its removal to the disk. False with the
    // file gone means only the latter failed.
    bool remove();

    QList<Entry> entries() const { return listed; }
    QString errorString() const { return error; }

private:
    bool fail(const QString &reason);

    QString fileName;
    QList<Entry> listed;
    QString error;
};

#endif // UPDATEJOURNAL_H
