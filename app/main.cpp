#include "mainwindow.h"
#include "processsettings.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Process settings: no OpenGL, and the window scaled with the display.
    applyProcessSettings();
    QApplication application(argc, argv);

    MainWindow window;
    if (window.handedOver())
        return 0;
    window.show();
    return application.exec();
}
