#include <QtTest>

#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>

#include "taskstore.h"

#include <functional>

namespace {

const QString sideName = QStringLiteral("side");

// The Kelvin sign: SQLite folds ASCII letters only, so this column is not
// "kind", although Unicode case folding says it is.
const QString kelvinColumn = QStringLiteral("\u212Aind");

bool storeConnectionOpen()
{
    return QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false).isOpen();
}

// A connection of its own to the store's file, to set it up and look at it
// without going through the store.
class SideConnection
{
public:
    explicit SideConnection(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), sideName);
        db.setDatabaseName(path);
        db.open();
    }
    ~SideConnection()
    {
        QSqlDatabase::database(sideName, false).close();
        QSqlDatabase::removeDatabase(sideName);
    }

    QSqlQuery run(const QString &statement, const QVariantList &values = {})
    {
        QSqlQuery query(QSqlDatabase::database(sideName));
        query.prepare(statement);
        for (const QVariant &value : values)
            query.addBindValue(value);
        query.exec();
        return query;
    }

    bool exec(const QString &statement, const QVariantList &values = {})
    {
        return run(statement, values).isActive();
    }

    // The first field of the first row.
    QVariant value(const QString &statement, const QVariantList &values = {})
    {
        QSqlQuery query = run(statement, values);
        return query.next() ? query.value(0) : QVariant();
    }

    QStringList columnNames(const QString &table)
    {
        QStringList names;
        QSqlQuery query(QSqlDatabase::database(sideName));
        query.exec(QStringLiteral("pragma table_info(%1)").arg(table));
        while (query.next())
            names << query.value(1).toString() + QLatin1Char(' ') + query.value(2).toString();
        return names;
    }

    // Schema and every row of every table, NULL told apart from "".
    QStringList snapshot()
    {
        QStringList lines;
        QSqlQuery schema(QSqlDatabase::database(sideName));
        schema.exec(QStringLiteral("select type, name, sql from sqlite_master order by name"));
        while (schema.next()) {
            lines << schema.value(0).toString() + QLatin1Char('|') + schema.value(1).toString()
                    + QLatin1Char('|') + schema.value(2).toString();
            if (schema.value(0).toString() == QLatin1String("table"))
                lines << rows(schema.value(1).toString());
        }
        return lines;
    }

private:
    QStringList rows(const QString &table)
    {
        QStringList lines;
        QSqlQuery query(QSqlDatabase::database(sideName));
        query.exec(QStringLiteral("select rowid, * from \"%1\" order by rowid").arg(table));
        while (query.next()) {
            QStringList fields;
            for (int i = 0; i < query.record().count(); ++i)
                fields << (query.isNull(i) ? QStringLiteral("<null>") : query.value(i).toString());
            lines << table + QLatin1Char(':') + fields.join(QLatin1Char('|'));
        }
        return lines;
    }
};

const int fixtureRows = 5;

void createFixture(const QString &path)
{
    SideConnection side(path);
    side.exec(QStringLiteral("create table ServerTask (TaskId TEXT, Status TEXT, Name TEXT, "
                             "Note TEXT DEFAULT 'Owner', \"%1\" TEXT DEFAULT 'kind')")
                  .arg(kelvinColumn));
    const QString insert =
        QStringLiteral("insert into ServerTask (TaskId, Status, Name, Note) values (?,?,?,?)");
    side.exec(insert, { "t1", "new", "alpha", QVariant() });
    side.exec(insert, { "t2", "done", "beta", "b" });
    side.exec(insert, { "t3", "new", "gamma", "c" });
    side.exec(insert, { "t4", "open", "first", "d" });
    side.exec(insert, { "t4", "open", "second", "e" });
    side.exec(QStringLiteral("create table Other (TaskId TEXT, Name TEXT)"));
    side.exec(QStringLiteral("insert into Other values ('t1', 'other')"));
}

QStringList hostileTexts()
{
    const QStringList pieces = {
        "'",    "''",         "\"",   "--",          ";",
        "%",    "_",          "\\",   "/*",          "*/",
        " ",    "\n",         "\t",   "x",           "ü",
        "日本", "\U0001F600", "NULL", "' or '1'='1", "'; drop table ServerTask; --",
        "?",    ":name",      "%s"
    };
    QStringList texts = pieces;
    texts << QStringLiteral("");
    QRandomGenerator random(20240611);
    for (int i = 0; i < 60; ++i) {
        QString text;
        for (int n = 2 + random.bounded(4); n > 0; --n)
            text += pieces.at(random.bounded(pieces.size()));
        texts << text;
    }
    return texts;
}

