#ifndef PARTIALDOWNLOAD_H
#define PARTIALDOWNLOAD_H

#include <QByteArray>
#include <QFile>
#include <QString>

// What a download received so far, kept beside the local file under a fixed
// name, with what identifies the remote file it came from in a second file
// beside it. A later try, or a later run of the program, resumes it when the
// server still reports the same file.
class PartialDownload
{
public:
    // The remote file the bytes came from.
    struct Source
    {
        QString origin; // "host:port/path"
        qint64 size = -1; // -1: the server did not tell
        QByteArray time; // as MDTM reported it; empty: the server did not tell

        bool operator==(const Source &other) const
        {
            return origin == other.origin && size == other.size && time == other.time;
        }
        bool operator!=(const Source &other) const { return !(*this == other); }
        // "N bytes, time T", as the log names it.
        QString describe() const;
    };

    // What to do with held bytes of recorded when the server now reports
    // remote.
    struct Resumption
    {
        enum Kind {
            Restart, // from byte 0; why says why when bytes were held
            Resume, // from the held bytes on
            Whole, // the held bytes are the whole file already
        } kind = Restart;
        QString why;
    };
    static Resumption resumption(qint64 held, const Source &recorded, const Source &remote);

    explicit PartialDownload(const QString &localFileName);
    PartialDownload(const PartialDownload &) = delete;
    PartialDownload &operator=(const PartialDownload &) = delete;

    static QString fileName(const QString &localFileName);
    static QString infoFileName(const QString &localFileName);

    // Opens the partial file for appending, made empty when there is none,
    // and reads what an earlier run recorded about it: nothing when that
    // lacks a size or a time, as a file changed in place could then not be
    // told from the one the bytes came from.
    bool open();
    Source recorded() const { return source; }
    qint64 size() const { return file.size(); }
    QFileDevice *device() { return &file; }

    // Empties the partial file for the bytes of source that follow; source
    // is recorded on disk only when it has a size and a time.
    bool restart(const Source &from);
    // Flushes and closes the partial file and renames it over target; the
    // record goes.
    bool commit(const QString &target);
    // Closes the partial file, left for a later run when it holds bytes of
    // a source on record; otherwise it goes.
    void keep();
    // Closes and removes the partial file and its record.
    void discard();

    QString errorString() const { return error; }

private:
    bool saveRecord();

    QFile file;
    QString infoPath;
    Source source;
    QString error;
};

#endif // PARTIALDOWNLOAD_H
