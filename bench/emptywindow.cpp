// A Qt widgets program that does nothing but show an empty main window of the
// updater's size. Its start-up is the floor that the updater's is held to.
// With --raster it is told, as the updater is, that it paints nothing with
// OpenGL, which shows what the updater's start-up costs beyond that choice.

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    if (argc > 1 && qstrcmp(argv[1], "--raster") == 0)
        QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    QApplication application(argc, argv);
    QMainWindow window;
    window.resize(300, 50);
    window.show();
    return QApplication::exec();
}
