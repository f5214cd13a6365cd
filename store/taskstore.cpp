#include "taskstore.h"

#include <QRegularExpression>
#include <QSqlQuery>
#include <QVariant>

namespace {

// Names are pasted into the statements bare; anything beyond a plain
// identifier could change what the statement does.
bool isPlainIdentifier(const QString &name)
{
    static const QRegularExpression identifier(QStringLiteral("\\A[A-Za-z_][A-Za-z0-9_]*\\z"));
    return identifier.match(name).hasMatch();
}

// A value between single quotes ends at the first lone quote.
QString quoted(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

// SQLite folds only ASCII letters when it compares identifiers; QString's
// case folding would also equate, say, the Kelvin sign with "k".
bool sameIdentifier(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        const ushort x = a.at(i).unicode();
        const ushort y = b.at(i).unicode();
        if (x == y)
            continue;
        if (x > 0x7f || y > 0x7f || QChar::toLower(x) != QChar::toLower(y))
            return false;
    }
    return true;
}

// The query runs on the default connection, which db refers to. It is gone
// before the caller closes the connection.
void run(const QString &statement)
{
    QSqlQuery query;
    query.prepare(statement);
    query.exec();
}

} // namespace

void TaskStore::initDatabase(const QString &path)
{
    const QString name = QLatin1String(QSqlDatabase::defaultConnection);
    if (QSqlDatabase::contains(name))
        db = QSqlDatabase::database(name, true);
    else
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(path);
}

bool TaskStore::openDatabase()
{
    return db.open();
}

void TaskStore::closeDatabase()
{
    db.close();
}

QString TaskStore::taskValue(const QString &taskId, const QString &column)
{
    db.open();
    if (!isPlainIdentifier(column))
        return QString();

    QSqlQuery query;
    query.prepare(QLatin1String("select * from ServerTask where TaskId=") + quoted(taskId));
    query.exec();
    if (!query.next())
        return QString();
    return query.value(column).toString();
}

void TaskStore::clearTasks()
{
    db.open();
    run(QStringLiteral("delete from ServerTask"));
    db.close();
}

void TaskStore::updateValue(const QString &taskId, const QString &column, const QString &value,
                            const QString &table)
{
    db.open();
    if (isPlainIdentifier(column) && isPlainIdentifier(table)) {
        run(QLatin1String("update ") + table + QLatin1String(" set ") + column + QLatin1Char('=')
            + quoted(value) + QLatin1String(" where TaskId=") + quoted(taskId));
    }
    db.close();
}

int TaskStore::taskCount(const QString &status)
{
    db.open();
    QString statement = QStringLiteral("select count(*) as c from ServerTask");
    if (!status.isEmpty())
        statement += QLatin1String(" where Status=") + quoted(status);

    QSqlQuery query;
    query.prepare(statement);
    query.exec();
    if (!query.next())
        return 0;
    return query.value(QStringLiteral("c")).toInt();
}

bool TaskStore::hasColumn(QString column)
{
    db.open();
    if (!isPlainIdentifier(column))
        return false;
    return hasColumnNamed(column);
}

// The catalogue test only finds the name somewhere in the CREATE text (part
// of another column's name, a default value, the table name); the column
// list decides.
bool TaskStore::hasColumnNamed(const QString &column)
{
    QSqlQuery catalogue;
    catalogue.prepare(QLatin1String("select * from sqlite_master where name='ServerTask' and sql "
                                    "like '%")
                      + column + QLatin1String("%'"));
    catalogue.exec();
    if (!catalogue.next())
        return false;

    QSqlQuery columns;
    columns.prepare(QStringLiteral("pragma table_info(ServerTask)"));
    columns.exec();
    while (columns.next()) {
        if (sameIdentifier(columns.value(QStringLiteral("name")).toString(), column))
            return true;
    }
    return false;
}

int TaskStore::addColumn(const QString &column)
{
    if (hasColumn(column) || !isPlainIdentifier(column))
        return 0;

    db.open();
    run(QLatin1String("alter table ServerTask  add ") + column + QLatin1String(" TEXT"));
    return 0;
}
