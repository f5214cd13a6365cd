#include "installation.h"

#include "testservice.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/types.h>
#endif

namespace Installation {

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray randomBytes(qint64 size, quint32 seed)
{
    QByteArray data(int(size), Qt::Uninitialized);
    QRandomGenerator generator { seed };
    const int words = data.size() / int(sizeof(quint32));
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), words);
    for (int i = words * int(sizeof(quint32)); i < data.size(); ++i)
        data[i] = char(generator.bounded(256));
    return data;
}

QString openError(const QString &path, QIODevice::OpenMode mode)
{
    QFile file(path);
    return file.open(mode) ? QString() : file.errorString();
}

bool writeProduct(const QString &dest, const QString &version)
{
    const QString dir = QFileInfo(dest).absolutePath();
    QDir().mkpath(dir);
    QFile::remove(dest);
    // QFile::copy() keeps the permissions, the right to run it among them.
    if (!QFile::copy(QStringLiteral(STANDIN_PRODUCT), dest)) {
        qWarning("cannot copy the stand-in product %s to %s", STANDIN_PRODUCT, qPrintable(dest));
        return false;
    }
    return writeFile(dir + QStringLiteral("/version.txt"), version.toUtf8() + '\n');
}

bool startProduct(const QString &dir)
{
    return QProcess::startDetached(dir + QStringLiteral("/vlm.exe"), {}, dir);
}

QJsonObject productState(const QString &dir)
{
    // The stand-in's last line, "<version> <pid> <start>"; one still being
    // written lacks its third field.
    const QByteArray started = readFile(dir + QStringLiteral("/product-started.txt")).trimmed();
    const QList<QByteArray> fields =
        started.mid(started.lastIndexOf('\n') + 1).trimmed().split(' ');
    bool ok = false;
    const qint64 pid = fields.value(1).toLongLong(&ok);
    if (fields.size() < 3 || !ok)
        return QJsonObject();
    return QJsonObject { { QStringLiteral("version"), QString::fromUtf8(fields.at(0)) },
                         { QStringLiteral("pid"), double(pid) } };
}

QJsonObject waitForProduct(const QString &dir, const QString &version, int timeoutMs)
{
    QJsonObject state;
    const bool started = QTest::qWaitFor(
        [&] {
            state = productState(dir);
            return state.value(QStringLiteral("version")).toString() == version;
        },
        timeoutMs);
    return started ? state : QJsonObject();
}

qint64 productPid(const QJsonObject &state)
{
    return qint64(state.value(QStringLiteral("pid")).toDouble());
}

void recordProductSnapshots()
{
    qputenv("VLM_STANDIN_SNAPSHOT", "1");
}

QMap<QString, QByteArray> productSnapshot(const QString &dir)
{
    QMap<QString, QByteArray> files;
    const QList<QByteArray> lines =
        readFile(dir + QStringLiteral("/product-files.txt")).split('\n');
    for (const QByteArray &line : lines) {
        // "<SHA-256> <size> <path>", the path perhaps with spaces.
        const int digestEnd = line.indexOf(' ');
        const int sizeEnd = line.indexOf(' ', digestEnd + 1);
        if (digestEnd > 0 && sizeEnd > digestEnd)
            files.insert(QString::fromUtf8(line.mid(sizeEnd + 1)), line.left(digestEnd));
    }
    return files;
}

void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

#ifdef Q_OS_WIN
bool processAlive(qint64 pid)
{
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

static void killProcess(qint64 pid)
{
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (!process)
        return;
    ::TerminateProcess(process, 9);
    ::CloseHandle(process);
}
#else
bool processAlive(qint64 pid)
{
    if (pid <= 0 || ::kill(pid_t(pid), 0) != 0)
        return false;
    // A killed child of ours that nobody reaped yet is gone for our purpose.
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) != "Z";
}

QList<qint64> descendants(qint64 pid)
{
    QMultiMap<qint64, qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 child = entry.toLongLong(&isPid);
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(entry));
        const int close = stat.lastIndexOf(')');
        if (isPid && close > 0)
            children.insert(stat.mid(close + 2).split(' ').value(1).toLongLong(), child);
    }
    QList<qint64> found = children.values(pid);
    for (int i = 0; i < found.size(); ++i)
        found += children.values(found.at(i));
    return found;
}

