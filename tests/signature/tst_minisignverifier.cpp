#include "installation.h"
#include "minisignverifier.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
// After windows.h, which it builds on.
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

using namespace Installation;

namespace {

qint64 peakResidentKiB()
{
#ifdef Q_OS_WIN
    PROCESS_MEMORY_COUNTERS counters {};
    ::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return qint64(counters.PeakWorkingSetSize / 1024);
#else
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
#endif
}

QByteArray withLine(const QByteArray &signature, int index, const QByteArray &line)
{
    QList<QByteArray> lines = signature.split('\n');
    lines[index] = line;
    return lines.join('\n');
}

} // namespace

class tst_MinisignVerifier : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verify_data();
    void verify();
    void largeFile();

private:
    bool sign(const char *key, const QString &file, const QString &comment,
              const QString &signature, bool legacy = false);
    QString path(const char *name) const { return dir.filePath(QLatin1String(name)); }

    QTemporaryDir dir;
};

bool tst_MinisignVerifier::sign(const char *key, const QString &file, const QString &comment,
                                const QString &signature, bool legacy)
{
    return signFile(dir.filePath(QLatin1String(key)), file, comment, signature, legacy);
}

void tst_MinisignVerifier::initTestCase()
{
    if (!minisignAvailable())
        QSKIP(qPrintable(whyNoMinisign()));
    QVERIFY(dir.isValid());

    for (const char *key : { "a", "b" })
        QVERIFY(makeSigningKey(dir.filePath(QLatin1String(key))));

    const QByteArray archive = randomBytes(300 * 1024, 1);
    QByteArray flipped = archive;
    flipped[1000] = char(flipped.at(1000) ^ 1);
    QVERIFY(writeFile(path("vlm_update.zip"), archive));
    QVERIFY(writeFile(path("flipped.zip"), flipped));
    QVERIFY(writeFile(path("previous.zip"), randomBytes(300 * 1024, 2)));

    const QString version = QStringLiteral("version 2.0");
    QVERIFY(sign("a", path("vlm_update.zip"), version, path("sound.minisig")));
    QVERIFY(sign("a", path("vlm_update.zip"), version, path("legacy.minisig"), true));
    QVERIFY(sign("b", path("vlm_update.zip"), version, path("otherkey.minisig")));
    QVERIFY(
        sign("a", path("previous.zip"), QStringLiteral("version 1.0"), path("previous.minisig")));
}

