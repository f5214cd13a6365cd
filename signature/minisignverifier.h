#ifndef MINISIGNVERIFIER_H
#define MINISIGNVERIFIER_H

#include <QByteArray>
#include <QString>

struct MinisignSignature;

// Checks a file against a detached signature made with the minisign tool
// (minisign -Sm file), for a public key built into the program. The update
// arrives over plain FTP, so only the publisher's signature vouches for it.
//
// Both kinds the tool writes are accepted: the default one signs a BLAKE2b
// hash of the file, which is read as a stream; the legacy one (minisign -l)
// signs the file itself, which is mapped rather than read into memory.
class MinisignVerifier
{
public:
    // The key as the tool writes it to its .pub file, either the whole text or
    // only its base64 line.
    explicit MinisignVerifier(const QString &publicKey);

    bool isValid() const;
    bool verify(const QString &fileName, const QString &signatureFileName);
    QString errorString() const;
    QString trustedComment() const;

private:
    bool readSignature(const QString &signatureFileName, MinisignSignature *signature);
    bool check(const QString &fileName, const MinisignSignature &signature);
    bool verifyHashed(const QString &fileName, const QByteArray &signature);
    bool verifyLegacy(const QString &fileName, const QByteArray &signature);
    bool fail(const QString &reason);

    QByteArray keyId;
    QByteArray key;
    QString error;
    QString comment;
};

#endif // MINISIGNVERIFIER_H
