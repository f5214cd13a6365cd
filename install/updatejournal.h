#ifndef UPDATEJOURNAL_H
#define UPDATEJOURNAL_H

#include <QString>
#include <QStringList>

// The list of paths an apply is about to move, on disk before the first of
// them moves. While the file exists the installation may be part old, part
// new; its removal is the moment the update counts as done.
class UpdateJournal
{
public:
    explicit UpdateJournal(const QString &fileName);

    bool exists() const;
    // Writes the paths and forces them to the disk, replacing the file whole.
    bool write(const QStringList &paths);
    bool read();
    bool remove();

    QStringList paths() const { return m_paths; }
    QString errorString() const { return m_error; }

private:
    QString m_fileName;
    QStringList m_paths;
    QString m_error;
};

#endif // UPDATEJOURNAL_H
