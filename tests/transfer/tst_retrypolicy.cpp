#include "partialdownload.h"
#include "retrypolicy.h"

#include <QTest>

using Cause = RetryPolicy::Cause;
using Action = RetryPolicy::Action;
using Kind = PartialDownload::Resumption::Kind;

Q_DECLARE_METATYPE(Cause)
Q_DECLARE_METATYPE(Action)
Q_DECLARE_METATYPE(PartialDownload::Source)

// What a download does after a try failed, and with bytes a try finds.
class tst_RetryPolicy : public QObject
{
    Q_OBJECT

private slots:
    void after_data();
    void after();
    void causeOf_data();
    void causeOf();
    void resumption_data();
    void resumption();
};

void tst_RetryPolicy::after_data()
{
    QTest::addColumn<Cause>("cause");
    QTest::addColumn<int>("triesMade");
    QTest::addColumn<Action>("action");
    QTest::addColumn<int>("pauseMs");

    QTest::newRow("cut, first try") << Cause::Cut << 1 << Action::Retry << 1000;
    QTest::newRow("cut, third try") << Cause::Cut << 3 << Action::Retry << 4000;
    QTest::newRow("cut, tries spent") << Cause::Cut << 6 << Action::Stop << 0;
    QTest::newRow("stalled") << Cause::Stalled << 2 << Action::Retry << 2000;
    QTest::newRow("server busy") << Cause::ServerBusy << 1 << Action::Retry << 1000;
    QTest::newRow("down at the press") << Cause::Unreachable << 1 << Action::Stop << 0;
    QTest::newRow("lost between tries") << Cause::Unreachable << 2 << Action::Retry << 2000;
    QTest::newRow("refused") << Cause::Refused << 1 << Action::Stop << 0;
    QTest::newRow("too slow") << Cause::TooSlow << 1 << Action::Stop << 0;
    QTest::newRow("canceled") << Cause::Canceled << 1 << Action::Stop << 0;
    QTest::newRow("missing") << Cause::Missing << 1 << Action::Discard << 0;
    QTest::newRow("overrun") << Cause::Overrun << 2 << Action::Discard << 0;
    QTest::newRow("local file") << Cause::LocalFile << 1 << Action::Discard << 0;
}

void tst_RetryPolicy::after()
{
    QFETCH(Cause, cause);
    QFETCH(int, triesMade);
    QFETCH(Action, action);
    QFETCH(int, pauseMs);
    const RetryPolicy policy({ 1000, 2000, 4000, 8000, 8000 });
    const RetryPolicy::Decision decision = policy.after(cause, triesMade);
    QCOMPARE(decision.action, action);
    QCOMPARE(decision.pauseMs, pauseMs);
    // Without pauses nothing is tried again.
    QVERIFY(RetryPolicy().after(cause, triesMade).action != Action::Retry);
}

void tst_RetryPolicy::causeOf_data()
{
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    QTest::addColumn<Cause>("cause");
    QTest::newRow("closed") << QNetworkReply::RemoteHostClosedError << Cause::Cut;
    QTest::newRow("data connection broke") << QNetworkReply::UnknownNetworkError << Cause::Cut;
    QTest::newRow("4xx") << QNetworkReply::TemporaryNetworkFailureError << Cause::ServerBusy;
    QTest::newRow("refused") << QNetworkReply::ConnectionRefusedError << Cause::Unreachable;
    QTest::newRow("5xx on RETR") << QNetworkReply::ContentNotFoundError << Cause::Missing;
    QTest::newRow("login") << QNetworkReply::AuthenticationRequiredError << Cause::Refused;
    // Garbage, an impossible size, a data port that takes no connection.
    QTest::newRow("not FTP") << QNetworkReply::ProtocolFailure << Cause::Refused;
}

void tst_RetryPolicy::causeOf()
{
    QFETCH(QNetworkReply::NetworkError, error);
    QFETCH(Cause, cause);
    QCOMPARE(RetryPolicy::causeOf(error), cause);
}

void tst_RetryPolicy::resumption_data()
{
    QTest::addColumn<qint64>("held");
    QTest::addColumn<PartialDownload::Source>("recorded");
    QTest::addColumn<PartialDownload::Source>("remote");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("why"); // part of the reason; empty: none

    const PartialDownload::Source file { QStringLiteral("h:21/a.zip"), 1000, "20261208120000" };
    PartialDownload::Source otherTime = file;
    otherTime.time = "20261209120000";
    PartialDownload::Source otherSize = file;
    otherSize.size = 2000;
    PartialDownload::Source noSize = file;
    noSize.size = -1;

    QTest::newRow("nothing held") << qint64(0) << file << file << int(Kind::Restart) << QString();
    QTest::newRow("same file") << qint64(400) << file << file << int(Kind::Resume) << QString();
    QTest::newRow("whole already") << qint64(1000) << file << file << int(Kind::Whole) << QString();
    QTest::newRow("longer than the file")
        << qint64(1001) << file << file << int(Kind::Restart) << "longer than the file";
    QTest::newRow("time changed") << qint64(400) << file << otherTime << int(Kind::Restart)
                                  << "the file on the server changed";
    QTest::newRow("size changed") << qint64(400) << file << otherSize << int(Kind::Restart)
                                  << "the file on the server changed";
    QTest::newRow("size untold") << qint64(400) << file << noSize << int(Kind::Restart)
                                 << "does not tell the file's size";
    QTest::newRow("origin unknown") << qint64(400) << PartialDownload::Source() << file
                                    << int(Kind::Restart) << "not known which file";
}

void tst_RetryPolicy::resumption()
{
    QFETCH(qint64, held);
    QFETCH(PartialDownload::Source, recorded);
    QFETCH(PartialDownload::Source, remote);
    QFETCH(int, kind);
    QFETCH(QString, why);
    const PartialDownload::Resumption resumption =
        PartialDownload::resumption(held, recorded, remote);
    QCOMPARE(int(resumption.kind), kind);
    if (why.isEmpty())
        QCOMPARE(resumption.why, QString());
    else
        QVERIFY2(resumption.why.contains(why), qPrintable(resumption.why));
}

QTEST_GUILESS_MAIN(tst_RetryPolicy)
#include "tst_retrypolicy.moc"
