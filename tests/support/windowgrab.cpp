// Shows the updater's window with the updater's process settings and saves
// what it draws, for tests that look at it at a display scale of their
// choosing (the display the process finds decides the scale):
//
//     windowgrab FOLDER TEXTS
//
// TEXTS is a UTF-8 file with one label text a line. FOLDER receives
// window.json (the window's size, its device pixel ratio and where each
// widget's text may go), window.png, and
// for each widget one grab with its text and one without: label-N.png for
// the Nth text, label-empty.png, button.png and button-empty.png.
#include "mainwindow.h"
#include "processsettings.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

bool save(QWidget *widget, const QString &path)
{
    if (widget->grab().save(path, "PNG"))
        return true;
    qWarning("cannot write %s", qPrintable(QDir::toNativeSeparators(path)));
    return false;
}

QStringList readTexts(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("%s: %s", qPrintable(path), qPrintable(file.errorString()));
        return QStringList();
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool grabTexts(QWidget &window, const QStringList &texts, const QDir &out)
{
    auto *label = window.findChild<QLabel *>();
    auto *button = window.findChild<QPushButton *>();
    if (!label || !button)
        return false;
    const QString buttonText = button->text();
    label->clear();
    if (!save(label, out.filePath(QStringLiteral("label-empty.png")))
        || !save(button, out.filePath(QStringLiteral("button.png"))))
        return false;
    button->setText(QString());
    if (!save(button, out.filePath(QStringLiteral("button-empty.png"))))
        return false;
    button->setText(buttonText);
    for (int i = 0; i < texts.size(); ++i) {
        label->setText(texts.at(i));
        if (!save(label, out.filePath(QStringLiteral("label-%1.png").arg(i))))
            return false;
    }
    return save(&window, out.filePath(QStringLiteral("window.png")));
}

QJsonArray toJson(const QRect &rect)
{
    return { rect.x(), rect.y(), rect.width(), rect.height() };
}

// Where each widget's text may go, in the widget's own coordinates: the
// label's part that the button leaves free, the button's contents.
QJsonObject textAreas(const QWidget &window)
{
    auto *label = window.findChild<QLabel *>();
    auto *button = window.findChild<QPushButton *>();
    QRect labelArea = label->rect();
    labelArea.setRight(qMin(labelArea.right(), button->x() - label->x() - 1));
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    const QRect buttonArea =
        button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    return { { QStringLiteral("label"), toJson(labelArea) },
             { QStringLiteral("button"), toJson(buttonArea) } };
}

bool writeGeometry(const QWidget &window, const QString &path)
{
    QJsonObject geometry = textAreas(window);
    geometry.insert(QStringLiteral("width"), window.width());
    geometry.insert(QStringLiteral("height"), window.height());
    geometry.insert(QStringLiteral("ratio"), window.devicePixelRatioF());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(geometry).toJson()) > 0
        && file.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    applyProcessSettings();
    QApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 3) {
        qWarning("usage: windowgrab FOLDER TEXTS");
        return 2;
    }
    const QDir out(arguments.at(1));
    const QStringList texts = readTexts(arguments.at(2));
    // An installation of its own: the window claims the folder it is given.
    QTemporaryDir installation;
    if (texts.isEmpty() || !installation.isValid())
        return 1;

    MainWindow window(UpdateSettings::builtIn(installation.path()));
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) {
        qWarning("the window was not shown");
        return 1;
    }
    if (!grabTexts(window, texts, out)
        || !writeGeometry(window, out.filePath(QStringLiteral("window.json"))))
        return 1;
    return 0;
}
