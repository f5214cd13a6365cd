#include "minisignsignature.h"

#include <QtTest>

namespace {

QByteArray bytes(int size, char fill)
{
    return QByteArray(size, fill);
}

// The second line: algorithm, key id and the file's signature, in base64.
QByteArray signatureLine(const QByteArray &algorithm = "ED")
{
    return (algorithm + bytes(8, 'k') + bytes(64, 's')).toBase64();
}

QByteArray file(const QByteArray &first, const QByteArray &second, const QByteArray &third,
                const QByteArray &fourth)
{
    return first + '\n' + second + '\n' + third + '\n' + fourth + '\n';
}

const QByteArray Untrusted = "untrusted comment: signature from minisign secret key";
const QByteArray Trusted = "trusted comment: timestamp:1796000000\tfile:vlm_update.zip\thashed";

QByteArray sound()
{
    return file(Untrusted, signatureLine(), Trusted, bytes(64, 'c').toBase64());
}

} // namespace

// The signature file's form, told apart from its cryptography: no key is
// needed to see that a file is no signature.
class tst_MinisignSignature : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void tst_MinisignSignature::parse_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("why"); // empty: parsed
    QTest::addColumn<QByteArray>("algorithm");
    QTest::addColumn<QByteArray>("trustedComment");

    const QByteArray comment = Trusted.mid(17);
    const QByteArray line = signatureLine();
    const QByteArray commentSignature = bytes(64, 'c').toBase64();
    QByteArray crlf = sound();
    crlf.replace("\n", "\r\n");
    // A long untrusted comment brings the file to the largest size read.
    const QByteArray filler = bytes(int(MinisignSignature::MaxFileSize - sound().size()), 'u');

    QTest::newRow("sound") << sound() << QString() << QByteArray("ED") << comment;
    QTest::newRow("CRLF line ends") << crlf << QString() << QByteArray("ED") << comment;
    QTest::newRow("no final line end")
        << sound().chopped(1) << QString() << QByteArray("ED") << comment;
    QTest::newRow("the legacy algorithm")
        << file(Untrusted, signatureLine("Ed"), Trusted, commentSignature) << QString()
        << QByteArray("Ed") << comment;
    // Which algorithms are known is the verifier's to say.
    QTest::newRow("an unknown algorithm")
        << file(Untrusted, signatureLine("XX"), Trusted, commentSignature) << QString()
        << QByteArray("XX") << comment;
    QTest::newRow("an empty trusted comment")
        << file(Untrusted, line, "trusted comment: ", commentSignature) << QString()
        << QByteArray("ED") << QByteArray("");
    QTest::newRow("the largest size read")
        << file(Untrusted + filler, line, Trusted, commentSignature) << QString()
        << QByteArray("ED") << comment;

    const QByteArray none;
    QTest::newRow("empty") << QByteArray() << QStringLiteral("it is empty") << none << none;
    QTest::newRow("one byte larger")
        << file(Untrusted + filler + 'u', line, Trusted, commentSignature)
        << QStringLiteral("it is far too large") << none << none;
    QTest::newRow("three lines") << Untrusted + '\n' + line + '\n' + Trusted + '\n'
                                 << QStringLiteral("it has 3 lines instead of 4") << none << none;
    QTest::newRow("five lines") << sound() + "more\n"
                                << QStringLiteral("it has 5 lines instead of 4") << none << none;
    QTest::newRow("a blank line between")
        << file(Untrusted, line, Trusted, "\n" + commentSignature)
        << QStringLiteral("it has 5 lines instead of 4") << none << none;
    QTest::newRow("no untrusted comment")
        << file("comment: x", line, Trusted, commentSignature)
        << QStringLiteral("the first line is not an untrusted comment") << none << none;
    QTest::newRow("signature cut short")
        << file(Untrusted, line.chopped(4), Trusted, commentSignature)
        << QStringLiteral("the second line is not a signature") << none << none;
    QTest::newRow("signature too long")
        << file(Untrusted, (bytes(75, 's')).toBase64(), Trusted, commentSignature)
        << QStringLiteral("the second line is not a signature") << none << none;
    QTest::newRow("more after the signature")
        << file(Untrusted, line + "AA==", Trusted, commentSignature)
        << QStringLiteral("the second line is not a signature") << none << none;
    QTest::newRow("signature without its padding")
        << file(Untrusted, QByteArray(line).replace('=', ""), Trusted, commentSignature)
        << QStringLiteral("the second line is not a signature") << none << none;
    QTest::newRow("signature not in base64")
        << file(Untrusted, QByteArray(line).replace(0, 4, "!!!!"), Trusted, commentSignature)
        << QStringLiteral("the second line is not a signature") << none << none;
    QTest::newRow("no trusted comment")
        << file(Untrusted, line, "comment: timestamp:1", commentSignature)
        << QStringLiteral("the third line is not a trusted comment") << none << none;
    QTest::newRow("comment signature cut short")
        << file(Untrusted, line, Trusted, bytes(63, 'c').toBase64())
        << QStringLiteral("the fourth line is not a comment signature") << none << none;
    QTest::newRow("the lines swapped")
        << file(Untrusted, Trusted, line, commentSignature)
        << QStringLiteral("the second line is not a signature") << none << none;
}

void tst_MinisignSignature::parse()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, why);
    QFETCH(QByteArray, algorithm);
    QFETCH(QByteArray, trustedComment);

    MinisignSignature signature;
    QString reason;
    QCOMPARE(MinisignSignature::parse(text, &signature, &reason), why.isEmpty());
    QCOMPARE(reason, why);
    if (!why.isEmpty())
        return;
    QCOMPARE(signature.algorithm, algorithm);
    QCOMPARE(signature.keyId, bytes(8, 'k'));
    QCOMPARE(signature.fileSignature, bytes(64, 's'));
    QCOMPARE(signature.trustedComment, trustedComment);
    QCOMPARE(signature.commentSignature, bytes(64, 'c'));
}

QTEST_GUILESS_MAIN(tst_MinisignSignature)
#include "tst_minisignsignature.moc"
