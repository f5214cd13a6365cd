#include "testservice.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

const char AddressVariable[] = "VLM_TEST_SERVICES";

bool isWindowsPath(const QString &text)
{
    return text.size() >= 3 && text.at(0).isLetter() && text.at(1) == QLatin1Char(':')
        && (text.at(2) == QLatin1Char('/') || text.at(2) == QLatin1Char('\\'));
}

} // namespace

TestService::~TestService()
{
    finish();
}

bool TestService::available()
{
    return !qEnvironmentVariableIsEmpty(AddressVariable);
}

QString TestService::whyUnavailable()
{
    return QStringLiteral("no test services here: the test FTP server and minisign are Linux "
                          "programs, which a Windows test reaches under Wine through "
                          "tests/support/testservices.py; scripts/windows.sh starts it and names "
                          "it in %1")
        .arg(QLatin1String(AddressVariable));
}

QString TestService::hostPath(const QString &path)
{
#ifdef Q_OS_WIN
    // Exported by Wine's kernel32 only; the name comes from its heap.
    using UnixFileName = char *(CDECL *)(const wchar_t *);
    const auto unixFileName = reinterpret_cast<UnixFileName>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixFileName)
        return QString();
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    char *name = unixFileName(native.c_str());
    if (!name)
        return QString();
    const QString linuxName = QString::fromUtf8(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return linuxName;
#else
    return path;
#endif
}

bool TestService::start(const QString &program, const QStringList &arguments, int timeoutMs)
{
    finish();
    const QString address = qEnvironmentVariable(AddressVariable);
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    const quint16 port = quint16(address.mid(colon + 1).toUInt());
    if (colon <= 0 || port == 0) {
        error = available()
            ? QStringLiteral("%1 is not HOST:PORT: %2").arg(QLatin1String(AddressVariable), address)
            : whyUnavailable();
        return false;
    }
    QJsonArray hostArguments;
    for (const QString &argument : arguments) {
        if (!isWindowsPath(argument)) {
            hostArguments.append(argument);
            continue;
        }
        const QString linuxName = hostPath(argument);
        if (linuxName.isEmpty()) {
            error = QStringLiteral("no Linux name for %1: not running under Wine").arg(argument);
            return false;
        }
        hostArguments.append(linuxName);
    }
    socket.connectToHost(address.left(colon), port);
    if (!socket.waitForConnected(timeoutMs)) {
        error = QStringLiteral("cannot reach the test services at %1: %2")
                    .arg(address, socket.errorString());
        return false;
    }
    const QJsonObject request { { QStringLiteral("run"), program },
                                { QStringLiteral("args"), hostArguments } };
    return send(QJsonDocument(request).toJson(QJsonDocument::Compact));
}

bool TestService::send(const QByteArray &line)
{
    if (!isOpen() || socket.write(line + '\n') != line.size() + 1 || !socket.flush()) {
        error = QStringLiteral("cannot talk to the test services: ") + socket.errorString();
        return false;
    }
    return true;
}

void TestService::finish(int timeoutMs)
{
    if (isOpen() && send(QByteArrayLiteral("stop")))
        socket.waitForDisconnected(timeoutMs);
    socket.abort();
}

bool TestService::waitForExit(int timeoutMs, int *exitCode, QByteArray *output)
{
    QDeadlineTimer deadline(timeoutMs);
    QByteArray received;
    while (isOpen() && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 1000)));
        received += socket.readAll();
    }
    received += socket.readAll();
    const bool closed = !isOpen();
    socket.abort();
    // The last line is the service's "EXIT <code>".
    const int last = received.lastIndexOf("EXIT ");
    bool known = false;
    *exitCode = received.mid(last + 5).trimmed().toInt(&known);
    *output = received.left(qMax(last, 0));
    if (!closed || last < 0 || !known) {
        error = closed ? QStringLiteral("the test services did not say how the program ended")
                       : QStringLiteral("the program did not end within %1 ms").arg(timeoutMs);
        return false;
    }
    return true;
}
