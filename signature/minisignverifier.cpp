#include "minisignverifier.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QStringList>
#include <QtEndian>

#include <sodium.h>

namespace {

const int AlgorithmSize = 2;
const int KeyIdSize = 8;
const int KeySize = crypto_sign_PUBLICKEYBYTES;
const int SignatureSize = crypto_sign_BYTES;
const int HashSize = crypto_generichash_BYTES_MAX;
const int SignatureLineSize = AlgorithmSize + KeyIdSize + SignatureSize;

// Four short lines; anything larger is no signature file and is not read whole.
const qint64 MaxSignatureFileSize = 64 * 1024;
// Large enough that reading costs little beside the hash, small enough that
// memory stays flat for any archive.
const int HashBlockSize = 1024 * 1024;

const char UntrustedPrefix[] = "untrusted comment: ";
const char TrustedPrefix[] = "trusted comment: ";
const char KeyAlgorithm[] = "Ed";
const char HashedAlgorithm[] = "ED";
const char LegacyAlgorithm[] = "Ed";

bool sodiumReady()
{
    // sodium_init() picks the code paths for this processor; once is enough.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// Exactly size bytes in canonical, padded base64, with nothing before or
// after: the tool writes no other form.
QByteArray decodeBase64(const QByteArray &text, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    size_t length = 0;
    const int result = sodium_base642bin(reinterpret_cast<unsigned char *>(bytes.data()),
                                         size_t(size), text.constData(), size_t(text.size()),
                                         nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL);
    if (result != 0 || length != size_t(size))
        return QByteArray();
    return bytes;
}

const unsigned char *bytesOf(const QByteArray &bytes)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData());
}

// As the tool shows a key id, in its .pub file too: a little-endian number
// in hex, without leading zeros.
QString keyIdText(const QByteArray &id)
{
    return QString::number(qFromLittleEndian<quint64>(id.constData()), 16).toUpper();
}

// Lines may end in "\r\n" once the file has passed through Windows, and the
// last one may have no end at all.
QList<QByteArray> signatureLines(QByteArray text)
{
    if (text.endsWith('\n'))
        text.chop(1);
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return lines;
}

QString native(const QString &fileName)
{
    return QDir::toNativeSeparators(fileName);
}

QString cannotRead(const QFile &file)
{
    return QStringLiteral("cannot read %1: %2").arg(native(file.fileName()), file.errorString());
}

QString noMatch(const QFile &file)
{
    return QStringLiteral("the signature does not match %1").arg(native(file.fileName()));
}

} // namespace

MinisignVerifier::MinisignVerifier(const QString &publicKey)
{
    if (!sodiumReady()) {
        error = QStringLiteral("the cryptography library could not be initialised");
        return;
    }
    QStringList lines = publicKey.trimmed().split(QLatin1Char('\n'));
    if (lines.size() == 2 && lines.first().startsWith(QLatin1String(UntrustedPrefix)))
        lines.removeFirst();
    const QByteArray bytes = lines.size() == 1
        ? decodeBase64(lines.first().trimmed().toLatin1(), AlgorithmSize + KeyIdSize + KeySize)
        : QByteArray();
    if (!bytes.startsWith(KeyAlgorithm)) {
        error = QStringLiteral("the public key is invalid");
        return;
    }
    keyId = bytes.mid(AlgorithmSize, KeyIdSize);
    key = bytes.mid(AlgorithmSize + KeyIdSize);
}

bool MinisignVerifier::isValid() const
{
    return key.size() == KeySize;
}

