#include "debuglog.h"
#include "mainwindow.h"
#include "stagedupdate.h"

#include <QApplication>
#include <QThreadPool>
#include <QTimer>
#if QT_CONFIG(ssl)
#include <QSslConfiguration>
#endif

#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char *argv[])
{
#ifdef __GLIBC__
    // Process setting: Qt moves a download through buffers of up to several
    // MiB. glibc would hand such blocks back to the kernel when freed and
    // fault every new one in afresh, which slows a fast download markedly;
    // blocks up to 32 MiB stay in the heap for reuse instead.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
    // Process setting: the window paints a label and a button and nothing
    // with OpenGL. Left to itself, Qt prepares every window for OpenGL, which
    // on X11 loads the GL driver, a large library, before the window shows.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    QApplication application(argc, argv);

    const UpdateSettings settings = UpdateSettings::builtIn(QCoreApplication::applicationDirPath());
    // An update cut off by a crash or a power cut is put right before the
    // window offers the next one.
    StagedUpdate interrupted(settings);
    interrupted.recover();
    if (!interrupted.report().isEmpty())
        writeLog(interrupted.report(), 0);

    MainWindow window(settings);
    window.show();
#if QT_CONFIG(ssl)
    // Process setting: Qt loads its TLS library and reads the system's
    // certificates before its first request, FTP included. A worker does it
    // while the window waits for the press; a press made sooner waits inside
    // Qt until it is done.
    QTimer::singleShot(0, [] {
        QThreadPool::globalInstance()->start([] { QSslConfiguration::defaultConfiguration(); });
    });
#endif
    return application.exec();
}
