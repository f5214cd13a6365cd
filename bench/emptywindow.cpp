// A Qt widgets program that does nothing but show an empty main window of the
// updater's size. Its start-up is the floor that the updater's is held to.

#include <QApplication>
#include <QMainWindow>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QMainWindow window;
    window.resize(300, 50);
    window.show();
    return QApplication::exec();
}
