// A Qt widgets program that does nothing but show an empty main window of the
// updater's size. Its start-up is the floor that the updater's is held to.
// With --raster it is told, as the updater is, that it paints nothing with
// OpenGL. With --widgets it also holds a label and a button like the
// updater's, which shows what a window with content costs before it maps.

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>

int main(int argc, char *argv[])
{
    bool widgets = false;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--raster") == 0)
            QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
        widgets = widgets || qstrcmp(argv[i], "--widgets") == 0;
    }
    QApplication application(argc, argv);
    QMainWindow window;
    window.resize(300, 50);
    if (widgets) {
        window.setWindowTitle(QStringLiteral("Velmora升级程序1.1"));
        (new QLabel(&window))->setGeometry(20, 10, 200, 30);
        auto *button = new QPushButton(QStringLiteral("开始更新"), &window);
        button->setGeometry(200, 10, 80, 30);
    }
    window.show();
    return QApplication::exec();
}