using Operation = std::function<void(TaskStore &)>;

} // namespace

Q_DECLARE_METATYPE(Operation)

class tst_TaskStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void initDatabaseAddsClosedConnection();
    void initDatabaseSwitchesFiles_data();
    void initDatabaseSwitchesFiles();
    void connectionAfterOperation_data();
    void connectionAfterOperation();
    void taskValue_data();
    void taskValue();
    void taskCount_data();
    void taskCount();
    void clearTasks();
    void updateValue_data();
    void updateValue();
    void hostileValuesRoundTrip_data();
    void hostileValuesRoundTrip();
    void hasColumn_data();
    void hasColumn();
    void addColumn_data();
    void addColumn();
    void refusedIdentifiers_data();
    void refusedIdentifiers();
    void missingFile();
    void databaseWithoutTable();

private:
    TaskStore storeOnFixture();

    QTemporaryDir m_dir;
    QString m_path;
    int m_files = 0;
};

void tst_TaskStore::initTestCase()
{
    QVERIFY2(m_dir.isValid(), qPrintable(m_dir.errorString()));
    QVERIFY(QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")));
}

// The default connection outlives every store, and a reused one reopens the
// previous file: the files stay until the end so that this stays harmless.
void tst_TaskStore::init()
{
    m_path = m_dir.filePath(QStringLiteral("tasks%1.db").arg(++m_files));
    createFixture(m_path);
}

TaskStore tst_TaskStore::storeOnFixture()
{
    TaskStore store;
    store.initDatabase(m_path);
    return store;
}

void tst_TaskStore::initDatabaseAddsClosedConnection()
{
    const QString name = QLatin1String(QSqlDatabase::defaultConnection);
    QSqlDatabase::removeDatabase(name);

    TaskStore store;
    store.initDatabase(m_path);

    QVERIFY(QSqlDatabase::contains(name));
    const QSqlDatabase db = QSqlDatabase::database(name, false);
    QCOMPARE(db.driverName(), QStringLiteral("QSQLITE"));
    QCOMPARE(db.databaseName(), m_path);
    QVERIFY(!db.isOpen());
    QCOMPARE(store.taskValue("t2", "Name"), QStringLiteral("beta"));
}

void tst_TaskStore::initDatabaseSwitchesFiles_data()
{
    QTest::addColumn<bool>("openBefore");
    QTest::newRow("previous file open") << true;
    QTest::newRow("previous file closed") << false;
}

void tst_TaskStore::initDatabaseSwitchesFiles()
{
    QFETCH(bool, openBefore);
    const QString firstPath = m_path;
    const QString secondPath = m_dir.filePath(QStringLiteral("second%1.db").arg(m_files));
    createFixture(secondPath);

    TaskStore store;
    store.initDatabase(firstPath);
    QCOMPARE(store.openDatabase(), true);
    if (!openBefore)
        store.closeDatabase();
    store.initDatabase(secondPath);
    QVERIFY(storeConnectionOpen());

    store.updateValue("t2", "Name", "changed", "ServerTask");
    store.clearTasks();
    store.updateValue("t1", "Name", "changed", "Other");

    SideConnection first(firstPath);
    QCOMPARE(first.value("select count(*) from ServerTask").toInt(), fixtureRows);
    QCOMPARE(first.value("select Name from Other").toString(), QStringLiteral("other"));
    QCOMPARE(store.taskCount(QString()), 0);
    QCOMPARE(store.taskValue("t1", "Name"), QString());
}

void tst_TaskStore::connectionAfterOperation_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<bool>("openBefore");
    QTest::addColumn<bool>("openAfter");

    struct Row
    {
        const char *name;
        Operation operation;
        bool openAfter;
    };
    const QList<Row> rows = {
        { "openDatabase", [](TaskStore &s) { s.openDatabase(); }, true },
        { "closeDatabase", [](TaskStore &s) { s.closeDatabase(); }, false },
        { "taskValue", [](TaskStore &s) { s.taskValue("t1", "Name"); }, true },
        { "taskValue, refused column", [](TaskStore &s) { s.taskValue("t1", "a b"); }, true },
        { "clearTasks", [](TaskStore &s) { s.clearTasks(); }, false },
        { "updateValue", [](TaskStore &s) { s.updateValue("t1", "Name", "v", "ServerTask"); },
          false },
        { "updateValue, no such row",
          [](TaskStore &s) { s.updateValue("t9", "Name", "v", "ServerTask"); }, false },
        { "updateValue, refused table",
          [](TaskStore &s) { s.updateValue("t1", "Name", "v", "a b"); }, false },
        { "taskCount", [](TaskStore &s) { s.taskCount("new"); }, true },
        { "hasColumn", [](TaskStore &s) { s.hasColumn("Name"); }, true },
        { "hasColumn, refused", [](TaskStore &s) { s.hasColumn("a b"); }, true },
        { "addColumn, new", [](TaskStore &s) { s.addColumn("Extra"); }, true },
        { "addColumn, present", [](TaskStore &s) { s.addColumn("Name"); }, true },
    };
    for (const Row &row : rows) {
        for (bool openBefore : { true, false }) {
            QTest::addRow("%s, %s before", row.name, openBefore ? "open" : "closed")
                << row.operation << openBefore << row.openAfter;
        }
    }
}

