#include "mainwindow.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define UPDATER_CHECKS_LEAKS_AT_EXIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UPDATER_CHECKS_LEAKS_AT_EXIT 1
#endif
#endif

namespace {

// Once the window is gone the update is over: the product runs, the archive
// and the log are closed, and a transfer the user cut short has removed its
// partial file. What is left is Qt tearing down its globals (the display
// connection, plugins, OpenSSL, the threads of its network and D-Bus
// support), memory the system takes back at once anyway; it kept the
// updater's process alive some milliseconds after its last step. The leak
// checker of the sanitizer builds runs at exit and needs that teardown; there
// this returns, and main returns as usual.
int endWithoutTeardown(int status)
{
#ifndef UPDATER_CHECKS_LEAKS_AT_EXIT
    std::fflush(nullptr);
    std::_Exit(status);
#endif
    return status;
}

} // namespace

int main(int argc, char *argv[])
{
    // The window paints a label and a button and nothing with OpenGL. Left
    // to itself, Qt prepares every window for OpenGL content, which on X11
    // loads the GL driver (Mesa's software one brings LLVM): about 50 MiB and
    // more time than the rest of the start-up, and every command the updater
    // runs then forks that much larger a process.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    QApplication application(argc, argv);
    int status = 0;
    {
        MainWindow window;
        window.show();
        status = application.exec();
    }
    return endWithoutTeardown(status);
}
