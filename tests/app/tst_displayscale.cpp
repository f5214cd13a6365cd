#include "mainwindow.h"
#include "processsettings.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_WIN
#include <QSettings>
#else
#include "xvfbdisplay.h"
#endif

namespace {

const int Scales[] = { 100, 125, 150, 175, 200 };
// Every text the label shows besides the running percentages.
const QStringList LabelTexts {
    QStringLiteral("更新已在进行中"),     QStringLiteral("解包中.."),
    QStringLiteral("启动程序..."),        QStringLiteral("更新失败，下次启动时修复"),
    QStringLiteral("更新需要管理员权限"), QStringLiteral("下载进度100%"),
    QStringLiteral("下载进度-100%")
};
const QString Desktop = QStringLiteral("HKEY_CURRENT_USER\\Control Panel\\Desktop");

QJsonArray toJson(const QRectF &rect)
{
    return { rect.x(), rect.y(), rect.width(), rect.height() };
}

QRectF toRect(const QJsonValue &value)
{
    const QJsonArray a = value.toArray();
    return QRectF(a.at(0).toDouble(), a.at(1).toDouble(), a.at(2).toDouble(), a.at(3).toDouble());
}

// A text's glyph pixels: those of the widget's grab that change when the
// text is set. Their bounds in device pixels, and the area the text may
// use (logical, in the widget), scaled to them.
QJsonObject glyphs(QWidget *widget, const QString &text, const QRect &area)
{
    widget->setProperty("text", QString());
    const QImage without = widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    widget->setProperty("text", text);
    const QImage with = widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QRect bounds;
    for (int y = 0; y < with.height(); ++y) {
        for (int x = 0; x < with.width(); ++x) {
            if (with.pixel(x, y) != without.pixel(x, y))
                bounds |= QRect(x, y, 1, 1);
        }
    }
    const qreal ratio = widget->devicePixelRatioF();
    return { { QStringLiteral("glyphs"), toJson(bounds) },
             { QStringLiteral("area"),
               toJson(QRectF(area.topLeft() * ratio, QSizeF(area.size()) * ratio)) } };
}

// The child: the window as the updater shows it on the display it finds.
int grabWindow(int argc, char *argv[])
{
    applyProcessSettings();
    QApplication application(argc, argv);
    QTemporaryDir installation;
    MainWindow window(UpdateSettings::builtIn(installation.path()));
    window.show();
    if (!installation.isValid() || !QTest::qWaitForWindowExposed(&window))
        return 1;
    auto *label = window.findChild<QLabel *>();
    auto *button = window.findChild<QPushButton *>();
    // The button lies over the label's right end.
    QRect labelArea = label->rect();
    labelArea.setRight(button->x() - label->x() - 1);
    QStyleOptionButton option;
    option.initFrom(button);
    const QRect buttonArea =
        button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    QJsonObject result { { QStringLiteral("size"), toJson(window.rect()) },
                         { QStringLiteral("ratio"), window.devicePixelRatioF() },
                         { QStringLiteral("button"), glyphs(button, button->text(), buttonArea) } };
    for (const QString &text : LabelTexts)
        result.insert(text, glyphs(label, text, labelArea));
    QFile out(QCoreApplication::arguments().value(2));
    return out.open(QIODevice::WriteOnly) && out.write(QJsonDocument(result).toJson()) > 0 ? 0 : 1;
}

} // namespace

// The window at every common display scale, shown by a child of this test
// with the updater's own process settings: it keeps its size in
// device-independent pixels, and every text stays whole, that is, no pixel
// of its glyphs touches the edge of the area its widget gives it.
class tst_DisplayScale : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowScales_data();
    void windowScales();
    void textWhole_data();
    void textWhole();

private:
    QJsonObject grabAt(int scale);

    QMap<int, QJsonObject> grabs;
};

void tst_DisplayScale::initTestCase()
{
#ifdef Q_OS_WIN
    // Wine reads the display's DPI from here when a program starts.
    const QVariant logPixels =
        QSettings(Desktop, QSettings::NativeFormat).value(QStringLiteral("LogPixels"));
#endif
    for (const int scale : Scales)
        grabs.insert(scale, grabAt(scale));
#ifdef Q_OS_WIN
    QSettings desktop(Desktop, QSettings::NativeFormat);
    if (logPixels.isValid())
        desktop.setValue(QStringLiteral("LogPixels"), logPixels);
    else
        desktop.remove(QStringLiteral("LogPixels"));
#endif
}

QJsonObject tst_DisplayScale::grabAt(int scale)
{
    const int dpi = 96 * scale / 100;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
#ifdef Q_OS_WIN
    QSettings(Desktop, QSettings::NativeFormat).setValue(QStringLiteral("LogPixels"), dpi);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("windows"));
#else
    XvfbDisplay display;
    if (!display.start(dpi))
        return QJsonObject();
    env.insert(QStringLiteral("DISPLAY"), display.display());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
#endif
    // Scaled by the display alone.
    for (const char *name : { "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI" })
        env.remove(QLatin1String(name));
    QTemporaryDir folder;
    const QString file = folder.filePath(QStringLiteral("grab.json"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--grab"), file });
    if (!child.waitForFinished(60000) || child.exitCode() != 0) {
        qWarning("the window could not be grabbed at %d %%: %s", scale,
                 qPrintable(child.errorString()));
        child.kill();
        child.waitForFinished();
    }
    QFile grab(file);
    return grab.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(grab.readAll()).object()
                                          : QJsonObject();
}

void tst_DisplayScale::windowScales_data()
{
    QTest::addColumn<int>("scale");
    for (const int scale : Scales)
        QTest::addRow("%d %%", scale) << scale;
}

void tst_DisplayScale::windowScales()
{
    QFETCH(int, scale);
    const QJsonObject grab = grabs.value(scale);
    QCOMPARE(toRect(grab.value(QStringLiteral("size"))), QRectF(0, 0, 300, 50));
    QCOMPARE(grab.value(QStringLiteral("ratio")).toDouble(), scale / 100.0);
}

void tst_DisplayScale::textWhole_data()
{
    QTest::addColumn<int>("scale");
    QTest::addColumn<QString>("text");
    for (const int scale : Scales) {
        for (const QString &text : LabelTexts)
            QTest::addRow("%d %% %s", scale, qUtf8Printable(text)) << scale << text;
        QTest::addRow("%d %% button 开始更新", scale) << scale << QStringLiteral("button");
    }
}

void tst_DisplayScale::textWhole()
{
    QFETCH(int, scale);
    QFETCH(QString, text);
    const QJsonObject shown = grabs.value(scale).value(text).toObject();
    QVERIFY2(!shown.isEmpty(), "not grabbed");
    const QRectF glyphs = toRect(shown.value(QStringLiteral("glyphs")));
    const QRectF area = toRect(shown.value(QStringLiteral("area")));
    QVERIFY2(!glyphs.isEmpty(), "the text drew nothing");
    // A label's text begins at its left edge: it is cut off at the others.
    const QRectF inside = area.adjusted(text == QLatin1String("button") ? 1 : 0, 1, -1, -1);
    QVERIFY2(inside.contains(glyphs),
             qPrintable(QString::asprintf("glyphs at %g,%g %gx%g reach the edge of %gx%g",
                                          glyphs.x(), glyphs.y(), glyphs.width(), glyphs.height(),
                                          area.width(), area.height())));
}

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--grab") == 0)
        return grabWindow(argc, argv);
    QCoreApplication application(argc, argv);
    tst_DisplayScale test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_displayscale.moc"
