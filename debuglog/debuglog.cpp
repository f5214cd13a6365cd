#include "debuglog.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

void writeLog(const QString &text, int startTime)
{
    // The file name and the time stamp must agree, so they share one reading;
    // the elapsed time comes from a reading of its own.
    const QDateTime stamp = QDateTime::currentDateTime();
    const auto nowSecs = quint32(QDateTime::currentDateTime().toSecsSinceEpoch());
    writeLogAt(text, startTime, stamp, nowSecs);
}

void writeLogAt(const QString &text, int startTime, const QDateTime &stamp, quint32 nowSecs)
{
    const QString path = QCoreApplication::applicationDirPath() + QLatin1String("/log/debug_")
        + stamp.toString(QStringLiteral("MM-dd")) + QLatin1String(".log");
    QFile file(path);
    // No Text flag: the record's CR LF and LF must reach the disk untranslated.
    // A record that cannot be stored is dropped silently; writing to the
    // unopened file would only make Qt complain on the console.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;

    QTextStream out(&file);
    out << "\r\n" << text << '[' << stamp.toString(QStringLiteral("MM-dd hh:mm:ss")) << ']';
    if (startTime != 0) {
        // 32-bit seconds, as the callers count them; a start time after now
        // wraps around and shows up as a negative number.
        const auto elapsed = int(nowSecs - quint32(startTime));
        out << "have run:" << QString::number(elapsed) << 's';
    }
    out << '\n';
    out.flush();
    file.close();
}

QString logRecordPattern()
{
    return QStringLiteral("\r\n(.*?)\\[(\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\]"
                          "(?:have run:(-?\\d+)s)?\n");
}
