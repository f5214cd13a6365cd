#ifndef INSTALLATION_H
#define INSTALLATION_H

#include <QByteArray>
#include <QIODevice>
#include <QJsonObject>
#include <QMap>
#include <QString>

QT_BEGIN_NAMESPACE
class QProcess;
QT_END_NAMESPACE

// Helpers for tests that lay out a product installation, pack update
// archives with 7za and watch the stand-in product (standin/standinproduct.cpp).
namespace Installation {

bool writeFile(const QString &path, const QByteArray &data);
QByteArray readFile(const QString &path);
QByteArray randomBytes(qint64 size, quint32 seed);
// What the system says when path cannot be opened in mode ("No such file or
// directory" on Linux, "File not found." under Wine): expected reasons
// that quote it differ between the systems.
QString openError(const QString &path, QIODevice::OpenMode mode = QIODevice::ReadOnly);

// Copies the stand-in product to dest and writes its version to
// version.txt beside it.
bool writeProduct(const QString &dest, const QString &version);

// Starts dir/vlm.exe with dir as working directory, detached.
bool startProduct(const QString &dir);

// The version and pid ("version", "pid") of the product that started last in
// dir, or an empty object. With a version given, waits (bounded) until a
// product of that version reports.
QJsonObject productState(const QString &dir);
QJsonObject waitForProduct(const QString &dir, const QString &version, int timeoutMs = 30000);
qint64 productPid(const QJsonObject &state);

// Stand-ins started from now on by this process, or by the programs it
// starts, first list the files they find (productSnapshot()).
void recordProductSnapshots();
// Relative path -> SHA-256 (hex) of each file the last stand-in in dir found
// at its start; empty when it listed none.
QMap<QString, QByteArray> productSnapshot(const QString &dir);

// Asks a helper process to end, and kills it if it does not within a bound.
void stopProcess(QProcess &process);

bool processAlive(qint64 pid);
#ifndef Q_OS_WIN
// The processes started by pid, and by those, and so on.
QList<qint64> descendants(qint64 pid);
#endif
bool waitForProcessGone(qint64 pid, int timeoutMs = 10000);
// Ends every stand-in product that started from dir.
void killProducts(const QString &dir);

// Packs every file below sourceDir into archive with 7za; extra switches
// (such as "-mm=PPMd") go before the file list.
bool makeArchive(const QString &archive, const QString &sourceDir,
                 const QStringList &switches = QStringList());

// The minisign tool (Debian package minisign), for signed updates; on
// Windows the Linux one, run by the test services (TestService). Each
// returns false, with what the tool printed as a warning, when it fails.
bool minisignAvailable();
QString whyNoMinisign();
bool minisign(const QStringList &arguments);
// A key pair without a password: keyPath + ".pub" and keyPath + ".key".
bool makeSigningKey(const QString &keyPath);
// Signs file with keyPath + ".key" into signature (file + ".minisig" when
// empty); legacy selects the tool's older signature kind.
bool signFile(const QString &keyPath, const QString &file, const QString &trustedComment,
              const QString &signature = QString(), bool legacy = false);

// Relative path -> bytes of every file below dir.
QMap<QString, QByteArray> filesBelow(const QString &dir);
// Relative path -> SHA-256 of each of files, and of every file below dir.
QMap<QString, QByteArray> hashes(const QMap<QString, QByteArray> &files);
QMap<QString, QByteArray> treeOf(const QString &dir);

// Version 1.0 of the product in the existing folder dir, as the updater
// finds it: the updater copied from updaterExecutable under its own name
// (none when empty), the folder "log" for its debug log, and the stand-in
// as "vlm.exe".
bool layOutInstallation(const QString &dir, const QString &updaterExecutable = QString());

} // namespace Installation

#endif // INSTALLATION_H
