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
    return TestService::available();
#else
    return true;
#endif
}

QString FtpTestServer::whyUnavailable()
{
    return TestService::whyUnavailable();
}

QStringList FtpTestServer::arguments(const Options &options)
{
    if (!options.realServer.isEmpty())
        return QStringList { QStringLiteral(REAL_FTP_SERVER_SCRIPT),
                             QStringLiteral("--server"),
                             options.realServer,
                             QStringLiteral("--root"),
                             options.root,
                             QStringLiteral("--user"),
                             options.user,
                             QStringLiteral("--password"),
                             options.password }
        + options.extra;
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
    if (options.cutAfter >= 0)
        args << QStringLiteral("--cut-after") << QString::number(options.cutAfter);
    if (options.dropTimes >= 0)
        args << QStringLiteral("--drop-times") << QString::number(options.dropTimes);
    if (!options.replaceAfterCut.isEmpty())
        args << QStringLiteral("--replace-after-cut") << options.replaceAfterCut;
    if (options.noRest)
        args << QStringLiteral("--no-rest");
    if (options.noMdtm)
        args << QStringLiteral("--no-mdtm");
    if (options.paddedSize)
        args << QStringLiteral("--padded-size");
    if (options.overrun)
        args << QStringLiteral("--overrun");
    if (options.dripIntervalMs > 0)
        args << QStringLiteral("--drip") << QString::number(options.dripIntervalMs / 1000.0);
    if (!options.passiveAddress.isEmpty())
        args << QStringLiteral("--passive-address") << options.passiveAddress;
    if (options.storeReadsOnly >= 0)
        args << QStringLiteral("--store-reads-only") << QString::number(options.storeReadsOnly);
    if (options.storeEarly226)
        args << QStringLiteral("--store-early-226");
    if (options.store226Without150)
        args << QStringLiteral("--store-226-without-150");
    if (options.storeStranger)
        args << QStringLiteral("--store-stranger");
    if (!options.recordFile.isEmpty())
        args << QStringLiteral("--record") << options.recordFile;
    return args + options.extra;
}

bool FtpTestServer::start(const Options &options)
{
    stop();
    if (!available()) {
        error = whyUnavailable();
        return false;
    }
    events.clear();
    QStringList args = arguments(options);
#ifdef Q_OS_WIN
    // The service runs its own copy of the script.
    args.removeFirst();
    const QString program =
        options.realServer.isEmpty() ? QStringLiteral("ftpserver") : QStringLiteral("realftpd");
    if (!service.start(program, args)) {
        error = QStringLiteral("cannot start the FTP server: ") + service.errorString();
        return false;
    }
#else
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("/usr/bin/python3"), args);
    if (!process.waitForStarted(10000)) {
        error = QStringLiteral("cannot start the FTP server: ") + process.errorString();
        return false;
    }
#endif
    return waitForPort();
}

bool FtpTestServer::waitForPort()
{
    QIODevice *lines = channel();
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (!lines->canReadLine() && !lines->waitForReadyRead(int(deadline.remainingTime()))) {
            if (!running())
                break;
            continue;
        }
        const QByteArray line = lines->readLine().trimmed();
        if (line.startsWith("PORT ")) {
            serverPort = quint16(line.mid(5).toUInt());
            return serverPort != 0;
        }
    }
    error = QStringLiteral("the FTP server did not start listening");
    stop();
    return false;
}

bool FtpTestServer::running() const
{
#ifdef Q_OS_WIN
    return service.isOpen();
#else
    return process.state() == QProcess::Running;
#endif
}

QIODevice *FtpTestServer::channel()
{
#ifdef Q_OS_WIN
    return service.channel();
#else
    return &process;
#endif
}

void FtpTestServer::readEvents()
{
    QIODevice *lines = channel();
    while (lines->canReadLine()) {
        const QByteArray line = lines->readLine().trimmed();
        if (line.startsWith("EVENT "))
            events.append(line.mid(6));
    }
}

int FtpTestServer::eventCount(const QByteArray &name)
{
    readEvents();
    return int(events.count(name));
}

bool FtpTestServer::waitForEvent(const QByteArray &name, int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (eventCount(name) < count) {
        if (deadline.hasExpired() || !running())
            return false;
        channel()->waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 200)));
    }
    return true;
}

bool FtpTestServer::release()
{
#ifdef Q_OS_WIN
    return service.send(QByteArrayLiteral("release"));
#else
    return running() && ::kill(pid_t(process.processId()), SIGUSR1) == 0;
#endif
}

void FtpTestServer::stop()
{
#ifdef Q_OS_WIN
    service.finish();
#else
    Installation::stopProcess(process);
#endif
    serverPort = 0;
}

QList<QPair<qint64, qint64>> FtpTestServer::recordedTransfers(const QString &recordFile)
{
    QList<QPair<qint64, qint64>> transfers;
    const QList<QByteArray> lines = Installation::readFile(recordFile).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2)
            transfers.append({ fields.at(0).toLongLong(), fields.at(1).toLongLong() });
    }
    return transfers;
}
