#ifndef MINISIGNSIGNATURE_H
#define MINISIGNSIGNATURE_H

#include <QByteArray>
#include <QString>

// A signature file as the minisign tool writes it, decoded. Its four lines:
//
//     untrusted comment: <text>
//     base64 of <algorithm, 2 bytes> <key id, 8> <signature of the file, 64>
//     trusted comment: <text>
//     base64 of <signature of the file's signature and the trusted comment, 64>
struct MinisignSignature
{
    static constexpr int AlgorithmSize = 2;
    static constexpr int KeyIdSize = 8;
    static constexpr int SignatureSize = 64;
    // Four short lines; anything larger is no signature file and is not read whole.
    static constexpr qint64 MaxFileSize = 64 * 1024;

    QByteArray algorithm;
    QByteArray keyId;
    QByteArray fileSignature;
    QByteArray trustedComment;
    QByteArray commentSignature;

    // Decodes the bytes of a signature file. False when they are none, with
    // the reason in *why ("it has 3 lines instead of 4"); the algorithm and
    // the key are not looked at.
    static bool parse(const QByteArray &text, MinisignSignature *signature, QString *why);

    // Exactly size bytes in canonical, padded base64, with nothing before or
    // after, or an empty array: the tool writes no other form.
    static QByteArray decodeBase64(const QByteArray &text, int size);
};

#endif // MINISIGNSIGNATURE_H
