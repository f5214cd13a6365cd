#include "debuglog.h"
#include "mainwindow.h"
#include "stagedupdate.h"

#include <QApplication>

int main(int argc, char *argv[])
{
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
    return application.exec();
}
