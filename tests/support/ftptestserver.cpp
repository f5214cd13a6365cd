#include "ftptestserver.h"

#include "installation.h"

#include <QDeadlineTimer>
#include <QStringList>

#ifndef Q_OS_WIN
#include <csignal>
#endif

FtpTestServer::~FtpTestServer()
{
    stop();
}

QString FtpTestServer::scriptPath()
{
    return QStringLiteral(FTP_SERVER_SCRIPT);
}

bool FtpTestServer::available()
{
#ifdef Q_OS_WIN
    return false;
#else
    return true;
#endif
}

QString FtpTestServer::whyUnavailable()
{
    return QStringLiteral("the test FTP server runs on Linux only; on Windows the updater's "
                          "transfer is tried end to end by scripts/windows.sh");
}

QStringList FtpTestServer::arguments(const Options &options)
{
    QStringList args { scriptPath(),
                       QStringLiteral("--root"),
                       options.root,
                       QStringLiteral("--port"),
                       QString::number(options.port),
                       QStringLiteral("--user"),
                       options.user,
                       QStringLiteral("--password"),
                       options.password };
    if (options.throttle > 0)
        args << QStringLiteral("--throttle") << QString::number(options.throttle);
    if (options.noSize)
        args << QStringLiteral("--no-size");
    if (options.dropAfter >= 0)
        args << QStringLiteral("--drop-after") << QString::number(options.dropAfter);
    if (options.dropDataAfter >= 0)
        args << QStringLiteral("--drop-data-after") << QString::number(options.dropDataAfter);
    if (options.stallAfter >= 0)
        args << QStringLiteral("--stall-after") << QString::number(options.stallAfter);
    if (options.holdAfter >= 0)
        args << QStringLiteral("--hold-after") << QString::number(options.holdAfter);
    if (options.noHelp)
        args << QStringLiteral("--no-help");
    if (options.bareHelp)
        args << QStringLiteral("--bare-help");
    if (options.cutAfter >= 0)
        args << QStringLiteral("--cut-after") << QString::number(options.cutAfter);
    if (options.overrun)
        args << QStringLiteral("--overrun");
    if (options.dripIntervalMs > 0)
        args << QStringLiteral("--drip") << QString::number(options.dripIntervalMs / 1000.0);
    if (!options.passiveAddress.isEmpty())
        args << QStringLiteral("--passive-address") << options.passiveAddress;
    return args;
}

bool FtpTestServer::start(const Options &options)
{
    stop();
    if (!available()) {
        m_error = whyUnavailable();
        return false;
    }
    m_events.clear();
    const QStringList args = arguments(options);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("cannot start the FTP server: ") + m_process.errorString();
        return false;
    }

    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (!m_process.canReadLine()
            && !m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            if (m_process.state() == QProcess::NotRunning)
                break;
            continue;
        }
        const QByteArray line = m_process.readLine().trimmed();
        if (line.startsWith("PORT ")) {
            m_port = quint16(line.mid(5).toUInt());
            return m_port != 0;
        }
    }
    m_error = QStringLiteral("the FTP server did not start listening");
    stop();
    return false;
}

void FtpTestServer::readEvents()
{
    while (m_process.canReadLine()) {
        const QByteArray line = m_process.readLine().trimmed();
        if (line.startsWith("EVENT "))
            m_events.append(line.mid(6));
    }
}

int FtpTestServer::eventCount(const QByteArray &name)
{
    readEvents();
    return int(m_events.count(name));
}

bool FtpTestServer::waitForEvent(const QByteArray &name, int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (eventCount(name) < count) {
        if (deadline.hasExpired() || m_process.state() != QProcess::Running)
            return false;
        m_process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
    }
    return true;
}

bool FtpTestServer::release()
{
#ifdef Q_OS_WIN
    return false;
#else
    return m_process.state() == QProcess::Running
        && ::kill(pid_t(m_process.processId()), SIGUSR1) == 0;
#endif
}

void FtpTestServer::stop()
{
    Installation::stopProcess(m_process);
    m_port = 0;
}
