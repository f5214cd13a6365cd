#include "installedupdater.h"

#include "deltadownload.h"
#include "installation.h"
#include "logreader.h"
#include "partialdownload.h"
#include "windowlayout.h"
#include "xvfbdisplay.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QTest>

using namespace Installation;

namespace {

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
    : xvfb(display)
{
}

InstalledUpdater::~InstalledUpdater()
{
    if (running()) {
        process.kill();
        process.waitForFinished(10000);
    }
    if (!installDir.isEmpty())
        killProducts(installDir);
}

bool InstalledUpdater::install(const QString &dir, const QString &updaterExecutable)
{
    installDir = dir;
    return layOutInstallation(dir, updaterExecutable)
        && writeFile(path(QStringLiteral("data/config.txt")), "old configuration\n")
        && writeFile(path(QStringLiteral("user-notes.txt")), "not in the archive\n");
}

InstalledUpdater::Tree InstalledUpdater::tree() const
{
    QMap<QString, QByteArray> files = filesBelow(installDir);
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
    return Installation::hashes(files);
}

bool InstalledUpdater::launch(const QProcessEnvironment &extra)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), xvfb.display());
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
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workingDir.isEmpty() ? installDir : workingDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(path(QStringLiteral("vlm-updater")), QStringList());
    if (!process.waitForStarted(30000))
        return false;
    QDeadlineTimer deadline(30000);
    do {
        window = xvfb.findWindow(WindowLayout::title(), 0, process.processId());
        if (!window.isEmpty())
            return true;
        // An updater that ended will never show its window: say why now.
        process.waitForFinished(0);
        if (!running()) {
            qWarning("the updater ended before showing its window:\n%s", output().constData());
            return false;
        }
    } while (!deadline.hasExpired());
    qWarning("the updater showed no window titled \"%s\" within 30 s",
             qUtf8Printable(WindowLayout::title()));
    return false;
}

bool InstalledUpdater::press()
{
    return running()
        && xvfb.click(window, WindowLayout::buttonGeometry().center().x(),
                      WindowLayout::buttonGeometry().center().y());
}

bool InstalledUpdater::launchAndPress(const QProcessEnvironment &extra)
{
    return launch(extra) && press();
}

bool InstalledUpdater::close()
{
    return running() && xvfb.closeWindow(window);
}

bool InstalledUpdater::waitForExit(int timeoutMs)
{
    return process.waitForFinished(timeoutMs) || !running();
}

bool InstalledUpdater::exitedWithZero() const
{
    return !running() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QByteArray InstalledUpdater::output()
{
    return process.readAll();
}

QString InstalledUpdater::logText() const
{
    return LogReader(path(QStringLiteral("log"))).text();
}

int InstalledUpdater::logRecords() const
{
    return LogReader(path(QStringLiteral("log"))).recordCount();
}

QStringList InstalledUpdater::stagedDownloads() const
{
    const QString archive = path(QStringLiteral("vlm_update.zip"));
    QStringList staged;
    for (const QString &name :
         { PartialDownload::fileName(archive), DeltaDownload::assemblyFileName(archive) }) {
        if (QFileInfo::exists(name))
            staged.append(name);
    }
    return staged;
}

qint64 InstalledUpdater::stagedBytes() const
{
    qint64 bytes = 0;
    const QStringList staged = stagedDownloads();
    for (const QString &name : staged)
        bytes += QFileInfo(name).size();
    return bytes;
}

bool InstalledUpdater::waitForDownloadEnded(int timeoutMs) const
{
    return QTest::qWaitFor(
        [this] {
            return QFileInfo::exists(path(QStringLiteral("vlm_update.zip")))
                && stagedDownloads().isEmpty();
        },
        timeoutMs);
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
