#ifndef INSTALLEDUPDATER_H
#define INSTALLEDUPDATER_H

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

class XvfbDisplay;

// The real updater executable in an installation of the stand-in product,
// started on a private X display and driven through its window the way a
// person does.
class InstalledUpdater
{
public:
    using Tree = QMap<QString, QByteArray>; // relative path -> SHA-256

    explicit InstalledUpdater(const XvfbDisplay &display);
    ~InstalledUpdater();
    InstalledUpdater(const InstalledUpdater &) = delete;
    InstalledUpdater &operator=(const InstalledUpdater &) = delete;

    // Lays out version 1.0 of the product in the existing folder dir: the
    // updater, a "log" folder, "vlm.exe" and two files of the product's own.
    bool install(const QString &dir, const QString &updaterExecutable);
    // Another updater process for an installation laid out already.
    void useInstallation(const QString &dir) { installDir = dir; }
    QString dir() const { return installDir; }
    QString path(const QString &relative) const { return installDir + QLatin1Char('/') + relative; }

    // Every file of the installation, leaving out what is written while it
    // runs: the log, the product's state files and the downloaded archive.
    // Staged downloads left behind do show up.
    Tree tree() const;
    static Tree hashes(const QMap<QString, QByteArray> &files);

    // Starts the updater and waits (bounded) for its window. Entries of extra
    // replace inherited ones. The working directory is the installation
    // unless setWorkingDirectory() named another.
    bool launch(const QProcessEnvironment &extra = QProcessEnvironment());
    bool press();
    // Both of the above: the first press of an update.
    bool launchAndPress(const QProcessEnvironment &extra = QProcessEnvironment());
    void setWorkingDirectory(const QString &dir) { workingDir = dir; }
    // Closes the window the way the title bar's close button does.
    bool close();
    bool running() const { return process.state() != QProcess::NotRunning; }
    qint64 processId() const { return process.processId(); }
    // True once the updater has exited on its own within the bound.
    bool waitForExit(int timeoutMs = 120000);
    bool exitedWithZero() const;
    // What the updater printed, for failure messages.
    QByteArray output();

    QString logText() const;
    int logRecords() const;
    // The partial files a download is staged in before it becomes the archive.
    QStringList stagedDownloads() const;
    qint64 stagedBytes() const;
    // Waits (bounded) until a download has ended one way or the other: the
    // archive is in place and nothing is staged any more.
    bool waitForDownloadEnded(int timeoutMs = 60000) const;

    // The versions of the products started in this installation so far,
    // oldest first.
    QStringList productStarts() const;

private:
    const XvfbDisplay &xvfb;
    QProcess process;
    QString window;
    QString installDir;
    QString workingDir;
};

#endif // INSTALLEDUPDATER_H
