#include "ftpcontrolchannel.h"

#include <QBuffer>
#include <QTest>

// The control connection's framing, on a buffer that holds what a server
// sent.
class tst_FtpControlChannel : public QObject
{
    Q_OBJECT

private slots:
    void next_data();
    void next();
    void send();
};

void tst_FtpControlChannel::next_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QStringList>("replies"); // "code text" each; "not FTP" ends a list

    QTest::newRow("one line") << QByteArray("220 ready\r\n") << QStringList { "220 ready" };
    QTest::newRow("line feed alone") << QByteArray("213 42\n") << QStringList { "213 42" };
    QTest::newRow("code without text") << QByteArray("200\r\n") << QStringList { "200 " };
    QTest::newRow("two replies") << QByteArray("331 password\r\n230 in\r\n")
                                 << QStringList { "331 password", "230 in" };
    QTest::newRow("multi-line") << QByteArray("211-Features:\r\n MDTM\r\n SIZE\r\n211 End\r\n")
                                << QStringList { "211 End" };
    // The middle line starts with the code and a blank but is padded: text.
    QTest::newRow("padded line inside")
        << QByteArray("213-Size follows\r\n 213 is the code\r\n213 300000\r\n")
        << QStringList { "213 300000" };
    QTest::newRow("another code inside")
        << QByteArray("220-Welcome\r\n230 not the end\r\n220 ready\r\n")
        << QStringList { "220 ready" };
    QTest::newRow("half a reply") << QByteArray("220-Welcome\r\nstill") << QStringList();
    QTest::newRow("no line end yet") << QByteArray("220 rea") << QStringList();
    QTest::newRow("garbage greeting")
        << QByteArray("HTTP/1.1 400 Bad Request\r\n") << QStringList { "not FTP" };
    QTest::newRow("code out of range") << QByteArray("600 what\r\n") << QStringList { "not FTP" };
    QTest::newRow("two digits") << QByteArray("22 ready\r\n") << QStringList { "not FTP" };
    QTest::newRow("digits run on") << QByteArray("2200 ready\r\n") << QStringList { "not FTP" };
    QTest::newRow("reply then garbage")
        << QByteArray("220 ready\r\n<html>\r\n") << QStringList { "220 ready", "not FTP" };
    QTest::newRow("endless line") << QByteArray(FtpControlChannel::MaxLineLength + 10, 'x')
                                  << QStringList { "not FTP" };
}

void tst_FtpControlChannel::next()
{
    QFETCH(QByteArray, received);
    QFETCH(QStringList, replies);
    QBuffer buffer(&received);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    FtpControlChannel channel(&buffer);

    QStringList got;
    for (;;) {
        FtpControlChannel::Reply reply;
        const FtpControlChannel::Read read = channel.next(&reply);
        if (read == FtpControlChannel::Read::Nothing)
            break;
        if (read == FtpControlChannel::Read::NotFtp) {
            QVERIFY(!channel.errorString().isEmpty());
            got.append(QStringLiteral("not FTP"));
            break;
        }
        got.append(QString::number(reply.code) + QLatin1Char(' ')
                   + QString::fromLatin1(reply.text));
    }
    QCOMPARE(got, replies);
}

void tst_FtpControlChannel::send()
{
    QByteArray sent;
    QBuffer buffer(&sent);
    QVERIFY(buffer.open(QIODevice::WriteOnly));
    FtpControlChannel channel(&buffer);
    channel.send("USER velmorapro");
    channel.send("PASS qz482");
    QCOMPARE(sent, QByteArray("USER velmorapro\r\nPASS qz482\r\n"));
}

QTEST_GUILESS_MAIN(tst_FtpControlChannel)
#include "tst_ftpcontrolchannel.moc"
