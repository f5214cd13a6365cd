#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The window paints a label and a button and nothing with OpenGL. Left
    // to itself, Qt prepares every window for OpenGL content, which on X11
    // loads the GL driver (Mesa's software one brings LLVM): about 50 MiB and
    // more time than the rest of the start-up, and every command the updater
    // runs then forks that much larger a process.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}
