#ifndef FILEMOVE_H
#define FILEMOVE_H

#include <QString>

// Renames the file, folder or link from to the path to, which must not
// exist, on the same file system. Unlike QFile::rename() it never falls back
// to copying the data: an apply that is cut off must find every file either
// where it was or where it went, never half copied. On failure errorString
// receives the system's reason.
bool moveEntry(const QString &from, const QString &to, QString *errorString);

#endif // FILEMOVE_H