bool MinisignVerifier::verify(const QString &fileName, const QString &signatureFileName)
{
    comment.clear();
    if (!isValid())
        return fail(QStringLiteral("the public key is invalid"));

    QFile signatureFile(signatureFileName);
    if (!signatureFile.open(QIODevice::ReadOnly)) {
        return fail(QStringLiteral("the signature file %1 is missing or unreadable: %2")
                        .arg(native(signatureFileName), signatureFile.errorString()));
    }
    const QByteArray text = signatureFile.read(MaxSignatureFileSize + 1);
    if (signatureFile.error() != QFileDevice::NoError) {
        return fail(QStringLiteral("the signature file %1 is unreadable: %2")
                        .arg(native(signatureFileName), signatureFile.errorString()));
    }

    const auto malformed = [&](const QString &why) {
        return fail(QStringLiteral("the signature file %1 is malformed: %2")
                        .arg(native(signatureFileName), why));
    };
    if (text.isEmpty())
        return malformed(QStringLiteral("it is empty"));
    if (text.size() > MaxSignatureFileSize)
        return malformed(QStringLiteral("it is far too large"));
    const QList<QByteArray> lines = signatureLines(text);
    if (lines.size() != 4)
        return malformed(QStringLiteral("it has %1 lines instead of 4").arg(lines.size()));
    if (!lines.at(0).startsWith(UntrustedPrefix))
        return malformed(QStringLiteral("the first line is not an untrusted comment"));
    const QByteArray signature = decodeBase64(lines.at(1), SignatureLineSize);
    if (signature.isEmpty())
        return malformed(QStringLiteral("the second line is not a signature"));
    if (!lines.at(2).startsWith(TrustedPrefix))
        return malformed(QStringLiteral("the third line is not a trusted comment"));
    const QByteArray trusted = lines.at(2).mid(int(sizeof(TrustedPrefix)) - 1);
    const QByteArray globalSignature = decodeBase64(lines.at(3), SignatureSize);
    if (globalSignature.isEmpty())
        return malformed(QStringLiteral("the fourth line is not a comment signature"));

    const QByteArray algorithm = signature.left(AlgorithmSize);
    if (algorithm != HashedAlgorithm && algorithm != LegacyAlgorithm) {
        return fail(QStringLiteral("the signature uses an unknown algorithm (bytes %1)")
                        .arg(QString::fromLatin1(algorithm.toHex())));
    }
    const QByteArray signatureKeyId = signature.mid(AlgorithmSize, KeyIdSize);
    if (signatureKeyId != keyId) {
        return fail(QStringLiteral("the signature was made by the key %1, not by the key %2")
                        .arg(keyIdText(signatureKeyId), keyIdText(keyId)));
    }

    const QByteArray fileSignature = signature.mid(AlgorithmSize + KeyIdSize);
    const bool fileMatches = algorithm == HashedAlgorithm ? verifyHashed(fileName, fileSignature)
                                                          : verifyLegacy(fileName, fileSignature);
    if (!fileMatches)
        return false;

    // The comment is signed together with the file's signature, so it cannot
    // be moved to another signature either.
    const QByteArray signedComment = fileSignature + trusted;
    if (crypto_sign_verify_detached(bytesOf(globalSignature), bytesOf(signedComment),
                                    quint64(signedComment.size()), bytesOf(key))
        != 0) {
        return fail(QStringLiteral("the trusted comment of the signature was altered"));
    }

    error.clear();
    comment = QString::fromUtf8(trusted);
    return true;
}

QString MinisignVerifier::errorString() const
{
    return error;
}

QString MinisignVerifier::trustedComment() const
{
    return comment;
}

bool MinisignVerifier::verifyHashed(const QString &fileName, const QByteArray &signature)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(cannotRead(file));

    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, HashSize);
    QByteArray block(HashBlockSize, Qt::Uninitialized);
    for (;;) {
        const qint64 length = file.read(block.data(), block.size());
        if (length < 0)
            return fail(cannotRead(file));
        if (length == 0)
            break;
        crypto_generichash_update(&state, bytesOf(block), quint64(length));
    }
    unsigned char hash[HashSize];
    crypto_generichash_final(&state, hash, HashSize);

    if (crypto_sign_verify_detached(bytesOf(signature), hash, HashSize, bytesOf(key)) != 0)
        return fail(noMatch(file));
    return true;
}

bool MinisignVerifier::verifyLegacy(const QString &fileName, const QByteArray &signature)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return fail(cannotRead(file));

    // Ed25519 takes the message in one piece; a mapping lets the kernel page
    // it in and drop it again instead of holding a copy on the heap.
    const qint64 size = file.size();
    static const uchar nothing = 0;
    const uchar *message = &nothing;
    if (size > 0) {
        message = file.map(0, size);
        if (!message) {
            return fail(QStringLiteral("cannot map %1 into memory: %2")
                            .arg(native(fileName), file.errorString()));
        }
    }
    if (crypto_sign_verify_detached(bytesOf(signature), message, quint64(size), bytesOf(key)) != 0)
        return fail(noMatch(file));
    return true;
}

bool MinisignVerifier::fail(const QString &reason)
{
    error = reason;
    comment.clear();
    return false;
}
