#include "installation.h"
#include "testservice.h"
#include "windowlayout.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

using namespace Installation;

namespace {

const QString Restarted = QStringLiteral("was started again with an administrator's permission");
const QString Refused =
    QStringLiteral("though this updater was started with an administrator's permission");

struct ShownWindow
{
    HWND handle = nullptr;
    DWORD processId = 0;
};

ShownWindow findWindow()
{
    ShownWindow window;
    const std::wstring title = WindowLayout::title().toStdWString();
    window.handle = ::FindWindowW(nullptr, title.c_str());
    if (window.handle && ::IsWindowVisible(window.handle))
        ::GetWindowThreadProcessId(window.handle, &window.processId);
    return window;
}

// A click of the left button at (x, y) of the window, as Windows delivers it.
void click(HWND window, int x, int y)
{
    ::PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    ::PostMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

bool waitForExit(DWORD processId)
{
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (!process)
        return true;
    const DWORD waited = ::WaitForSingleObject(process, 30000);
    ::CloseHandle(process);
    return waited == WAIT_OBJECT_0;
}

// Everything the updater must leave as it was: what the product writes
// while it runs and the log are left out.
QMap<QString, QByteArray> installedFiles(const QString &dir)
{
    QMap<QString, QByteArray> files = filesBelow(dir);
    files.remove(QStringLiteral("product-started.txt"));
    for (auto it = files.begin(); it != files.end();)
        it = it.key().startsWith(QLatin1String("log/")) ? files.erase(it) : std::next(it);
    return files;
}

bool chattr(const QString &flag, const QString &path)
{
    TestService tool;
    int exitCode = -1;
    QByteArray output;
    if (tool.start(QStringLiteral("chattr"), { flag, path })
        && tool.waitForExit(60000, &exitCode, &output) && exitCode == 0)
        return true;
    qWarning("chattr %s: %s %s", qPrintable(flag), qPrintable(tool.errorString()),
             output.constData());
    return false;
}

} // namespace

// The real updater in an installation whose folder its user may not write.
// It asks once for an administrator's permission by starting itself again;
// under Wine, which gives no such permission, the copy it started finds the
// folder as refused as before and says so, leaving the product running and
// every file as it was.
class tst_ProtectedInstallation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void start_data();
    void start();

private:
    QScopedPointer<QTemporaryDir> home;
    QString immutable;
    DWORD windowProcess = 0;
};

void tst_ProtectedInstallation::initTestCase()
{
    if (!TestService::available())
        QSKIP(qPrintable(TestService::whyUnavailable()));
}

void tst_ProtectedInstallation::init()
{
    home.reset(new QTemporaryDir);
    QVERIFY(home->isValid());
    QVERIFY(layOutInstallation(home->path(), QStringLiteral(UPDATER_EXECUTABLE)));
    // The stand-in adds a line to it, which an immutable folder allows.
    QVERIFY(writeFile(home->filePath(QStringLiteral("product-started.txt")), QByteArray()));
}

void tst_ProtectedInstallation::cleanup()
{
    if (windowProcess != 0) {
        HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, windowProcess);
        if (process) {
            ::TerminateProcess(process, 9);
            ::CloseHandle(process);
        }
    }
    windowProcess = 0;
    if (!immutable.isEmpty())
        chattr(QStringLiteral("-i"), immutable);
    immutable.clear();
    killProducts(home->path());
    home.reset();
}

void tst_ProtectedInstallation::start_data()
{
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<int>("presses");
    QTest::addColumn<int>("restarts");
    QTest::addColumn<int>("refusals");
    QTest::newRow("writable folder") << false << 0 << 0 << 0;
    QTest::newRow("read-only folder") << true << 0 << 1 << 1;
    // Each press asks once more: one more start, one more refusal.
    QTest::newRow("read-only folder, pressed twice") << true << 2 << 3 << 3;
}

void tst_ProtectedInstallation::start()
{
    QFETCH(bool, readOnly);
    QFETCH(int, presses);
    QFETCH(int, restarts);
    QFETCH(int, refusals);
    QVERIFY(startProduct(home->path()));
    const qint64 productPid =
        Installation::productPid(waitForProduct(home->path(), QStringLiteral("1.0")));
    QVERIFY(productPid > 0);
    if (readOnly) {
        QVERIFY(chattr(QStringLiteral("+i"), home->path()));
        immutable = home->path();
    }
    const QMap<QString, QByteArray> before = installedFiles(home->path());

    QProcess updater;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("windows"));
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(home->path());
    updater.start(home->filePath(QStringLiteral("vlm-updater.exe")), QStringList());
    QVERIFY2(updater.waitForStarted(30000), qPrintable(updater.errorString()));
    const auto firstPid = DWORD(updater.processId());
    if (readOnly) {
        // It ends at once, the product untouched, and the copy takes over.
        QVERIFY(updater.waitForFinished(60000));
        QCOMPARE(updater.exitCode(), 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(findWindow().processId != 0, 60000);
    ShownWindow window = findWindow();
    windowProcess = window.processId;
    QCOMPARE(window.processId == firstPid, !readOnly);
    for (int press = 0; press < presses; ++press) {
        const DWORD pressed = window.processId;
        click(window.handle, WindowLayout::buttonGeometry().center().x(),
              WindowLayout::buttonGeometry().center().y());
        QVERIFY(waitForExit(pressed));
        QTRY_VERIFY_WITH_TIMEOUT(findWindow().processId != 0, 60000);
        window = findWindow();
        windowProcess = window.processId;
        QVERIFY(window.processId != pressed);
    }

    const QString log = QString::fromLocal8Bit(
        readFile(home->filePath(QStringLiteral("log/"))
                 + QDir(home->filePath(QStringLiteral("log"))).entryList(QDir::Files).value(0)));
    QCOMPARE(int(log.count(Restarted)), restarts);
    QCOMPARE(int(log.count(Refused)), refusals);
    QVERIFY(processAlive(productPid));
    if (readOnly)
        QCOMPARE(installedFiles(home->path()), before);

    ::PostMessageW(window.handle, WM_CLOSE, 0, 0);
    QVERIFY(waitForExit(window.processId));
    windowProcess = 0;
    QVERIFY(processAlive(productPid));
}

QTEST_GUILESS_MAIN(tst_ProtectedInstallation)
#include "tst_protectedinstallation.moc"