static void killProcess(qint64 pid)
{
    ::kill(pid_t(pid), SIGKILL);
}
#endif

bool waitForProcessGone(qint64 pid, int timeoutMs)
{
    return QTest::qWaitFor([pid] { return !processAlive(pid); }, timeoutMs);
}

void killProducts(const QString &dir)
{
    const QList<QByteArray> lines =
        readFile(dir + QStringLiteral("/product-started.txt")).split('\n');
    for (const QByteArray &line : lines) {
        const qint64 pid = line.split(' ').value(1).toLongLong();
        if (processAlive(pid))
            killProcess(pid);
    }
}

bool makeArchive(const QString &archive, const QString &sourceDir, const QStringList &switches)
{
    QProcess zip;
    zip.setWorkingDirectory(sourceDir);
    zip.setProcessChannelMode(QProcess::MergedChannels);
    QStringList args { QStringLiteral("a"), QStringLiteral("-tzip"), QStringLiteral("-bd") };
    args << switches << archive << QStringLiteral(".");
    zip.start(QStringLiteral("7za"), args);
    if (!zip.waitForFinished(300000) || zip.exitCode() != 0) {
        qWarning("7za failed: %s", zip.readAll().constData());
        return false;
    }
    return true;
}

bool minisignAvailable()
{
#ifdef Q_OS_WIN
    return TestService::available();
#else
    return !QStandardPaths::findExecutable(QStringLiteral("minisign")).isEmpty();
#endif
}

QString whyNoMinisign()
{
#ifdef Q_OS_WIN
    if (!TestService::available())
        return TestService::whyUnavailable();
#endif
    return QStringLiteral("minisign is not installed (Debian package minisign); it makes the "
                          "signatures");
}

bool minisign(const QStringList &arguments)
{
#ifdef Q_OS_WIN
    TestService tool;
    int exitCode = -1;
    QByteArray output;
    if (tool.start(QStringLiteral("minisign"), arguments)
        && tool.waitForExit(120000, &exitCode, &output) && exitCode == 0)
        return true;
    qWarning("minisign %s failed: %s %s", qPrintable(arguments.join(QLatin1Char(' '))),
             qPrintable(tool.errorString()), output.constData());
    return false;
#else
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral("minisign"), arguments);
    if (tool.waitForFinished(120000) && tool.exitStatus() == QProcess::NormalExit
        && tool.exitCode() == 0)
        return true;
    qWarning("minisign %s failed: %s %s", qPrintable(arguments.join(QLatin1Char(' '))),
             qPrintable(tool.errorString()), tool.readAll().constData());
    return false;
#endif
}

bool makeSigningKey(const QString &keyPath)
{
    return minisign({ QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"),
                      keyPath + QStringLiteral(".pub"), QStringLiteral("-s"),
                      keyPath + QStringLiteral(".key") });
}

bool signFile(const QString &keyPath, const QString &file, const QString &trustedComment,
              const QString &signature, bool legacy)
{
    QStringList arguments { QStringLiteral("-S"),
                            QStringLiteral("-s"),
                            keyPath + QStringLiteral(".key"),
                            QStringLiteral("-m"),
                            file,
                            QStringLiteral("-t"),
                            trustedComment };
    if (!signature.isEmpty())
        arguments << QStringLiteral("-x") << signature;
    if (legacy)
        arguments << QStringLiteral("-l");
    return minisign(arguments);
}

QMap<QString, QByteArray> filesBelow(const QString &dir)
{
    QMap<QString, QByteArray> files;
    const QDir root(dir);
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(root.relativeFilePath(path), readFile(path));
    }
    return files;
}

QMap<QString, QByteArray> hashes(const QMap<QString, QByteArray> &files)
{
    QMap<QString, QByteArray> digests;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        digests.insert(it.key(), QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256));
    return digests;
}

QMap<QString, QByteArray> treeOf(const QString &dir)
{
    return hashes(filesBelow(dir));
}

bool layOutInstallation(const QString &dir, const QString &updaterExecutable)
{
    const QDir root(dir);
    if (!updaterExecutable.isEmpty()
        && !QFile::copy(updaterExecutable, root.filePath(QFileInfo(updaterExecutable).fileName())))
        return false;
    return root.mkdir(QStringLiteral("log"))
        && writeProduct(root.filePath(QStringLiteral("vlm.exe")), QStringLiteral("1.0"));
}

} // namespace Installation
