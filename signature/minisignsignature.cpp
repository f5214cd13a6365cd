#include "minisignsignature.h"

#include <QList>

#include <sodium.h>

namespace {

static_assert(MinisignSignature::SignatureSize == crypto_sign_BYTES, "Ed25519 signatures");

const char UntrustedPrefix[] = "untrusted comment: ";
const char TrustedPrefix[] = "trusted comment: ";

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

bool malformed(QString *why, const QString &reason)
{
    *why = reason;
    return false;
}

} // namespace

bool MinisignSignature::parse(const QByteArray &text, MinisignSignature *signature, QString *why)
{
    if (text.isEmpty())
        return malformed(why, QStringLiteral("it is empty"));
    if (text.size() > MaxFileSize)
        return malformed(why, QStringLiteral("it is far too large"));
    const QList<QByteArray> lines = signatureLines(text);
    if (lines.size() != 4)
        return malformed(why, QStringLiteral("it has %1 lines instead of 4").arg(lines.size()));
    if (!lines.at(0).startsWith(UntrustedPrefix))
        return malformed(why, QStringLiteral("the first line is not an untrusted comment"));
    const QByteArray line = decodeBase64(lines.at(1), AlgorithmSize + KeyIdSize + SignatureSize);
    if (line.isEmpty())
        return malformed(why, QStringLiteral("the second line is not a signature"));
    if (!lines.at(2).startsWith(TrustedPrefix))
        return malformed(why, QStringLiteral("the third line is not a trusted comment"));
    const QByteArray commentSignature = decodeBase64(lines.at(3), SignatureSize);
    if (commentSignature.isEmpty())
        return malformed(why, QStringLiteral("the fourth line is not a comment signature"));

    signature->algorithm = line.left(AlgorithmSize);
    signature->keyId = line.mid(AlgorithmSize, KeyIdSize);
    signature->fileSignature = line.mid(AlgorithmSize + KeyIdSize);
    signature->trustedComment = lines.at(2).mid(int(sizeof(TrustedPrefix)) - 1);
    signature->commentSignature = commentSignature;
    return true;
}

QByteArray MinisignSignature::decodeBase64(const QByteArray &text, int size)
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