void tst_MinisignVerifier::verify_data()
{
    QTest::addColumn<QString>("publicKey");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("signature");
    // On success the trusted comment; otherwise empty, and reason is part of
    // errorString().
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("reason");

    const QString key = QString::fromLatin1(readFile(path("a.pub")));
    const QString keyLine = key.split(QLatin1Char('\n')).at(1);
    const QString archive = path("vlm_update.zip");
    const QString sound = path("sound.minisig");
    const QString version = QStringLiteral("version 2.0");
    const QString noMatch = QStringLiteral("does not match");
    const QString invalidKey = QStringLiteral("public key is invalid");

    QTest::newRow("sound") << key << archive << sound << version << QString();
    QTest::newRow("sound, key as its base64 line")
        << QLatin1String(" \n") + keyLine + QLatin1String("\n\n") << archive << sound << version
        << QString();
    QTest::newRow("legacy") << key << archive << path("legacy.minisig") << version << QString();

    const QByteArray text = readFile(sound);
    const QByteArray line = text.split('\n').at(1);
    QByteArray crlf = text;
    QByteArray altered = text;
    const struct
    {
        const char *name;
        QByteArray text;
        const char *reason;
    } variants[] = {
        { "sound, CRLF line ends", crlf.replace("\n", "\r\n"), nullptr },
        { "sound, no final line end", text.chopped(1), nullptr },
        { "empty", QByteArray(), "is malformed: it is empty" },
        { "garbage", randomBytes(300, 3), "is malformed: " },
        { "three lines", withLine(text, 3, QByteArray()).chopped(1), "has 3 lines instead of 4" },
        { "five lines", text + "more\n", "has 5 lines instead of 4" },
        { "truncated signature line", withLine(text, 1, line.chopped(4)), "is not a signature" },
        { "garbage after the signature", withLine(text, 1, line + "AA=="), "is not a signature" },
        { "no untrusted comment", withLine(text, 0, "x"), "is not an untrusted comment" },
        { "unknown algorithm",
          withLine(text, 1, QByteArray::fromBase64(line).replace(0, 2, "XX").toBase64()),
          "unknown algorithm" },
        { "altered trusted comment", altered.replace("version 2.0", "version 9.9"),
          "trusted comment of the signature was altered" },
    };
    for (const auto &variant : variants) {
        QVERIFY(writeFile(path(variant.name), variant.text));
        QTest::newRow(variant.name)
            << key << archive << path(variant.name) << (variant.reason ? QString() : version)
            << QString::fromLatin1(variant.reason);
    }

    QTest::newRow("missing signature file")
        << key << archive << path("missing.minisig") << QString()
        << QStringLiteral("missing or unreadable: ") + openError(path("missing.minisig"));
    QTest::newRow("missing archive")
        << key << path("missing.zip") << sound << QString() << openError(path("missing.zip"));
    // Both ids as the tool shows them at the end of its public key's comment.
    const auto keyId = [this](const char *pub) {
        return QString::fromLatin1(readFile(path(pub)).split('\n').first().split(' ').last());
    };
    QTest::newRow("another key") << key << archive << path("otherkey.minisig") << QString()
                                 << QStringLiteral("made by the key %1, not by the key %2")
                                        .arg(keyId("b.pub"), keyId("a.pub"));
    QTest::newRow("replayed signature of the previous release")
        << key << archive << path("previous.minisig") << QString() << noMatch;
    QTest::newRow("altered archive") << key << path("flipped.zip") << sound << QString() << noMatch;
    QTest::newRow("altered archive, legacy")
        << key << path("flipped.zip") << path("legacy.minisig") << QString() << noMatch;
    QTest::newRow("invalid public key")
        << QStringLiteral("RWQ not a key") << archive << sound << QString() << invalidKey;
    QTest::newRow("truncated public key")
        << keyLine.chopped(4) << archive << sound << QString() << invalidKey;
}

void tst_MinisignVerifier::verify()
{
    QFETCH(QString, publicKey);
    QFETCH(QString, file);
    QFETCH(QString, signature);
    QFETCH(QString, comment);
    QFETCH(QString, reason);

    MinisignVerifier verifier(publicKey);
    QCOMPARE(verifier.isValid(), !reason.contains(QLatin1String("public key")));
    QCOMPARE(verifier.verify(file, signature), reason.isEmpty());
    QVERIFY2(verifier.errorString().contains(reason), qPrintable(verifier.errorString()));
    QCOMPARE(verifier.trustedComment(), comment);
}

void tst_MinisignVerifier::largeFile()
{
    // Sparse: a whole GiB to read, next to no disk.
    QFile file(path("large.zip"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize((qint64(1) << 30) + 4321));
    file.close();
    QVERIFY(sign("a", file.fileName(), QStringLiteral("large"), path("large.minisig")));

    MinisignVerifier verifier(QString::fromLatin1(readFile(path("a.pub"))));
    const qint64 before = peakResidentKiB();
    QVERIFY2(verifier.verify(file.fileName(), path("large.minisig")),
             qPrintable(verifier.errorString()));
    const qint64 grown = peakResidentKiB() - before;
    QCOMPARE(verifier.trustedComment(), QStringLiteral("large"));
    QVERIFY2(grown < 32 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(grown)));
}

QTEST_GUILESS_MAIN(tst_MinisignVerifier)
#include "tst_minisignverifier.moc"
