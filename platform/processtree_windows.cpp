#include "processtree.h"

#include <QList>
#include <QMultiHash>

#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

namespace {

// When the process began, or 0 when it cannot be told.
quint64 startOf(DWORD pid)
{
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return 0;
    FILETIME created, exited, kernel, user;
    const bool known = ::GetProcessTimes(process, &created, &exited, &kernel, &user);
    ::CloseHandle(process);
    return known ? (quint64(created.dwHighDateTime) << 32) | created.dwLowDateTime : 0;
}

} // namespace

void endDescendants(qint64 pid)
{
    // Process 0 is the system's idle process.
    if (pid <= 0)
        return;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    QMultiHash<qint64, qint64> children;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
         more = ::Process32NextW(snapshot, &entry))
        children.insert(entry.th32ParentProcessID, entry.th32ProcessID);
    ::CloseHandle(snapshot);

    // A parent's number outlives it and may be given again: only what began
    // after the shell can be its descendant.
    const quint64 shellStart = startOf(DWORD(pid));
    QList<qint64> found = children.values(pid);
    for (int i = 0; i < found.size(); ++i)
        found += children.values(found.at(i));
    for (const qint64 descendant : qAsConst(found)) {
        if (startOf(DWORD(descendant)) < shellStart)
            continue;
        HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(descendant));
        if (!process)
            continue;
        ::TerminateProcess(process, 1);
        ::CloseHandle(process);
    }
}
