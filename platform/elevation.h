#ifndef ELEVATION_H
#define ELEVATION_H

#include <QString>
#include <QStringList>

// Starting the updater again with an administrator's rights, where the
// system has them. Each platform has one source file behind these
// functions, chosen by the build.

// Whether this system starts a program with an administrator's rights once
// the user agreed (Windows' "runas" verb, which asks).
bool canElevate();

// True when the system refuses this user to create files in folder for
// lack of rights, with its reason in errorString. A missing folder, a full
// disk and every other failure give false: more rights would not help.
bool writingDenied(const QString &folder, QString *errorString);

// Starts program with arguments and an administrator's rights, after the
// system asked the user. False, with the system's reason in errorString,
// when the user declined or the program could not be started.
bool startElevated(const QString &program, const QStringList &arguments, QString *errorString);

#endif // ELEVATION_H
