#ifndef RELEASEORDER_H
#define RELEASEORDER_H

#include <QByteArray>
#include <QString>

// Keeps a signed installation from being taken back to an older release.
// The trusted comment that minisign -S writes without -t reads
// "timestamp:<seconds since 1970>\tfile:<file name>\thashed" and is covered
// by the signature; the comment of the release installed last is recorded
// in the installation, and an archive signed earlier than that is refused.
class ReleaseOrder
{
public:
    // record: what the last signed update stored (nextRecord()); empty when
    // this installation has had none.
    explicit ReleaseOrder(const QByteArray &record);

    // Whether the archive archiveName, whose sound signature carries
    // trustedComment, may replace what is installed. note() says why not,
    // or what was compared, for the log.
    bool admits(const QString &trustedComment, const QString &archiveName);
    QString note() const { return m_note; }
    // What to record once the admitted archive is installed.
    QByteArray nextRecord() const { return m_next; }

private:
    bool refuse(const QString &reason);

    QString m_recordedComment;
    qint64 m_recordedTime = -1; // -1: nothing recorded yet
    QString m_recordError;
    QString m_note;
    QByteArray m_next;
};

#endif // RELEASEORDER_H