void tst_TaskStore::connectionAfterOperation()
{
    QFETCH(Operation, operation);
    QFETCH(bool, openBefore);
    QFETCH(bool, openAfter);

    TaskStore store = storeOnFixture();
    if (openBefore)
        QVERIFY(store.openDatabase());
    else
        store.closeDatabase();
    QCOMPARE(storeConnectionOpen(), openBefore);

    operation(store);

    QCOMPARE(storeConnectionOpen(), openAfter);
}

void tst_TaskStore::taskValue_data()
{
    QTest::addColumn<QString>("taskId");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QString>("expected");

    const auto row = [](const char *name, const char *taskId, const char *column,
                        const QString &expected) {
        QTest::newRow(name) << QString(taskId) << QString(column) << expected;
    };
    row("value", "t2", "Name", "beta");
    row("column name in other case", "t2", "nAME", "beta");
    row("SQL NULL", "t1", "Note", QString());
    row("no such row", "t9", "Name", QString());
    row("no such column", "t2", "Missing", QString());
    row("id in other case", "T2", "Name", QString());
    row("id with trailing blank", "t2 ", "Name", QString());
    row("several rows: the first", "t4", "Name", "first");
}

void tst_TaskStore::taskValue()
{
    QFETCH(QString, taskId);
    QFETCH(QString, column);
    QFETCH(QString, expected);

    TaskStore store = storeOnFixture();
    QCOMPARE(store.taskValue(taskId, column), expected);
}

void tst_TaskStore::taskCount_data()
{
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("expected");

    QTest::newRow("null: all rows") << QString() << fixtureRows;
    QTest::newRow("empty: all rows") << QStringLiteral("") << fixtureRows;
    QTest::newRow("new") << "new" << 2;
    QTest::newRow("done") << "done" << 1;
    QTest::newRow("other case") << "NEW" << 0;
    QTest::newRow("prefix") << "ne" << 0;
    QTest::newRow("trailing blank") << "new " << 0;
    QTest::newRow("wildcard is literal") << "n_w" << 0;
    QTest::newRow("percent is literal") << "%" << 0;
    QTest::newRow("unknown") << "missing" << 0;
}

void tst_TaskStore::taskCount()
{
    QFETCH(QString, status);
    QFETCH(int, expected);

    TaskStore store = storeOnFixture();
    QCOMPARE(store.taskCount(status), expected);
}

void tst_TaskStore::clearTasks()
{
    TaskStore store = storeOnFixture();
    store.clearTasks();

    QVERIFY(!storeConnectionOpen());
    SideConnection side(m_path);
    QCOMPARE(side.value("select count(*) from ServerTask").toInt(), 0);
    QCOMPARE(side.value("select count(*) from Other").toInt(), 1);

    // The closed connection opens again for the next operation.
    side.exec("insert into ServerTask (TaskId, Status) values ('t7', 'new')");
    QCOMPARE(store.taskCount(QString()), 1);
}

