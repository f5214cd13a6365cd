#ifndef SYSTEMCALL_H
#define SYSTEMCALL_H

#include "fileoperations.h"

#include <QString>
#include <QThread>

// What the file operations of both systems share. A call's outcome is the
// system's own error code: errno on Linux, GetLastError() on Windows.
namespace SystemCall {

using Error = unsigned long;
constexpr Error NoError = 0;

// Defined once per system.
Error lastError();
// Another program holds the file, or the system does, for a while.
bool isHeld(Error error);
// Makes the one folder path, whose parent exists.
Error makeOneFolder(const QString &path);
// What makeFolder() reports when a folder it made cannot be found again.
extern const Error FolderLost;

inline Error errorOf(bool succeeded)
{
    return succeeded ? NoError : lastError();
}

// Leaves the system's text for error in errorString; always false.
bool failed(Error error, QString *errorString);

// operation returns an Error; it is tried again after each pause while the
// system says the file is held.
template<typename Operation> Error retryWhileHeld(Operation operation, bool retry = true)
{
    Error error = operation();
    for (const int pause : HeldFilePausesMs) {
        if (error == NoError || !retry || !isHeld(error))
            break;
        QThread::msleep(pause);
        error = operation();
    }
    return error;
}

} // namespace SystemCall

#endif // SYSTEMCALL_H
