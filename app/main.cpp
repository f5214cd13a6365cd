#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Process setting: the window paints a label and a button and nothing
    // with OpenGL. Left to itself, Qt prepares every window for OpenGL, which
    // on X11 loads the GL driver, a large library, before the window shows.
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    QApplication application(argc, argv);

    MainWindow window;
    window.show();
    return application.exec();
}