void tst_TaskStore::updateValue_data()
{
    QTest::addColumn<QString>("taskId");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("table");
    QTest::addColumn<QList<int>>("changedRows");

    const auto row = [](const char *name, const char *taskId, const char *column, const char *value,
                        const char *table, const QList<int> &changedRows) {
        QTest::newRow(name) << QString(taskId) << QString(column) << QString(value)
                            << QString(table) << changedRows;
    };
    row("one row", "t2", "Name", "renamed", "ServerTask", { 2 });
    row("every row of the id", "t4", "Note", "both", "ServerTask", { 4, 5 });
    row("NULL becomes empty text", "t1", "Note", "", "ServerTask", { 1 });
    row("column name in other case", "t1", "nOTE", "v", "ServerTask", { 1 });
    row("other table", "t1", "Name", "v", "Other", { 1 });
    row("no such row", "t9", "Name", "v", "ServerTask", {});
    row("no such column", "t2", "Missing", "v", "ServerTask", {});
    row("no such table", "t2", "Name", "v", "Nowhere", {});
}

void tst_TaskStore::updateValue()
{
    QFETCH(QString, taskId);
    QFETCH(QString, column);
    QFETCH(QString, value);
    QFETCH(QString, table);
    QFETCH(QList<int>, changedRows);

    SideConnection side(m_path);
    const QStringList before = side.snapshot();
    const QString cell = QStringLiteral("select %1 from %2 where rowid = ?").arg(column, table);
    QVariantList original;
    for (int row : changedRows)
        original << side.value(cell, { row });

    TaskStore store = storeOnFixture();
    store.updateValue(taskId, column, value, table);
    QVERIFY(!storeConnectionOpen());

    // Put the expected cells back through the side connection: anything
    // else the update touched then shows as a difference.
    const QString restore =
        QStringLiteral("update %1 set %2 = ? where rowid = ?").arg(table, column);
    for (int i = 0; i < changedRows.size(); ++i) {
        const QVariant now = side.value(cell, { changedRows[i] });
        QVERIFY(!now.isNull());
        QCOMPARE(now.toString(), value);
        QVERIFY(side.exec(restore, { original[i], changedRows[i] }));
    }
    QCOMPARE(side.snapshot(), before);
}

void tst_TaskStore::hostileValuesRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    const QStringList texts = hostileTexts();
    for (int i = 0; i < texts.size(); ++i)
        QTest::addRow("%d", i) << texts.at(i);
}

// The text serves as task id, status and new value at once.
void tst_TaskStore::hostileValuesRoundTrip()
{
    QFETCH(QString, text);

    SideConnection side(m_path);
    const QString insert = QStringLiteral(
        "insert into ServerTask (TaskId, Status, Name, Note) values (?, ?, ?, 'kept')");
    QVERIFY(side.exec(insert, { text, text, "target" }));
    QVERIFY(side.exec(insert, { text + "x", text, "bystander" }));
    const QStringList before = side.snapshot();

    TaskStore store = storeOnFixture();
    store.updateValue(text, "Note", text, "ServerTask");
    QCOMPARE(store.taskValue(text, "Note"), text);
    QCOMPARE(store.taskValue(text, "Name"), QStringLiteral("target"));
    QCOMPARE(store.taskCount(text), text.isEmpty() ? fixtureRows + 2 : 2);

    QVERIFY(side.exec("update ServerTask set Note = 'kept' where Name = 'target'"));
    QCOMPARE(side.snapshot(), before);
}

void tst_TaskStore::hasColumn_data()
{
    QTest::addColumn<QString>("column");
    QTest::addColumn<bool>("expected");

    QTest::newRow("column") << "TaskId" << true;
    QTest::newRow("last column") << "Note" << true;
    QTest::newRow("ASCII case ignored") << "tASKiD" << true;
    QTest::newRow("start of a column") << "Task" << false;
    QTest::newRow("end of a column") << "Id" << false;
    QTest::newRow("LIKE wildcard") << "Na_e" << false;
    QTest::newRow("table name") << "ServerTask" << false;
    QTest::newRow("type name") << "TEXT" << false;
    QTest::newRow("default value") << "Owner" << false;
    QTest::newRow("Kelvin sign is not K") << "kind" << false;
    QTest::newRow("percent") << "%" << false;
    QTest::newRow("empty") << "" << false;
}

void tst_TaskStore::hasColumn()
{
    QFETCH(QString, column);
    QFETCH(bool, expected);

    TaskStore store = storeOnFixture();
    QCOMPARE(store.hasColumn(column), expected);
}

