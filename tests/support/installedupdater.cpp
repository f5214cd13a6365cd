#include "installedupdater.h"

#include "installation.h"
#include "xvfbdisplay.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

using namespace Installation;

namespace {

const QString WindowTitle = QStringLiteral("Velmora升级程序1.1");

// Written while the installation runs, so never part of a comparison.
bool isRuntimeFile(const QString &relative)
{
    static const QStringList names { QStringLiteral("log"), QStringLiteral("product-started.txt"),
                                     QStringLiteral("product-files.txt"),
                                     QStringLiteral("vlm_update.zip"),
                                     QStringLiteral("vlm_update.lock") };
    return names.contains(relative) || relative.startsWith(QLatin1String("log/"));
}

} // namespace

InstalledUpdater::InstalledUpdater(const XvfbDisplay &display)
    : m_display(display)
{
}

InstalledUpdater::~InstalledUpdater()
{
    if (running()) {
        m_process.kill();
        m_process.waitForFinished(10000);
    }
    if (!m_dir.isEmpty())
        killProducts(m_dir);
}

bool InstalledUpdater::install(const QString &dir, const QString &updaterExecutable)
{
    m_dir = dir;
    return QFile::copy(updaterExecutable, path(QStringLiteral("vlm-updater")))
        && QDir(dir).mkdir(QStringLiteral("log"))
        && writeProduct(path(QStringLiteral("vlm.exe")), QStringLiteral("1.0"))
        && writeFile(path(QStringLiteral("data/config.txt")), "old configuration\n")
        && writeFile(path(QStringLiteral("user-notes.txt")), "not in the archive\n");
}

InstalledUpdater::Tree InstalledUpdater::tree() const
{
    QMap<QString, QByteArray> files = filesBelow(m_dir);
    for (auto it = files.begin(); it != files.end();) {
        if (isRuntimeFile(it.key()))
            it = files.erase(it);
        else
            ++it;
    }
    return hashes(files);
}

InstalledUpdater::Tree InstalledUpdater::hashes(const QMap<QString, QByteArray> &files)
{
    Tree tree;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        tree.insert(it.key(), QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256));
    return tree;
}

bool InstalledUpdater::launch(const QProcessEnvironment &extra)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display.display());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    // Full stacks, so that leaks of the libraries the X platform loads and
    // unloads again can be told from the updater's own (see lsan.supp).
    if (env.contains(QStringLiteral("ASAN_OPTIONS")))
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS"))
                       + QStringLiteral(":fast_unwind_on_malloc=0"));
    const QStringList keys = extra.keys();
    for (const QString &key : keys)
        env.insert(key, extra.value(key));
    m_process.setProcessEnvironment(env);
    m_process.setWorkingDirectory(m_workingDir.isEmpty() ? m_dir : m_workingDir);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(path(QStringLiteral("vlm-updater")), QStringList());
    if (!m_process.waitForStarted(30000))
        return false;
    QDeadlineTimer deadline(30000);
    do {
        m_window = m_display.findWindow(WindowTitle, 0, m_process.processId());
        if (!m_window.isEmpty())
            return true;
        // An updater that ended will never show its window: say why now.
        m_process.waitForFinished(0);
        if (!running()) {
            qWarning("the updater ended before showing its window:\n%s", output().constData());
            return false;
        }
    } while (!deadline.hasExpired());
    qWarning("the updater showed no window titled \"%s\" within 30 s", qUtf8Printable(WindowTitle));
    return false;
}

bool InstalledUpdater::press()
{
    return running() && m_display.click(m_window, 240, 25);
}

bool InstalledUpdater::launchAndPress(const QProcessEnvironment &extra)
{
    return launch(extra) && press();
}

bool InstalledUpdater::close()
{
    return running() && m_display.closeWindow(m_window);
}

bool InstalledUpdater::waitForExit(int timeoutMs)
{
    return m_process.waitForFinished(timeoutMs) || !running();
}

bool InstalledUpdater::exitedWithZero() const
{
    return !running() && m_process.exitStatus() == QProcess::NormalExit
        && m_process.exitCode() == 0;
}

QByteArray InstalledUpdater::output()
{
    return m_process.readAll();
}

QString InstalledUpdater::logText() const
{
    QString text;
    const QDir logDir(path(QStringLiteral("log")));
    const QStringList names = logDir.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names)
        text += QString::fromLocal8Bit(readFile(logDir.filePath(name)));
    return text;
}

int InstalledUpdater::logRecords() const
{
    static const QRegularExpression stamp(
        QStringLiteral("\\[\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]\\n"));
    return int(logText().count(stamp));
}

QStringList InstalledUpdater::stagedDownloads() const
{
    // The staged copy may have no name at all (Linux's O_TMPFILE), so the
    // updater's open files are looked at rather than the folder.
    QStringList staged;
    if (!running())
        return staged;
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(m_process.processId());
    const QFileInfoList fds = QDir(fdDir).entryInfoList(QDir::Files | QDir::System);
    for (const QFileInfo &fd : fds) {
        // The lock the updater holds on its installation is no download.
        const QString target = fd.symLinkTarget();
        if (target.startsWith(m_dir + QLatin1Char('/'))
            && target != path(QStringLiteral("vlm_update.lock")))
            staged.append(fd.filePath());
    }
    return staged;
}

qint64 InstalledUpdater::stagedBytes() const
{
    qint64 bytes = 0;
    const QStringList staged = stagedDownloads();
    for (const QString &fd : staged)
        bytes += QFileInfo(fd).size();
    return bytes;
}

bool InstalledUpdater::waitForDownloadEnded(int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (!QFileInfo::exists(path(QStringLiteral("vlm_update.zip")))
           || !stagedDownloads().isEmpty()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
    return true;
}

QStringList InstalledUpdater::productStarts() const
{
    QStringList versions;
    const QList<QByteArray> lines =
        readFile(path(QStringLiteral("product-started.txt"))).split('\n');
    for (const QByteArray &line : lines) {
        if (!line.isEmpty())
            versions.append(QString::fromLatin1(line.left(line.indexOf(' '))));
    }
    return versions;
}
