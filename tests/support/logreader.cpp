#include "logreader.h"

#include "debuglog.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

LogReader::LogReader(const QString &logDir)
    : dir(logDir)
{
}

QString LogReader::text() const
{
    QString text;
    const QDir logDir(dir);
    const QStringList names = logDir.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        QFile file(logDir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromLocal8Bit(file.readAll());
    }
    return text;
}

QByteArrayList LogReader::records() const
{
    bool whole = true;
    return split(&whole);
}

bool LogReader::wellFormed() const
{
    bool whole = true;
    split(&whole);
    return whole;
}

QByteArrayList LogReader::split(bool *whole) const
{
    static const QRegularExpression record(logRecordPattern(),
                                           QRegularExpression::DotMatchesEverythingOption);
    QByteArrayList texts;
    const QDir logDir(dir);
    const QStringList names = logDir.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        QFile file(logDir.filePath(name));
        if (!file.open(QIODevice::ReadOnly)) {
            *whole = false;
            continue;
        }
        // Latin-1 maps bytes to characters one to one and back.
        const QString contents = QString::fromLatin1(file.readAll());
        int end = 0;
        QRegularExpressionMatchIterator it = record.globalMatch(contents);
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            if (match.capturedStart() != end)
                *whole = false;
            texts.append(match.captured(1).toLatin1());
            end = match.capturedEnd();
        }
        if (end != contents.size())
            *whole = false;
    }
    return texts;
}
