#ifndef TASKSTORE_H
#define TASKSTORE_H

#include <QSqlDatabase>
#include <QString>

// Reads and writes the table ServerTask of an SQLite file through Qt's
// default connection. Nothing is reported: a failed open or statement shows
// only as a neutral result (empty text, 0, false, no change).
//
// Every statement operation opens the connection first; clearTasks() and
// updateValue() close it again, the others leave it open. The default
// connection is never removed, so a second initDatabase() switches files.
//
// Values are quoted with their single quotes doubled, so any text is stored
// and matched as given. Table and column names must be plain identifiers
// (ASCII letters, digits and "_", not starting with a digit); for any other
// name the operation runs no statement and gives its neutral result.
class TaskStore
{
public:
    void initDatabase(const QString &path);
    bool openDatabase();
    void closeDatabase();

    QString taskValue(const QString &taskId, const QString &column);
    void clearTasks();
    void updateValue(const QString &taskId, const QString &column, const QString &value,
                     const QString &table);
    int taskCount(const QString &status);
    bool hasColumn(QString column);
    int addColumn(const QString &column);

private:
    bool hasColumnNamed(const QString &column);

    QSqlDatabase db;
};

#endif // TASKSTORE_H
