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
    // For a record that is there but cannot be read: nothing to compare
    // with, and the note says so.
    static ReleaseOrder withUnreadableRecord();

    // Whether the archive archiveName, whose sound signature carries
    // trustedComment, may replace what is installed. note() says why not,
    // or what was compared, for the log.
    bool admits(const QString &trustedComment, const QString &archiveName);
    QString note() const { return explanation; }
    // What to record once the admitted archive is installed.
    QByteArray nextRecord() const { return next; }

private:
    bool refuse(const QString &reason);

    QString recordedComment;
    qint64 recordedTime = -1; // -1: nothing recorded yet
    QString recordError;
    QString explanation;
    QByteArray next;
};

#endif // RELEASEORDER_H
