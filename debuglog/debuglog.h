#ifndef DEBUGLOG_H
#define DEBUGLOG_H

#include <QDateTime>
#include <QString>

// Appends one record to applicationDirPath() + "/log/debug_MM-dd.log":
// "\r\n", text, "[MM-dd hh:mm:ss]", "have run:Ns" when startTime (seconds
// since the epoch) is not 0, and "\n". The folder "log" is never created;
// while it is missing, records are dropped without notice.
void writeLog(const QString &text, int startTime);

// writeLog() with its two clock readings given: stamp names the file and the
// time stamp, nowSecs (seconds since the epoch) serves the elapsed time.
void writeLogAt(const QString &text, int startTime, const QDateTime &stamp, quint32 nowSecs);

// A regular expression for one record as the above write it, for programs
// that read the log back: the text, the time stamp and the elapsed seconds
// (absent for a start time of 0) are its three captures.
QString logRecordPattern();

#endif // DEBUGLOG_H
