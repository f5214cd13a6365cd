#include "installation.h"
#include "releaseorder.h"
#include "signedrelease.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace Installation;

namespace {

QString stamped(qint64 time, const QString &file = QStringLiteral("vlm_update.zip"))
{
    return QStringLiteral("timestamp:%1\tfile:%2\thashed").arg(time).arg(file);
}

QByteArray recordOf(qint64 time)
{
    ReleaseOrder first { QByteArray() };
    return first.admits(stamped(time), QStringLiteral("vlm_update.zip")) ? first.nextRecord()
                                                                         : QByteArray();
}

} // namespace

// A signed build's whole policy: the publisher's signature, then the order
// of releases against the record in the installation.
class tst_SignedRelease : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void admit_data();
    void admit();

private:
    QTemporaryDir keys;
};

void tst_SignedRelease::initTestCase()
{
    if (!minisignAvailable())
        QSKIP(qPrintable(whyNoMinisign()));
    QVERIFY(keys.isValid());
    for (const char *key : { "publisher", "other" })
        QVERIFY(makeSigningKey(keys.filePath(QLatin1String(key))));
}

void tst_SignedRelease::admit_data()
{
    QTest::addColumn<QString>("signer"); // empty: no signature
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QByteArray>("record"); // null: none; "folder": a folder in its place
    QTest::addColumn<QString>("refusal"); // part of errorString(); empty: admitted
    QTest::addColumn<QString>("note"); // part of the last note

    const QString publisher = QStringLiteral("publisher");
    QTest::newRow("the first signed release")
        << publisher << stamped(2000) << QByteArray() << QString()
        << QStringLiteral("vlm_update.zip: no signed release was recorded here");
    QTest::newRow("newer than the installed one")
        << publisher << stamped(2000) << recordOf(1000) << QString()
        << QStringLiteral("is not older than the installed one");
    QTest::newRow("the installed one again")
        << publisher << stamped(2000) << recordOf(2000) << QString()
        << QStringLiteral("is not older than the installed one");
    QTest::newRow("older than the installed one")
        << publisher << stamped(1000) << recordOf(2000)
        << QStringLiteral("vlm_update.zip is refused: it is an older release than the one "
                          "installed")
        << QStringLiteral("trusted comment: ");
    QTest::newRow("signed for another file")
        << publisher << stamped(3000, QStringLiteral("vlm_tools.zip")) << recordOf(2000)
        << QStringLiteral("vlm_update.zip is refused: its signature was made for the file "
                          "vlm_tools.zip")
        << QStringLiteral("trusted comment: ");
    // A record that is there but cannot be read bars nothing, and says so.
    const QString unreadable = QStringLiteral("the record of the installed release cannot be read");
    QTest::newRow("an empty record")
        << publisher << stamped(1000) << QByteArray("") << QString() << unreadable;
    QTest::newRow("a record of garbage")
        << publisher << stamped(1000) << randomBytes(300, 5) << QString() << unreadable;
    QTest::newRow("a record far too large")
        << publisher << stamped(1000) << recordOf(2000) + QByteArray(70000, 'x') << QString()
        << unreadable;
    QTest::newRow("a folder for a record")
        << publisher << stamped(1000) << QByteArray("folder") << QString() << unreadable;
    QTest::newRow("signed by another key")
        << QStringLiteral("other") << stamped(3000) << recordOf(2000)
        << QStringLiteral("vlm_update.zip is refused: the signature was made by the key")
        << QString();
    QTest::newRow("no signature") << QString() << QString() << QByteArray()
                                  << QStringLiteral(
                                         "vlm_update.zip is refused: the signature file ")
                                  << QString();
}

void tst_SignedRelease::admit()
{
    QFETCH(QString, signer);
    QFETCH(QString, comment);
    QFETCH(QByteArray, record);
    QFETCH(QString, refusal);
    QFETCH(QString, note);
    QTemporaryDir home;
    const SignedRelease::Files files { home.filePath(QStringLiteral("vlm_update.zip")),
                                       home.filePath(QStringLiteral("vlm_update.zip.minisig")),
                                       home.filePath(QStringLiteral("vlm_update.release")) };
    QVERIFY(writeFile(files.archive, randomBytes(100000, 3)));
    if (!signer.isEmpty())
        QVERIFY(signFile(keys.filePath(signer), files.archive, comment));
    if (record == "folder")
        QVERIFY(QDir().mkpath(files.record));
    else if (!record.isNull())
        QVERIFY(writeFile(files.record, record));

    SignedRelease release(QString::fromLatin1(readFile(keys.filePath("publisher.pub"))), files);
    const bool verified = release.verify();
    const bool admitted = verified && release.admit();
    QCOMPARE(admitted, refusal.isEmpty());
    QVERIFY2(release.errorString().contains(refusal), qPrintable(release.errorString()));
    QCOMPARE(release.notes().isEmpty(), !verified);
    if (verified) {
        QCOMPARE(release.notes().first(),
                 QStringLiteral("vlm_update.zip is signed by the publisher; trusted comment: ")
                     + comment);
        QVERIFY2(release.notes().last().contains(note), qPrintable(release.notes().last()));
    }
    // What is committed is what decides the next archive; a refusal commits nothing.
    QCOMPARE(release.record().isEmpty(), !admitted);
    if (admitted)
        QVERIFY(!ReleaseOrder(release.record()).admits(stamped(999), "vlm_update.zip"));
}

QTEST_GUILESS_MAIN(tst_SignedRelease)
#include "tst_signedrelease.moc"