void tst_TaskStore::addColumn_data()
{
    QTest::addColumn<QString>("column");
    QTest::addColumn<bool>("added");

    QTest::newRow("new name") << "Extra" << true;
    QTest::newRow("existing name") << "Name" << false;
    QTest::newRow("existing name, other case") << "STATUS" << false;
    QTest::newRow("start of a column") << "Task" << true;
    QTest::newRow("end of a column") << "Id" << true;
    QTest::newRow("matches a column as LIKE pattern") << "Na_e" << true;
    QTest::newRow("table name") << "ServerTask" << true;
    QTest::newRow("default value") << "Owner" << true;
    QTest::newRow("Kelvin sign is not K") << "kind" << true;
}

void tst_TaskStore::addColumn()
{
    QFETCH(QString, column);
    QFETCH(bool, added);

    SideConnection side(m_path);
    QStringList expected = side.columnNames("ServerTask");
    if (added)
        expected << column + QStringLiteral(" TEXT");

    TaskStore store = storeOnFixture();
    QCOMPARE(store.addColumn(column), 0);
    QCOMPARE(store.addColumn(column), 0);

    QCOMPARE(side.columnNames("ServerTask"), expected);
    QVERIFY(store.hasColumn(column));
}

void tst_TaskStore::refusedIdentifiers_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("statement") << "x; drop table ServerTask";
    QTest::newRow("blank") << "a b";
    QTest::newRow("empty") << "";
    QTest::newRow("comment") << "Name='x' --";
    QTest::newRow("second assignment") << "Status='x', Name";
    QTest::newRow("table and assignment") << "ServerTask set Name='x' --";
    QTest::newRow("type and comment") << "x TEXT --";
    QTest::newRow("leading digit") << "1abc";
    QTest::newRow("quoted") << "\"Name\"";
    QTest::newRow("bracketed") << "[Name]";
    QTest::newRow("line feed") << "Name\n";
    QTest::newRow("LIKE pattern") << "%";
    QTest::newRow("non-ASCII") << QStringLiteral("N\u00e4me");
}

void tst_TaskStore::refusedIdentifiers()
{
    QFETCH(QString, name);

    SideConnection side(m_path);
    const QStringList before = side.snapshot();

    TaskStore store = storeOnFixture();
    QCOMPARE(store.taskValue("t2", name), QString());
    store.updateValue("t2", name, "v", "ServerTask");
    store.updateValue("t2", "Name", "v", name);
    QCOMPARE(store.hasColumn(name), false);
    QCOMPARE(store.addColumn(name), 0);

    QCOMPARE(side.snapshot(), before);
}

void tst_TaskStore::missingFile()
{
    const QString path = m_dir.filePath(QStringLiteral("absent%1.db").arg(m_files));
    QVERIFY(!QFileInfo::exists(path));

    TaskStore store;
    store.initDatabase(path);
    QCOMPARE(store.taskValue("t1", "Name"), QString());
    QCOMPARE(store.taskCount(QString()), 0);
    QCOMPARE(store.hasColumn("TaskId"), false);
    QCOMPARE(store.addColumn("Extra"), 0);
    store.updateValue("t1", "Name", "v", "ServerTask");
    store.clearTasks();

    QVERIFY(QFileInfo::exists(path));
    QCOMPARE(QFileInfo(path).size(), 0);
}

void tst_TaskStore::databaseWithoutTable()
{
    SideConnection side(m_path);
    QVERIFY(side.exec("drop table ServerTask"));
    const QStringList before = side.snapshot();

    TaskStore store = storeOnFixture();
    QCOMPARE(store.taskValue("t1", "Name"), QString());
    QCOMPARE(store.taskCount(QString()), 0);
    QCOMPARE(store.taskCount("new"), 0);
    QCOMPARE(store.hasColumn("TaskId"), false);
    QCOMPARE(store.addColumn("Extra"), 0);
    store.updateValue("t1", "Name", "v", "ServerTask");
    store.clearTasks();
    QCOMPARE(side.snapshot(), before);

    // Other tables stay within reach.
    store.updateValue("t1", "Name", "v", "Other");
    QCOMPARE(side.value("select Name from Other").toString(), QStringLiteral("v"));
}

QTEST_GUILESS_MAIN(tst_TaskStore)
#include "tst_taskstore.moc"
