#include "releaseorder.h"

#include <QTest>

namespace {

QString stamped(qint64 time, const QString &file = QStringLiteral("vlm_update.zip"))
{
    return QStringLiteral("timestamp:%1\tfile:%2\thashed").arg(time).arg(file);
}

QByteArray recordOf(const QString &installedComment)
{
    ReleaseOrder first { QByteArray() };
    return first.admits(installedComment, QStringLiteral("vlm_update.zip")) ? first.nextRecord()
                                                                            : QByteArray();
}

} // namespace

// Which signed releases may replace the one installed last.
class tst_ReleaseOrder : public QObject
{
    Q_OBJECT

private slots:
    void admits_data();
    void admits();
};

void tst_ReleaseOrder::admits_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<bool>("admitted");
    QTest::addColumn<QString>("note"); // part of note()
    QTest::addColumn<QString>("later"); // admitted once the offered one is installed: empty: -

    const qint64 installed = 1796000000;
    const QByteArray record = recordOf(stamped(installed));
    QTest::newRow("older") << record << stamped(installed - 86400) << false
                           << QStringLiteral("older release than the one installed: signed "
                                             "2026-11-29T00:53:20Z (trusted comment")
                           << QString();
    QTest::newRow("same, a repair")
        << record << stamped(installed) << true << QStringLiteral("not older") << QString();
    QTest::newRow("newer") << record << stamped(installed + 1) << true
                           << QStringLiteral("2026-11-30T00:53:21Z") << QString();
    QTest::newRow("signed for another file")
        << record << stamped(installed + 1, QStringLiteral("vlm_tools.zip")) << false
        << QStringLiteral("made for the file vlm_tools.zip, not for vlm_update.zip") << QString();
    // The bar stays where the last stamped release put it.
    QTest::newRow("no timestamp") << record << QStringLiteral("Velmora 2.1") << true
                                  << QStringLiteral("no rollback protection applied")
                                  << stamped(installed - 1);
    QTest::newRow("malformed timestamp")
        << record << QStringLiteral("timestamp:-5\tfile:vlm_update.zip") << true
        << QStringLiteral("carries no timestamp") << QString();
    QTest::newRow("no record yet")
        << QByteArray() << stamped(installed - 86400) << true
        << QStringLiteral("no signed release was recorded here") << stamped(installed - 86401);
    QTest::newRow("record unreadable")
        << QByteArray("{not json") << stamped(installed) << true
        << QStringLiteral("record of the installed release cannot be read") << QString();
}

void tst_ReleaseOrder::admits()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, offered);
    QFETCH(bool, admitted);
    QFETCH(QString, note);
    QFETCH(QString, later);

    ReleaseOrder order(record);
    QCOMPARE(order.admits(offered, QStringLiteral("vlm_update.zip")), admitted);
    QVERIFY2(order.note().contains(note), qPrintable(order.note()));
    QCOMPARE(order.nextRecord().isEmpty(), !admitted);
    if (later.isEmpty())
        return;
    // What was recorded decides the next archive.
    ReleaseOrder next(order.nextRecord());
    QCOMPARE(next.admits(later, QStringLiteral("vlm_update.zip")), false);
}

QTEST_GUILESS_MAIN(tst_ReleaseOrder)
#include "tst_releaseorder.moc"
