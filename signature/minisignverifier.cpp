#include "minisignverifier.h"

#include "minisignsignature.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QtEndian>

#include <sodium.h>

namespace {

const int AlgorithmSize = MinisignSignature::AlgorithmSize;
const int KeyIdSize = MinisignSignature::KeyIdSize;
const int KeySize = crypto_sign_PUBLICKEYBYTES;
const int HashSize = crypto_generichash_BYTES_MAX;

// Large enough that reading costs little beside the hash, small enough that
// memory stays flat for any archive.
const int HashBlockSize = 1024 * 1024;

const char UntrustedPrefix[] = "untrusted comment: ";
const char KeyAlgorithm[] = "Ed";
const char HashedAlgorithm[] = "ED";
const char LegacyAlgorithm[] = "Ed";

bool sodiumReady()
{
    // sodium_init() picks the code paths for this processor; once is enough.
    static const bool ready = sodium_init() >= 0;
    return ready;
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
        ? MinisignSignature::decodeBase64(lines.first().trimmed().toLatin1(),
                                          AlgorithmSize + KeyIdSize + KeySize)
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
    MinisignSignature signature;
    return readSignature(signatureFileName, &signature) && check(fileName, signature);
}

bool MinisignVerifier::readSignature(const QString &signatureFileName, MinisignSignature *signature)
{
    QFile file(signatureFileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(QStringLiteral("the signature file %1 is missing or unreadable: %2")
                        .arg(native(signatureFileName), file.errorString()));
    }
    const QByteArray text = file.read(MinisignSignature::MaxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        return fail(QStringLiteral("the signature file %1 is unreadable: %2")
                        .arg(native(signatureFileName), file.errorString()));
    }
    QString why;
    if (!MinisignSignature::parse(text, signature, &why)) {
        return fail(QStringLiteral("the signature file %1 is malformed: %2")
                        .arg(native(signatureFileName), why));
    }
    return true;
}

bool MinisignVerifier::check(const QString &fileName, const MinisignSignature &signature)
{
    const QByteArray &algorithm = signature.algorithm;
    if (algorithm != HashedAlgorithm && algorithm != LegacyAlgorithm) {
        return fail(QStringLiteral("the signature uses an unknown algorithm (bytes %1)")
                        .arg(QString::fromLatin1(algorithm.toHex())));
    }
    if (signature.keyId != keyId) {
        return fail(QStringLiteral("the signature was made by the key %1, not by the key %2")
                        .arg(keyIdText(signature.keyId), keyIdText(keyId)));
    }
    const bool fileMatches = algorithm == HashedAlgorithm
        ? verifyHashed(fileName, signature.fileSignature)
        : verifyLegacy(fileName, signature.fileSignature);
    if (!fileMatches)
        return false;

    // The comment is signed together with the file's signature, so it cannot
    // be moved to another signature either.
    const QByteArray signedComment = signature.fileSignature + signature.trustedComment;
    if (crypto_sign_verify_detached(bytesOf(signature.commentSignature), bytesOf(signedComment),
                                    quint64(signedComment.size()), bytesOf(key))
        != 0) {
        return fail(QStringLiteral("the trusted comment of the signature was altered"));
    }

    error.clear();
    comment = QString::fromUtf8(signature.trustedComment);
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
