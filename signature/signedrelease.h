#ifndef SIGNEDRELEASE_H
#define SIGNEDRELEASE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// What a signed build installs: an archive that the publisher's key signed
// (MinisignVerifier), and that is not older than the release installed last
// (ReleaseOrder). The record of that release lies in the installation and is
// replaced together with the update's files, so the two never disagree.
class SignedRelease
{
public:
    struct Files
    {
        QString archive;
        QString signature;
        QString record;
    };

    SignedRelease(const QString &publicKey, const Files &files);

    // Whether the archive holds what the key signed. Nothing else of the
    // archive is looked at before this holds.
    bool verify();
    // Whether the verified archive may replace the release the record names,
    // as the record is now: after anything that may put an older one back.
    bool admit();

    // Why the archive is refused.
    QString errorString() const { return error; }
    // What the log should hear of, in order: the trusted comment, and what
    // it was compared with.
    QStringList notes() const { return said; }
    // The record's new content, to commit with the admitted archive's files.
    QByteArray record() const { return nextRecord; }

private:
    bool refuse(const QString &reason);
    QString archiveName() const;

    QString publicKey;
    Files files;
    QString trustedComment;
    QString error;
    QStringList said;
    QByteArray nextRecord;
};

#endif // SIGNEDRELEASE_H
