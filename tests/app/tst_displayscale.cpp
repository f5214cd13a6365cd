#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_WIN
#include <QSettings>
#else
#include "xvfbdisplay.h"
#endif

namespace {

const int Scales[] = { 100, 125, 150, 175, 200 };

// Every text the window's label shows, and the button's.
const QStringList LabelTexts {
    QStringLiteral("更新已在进行中"),     QStringLiteral("解包中.."),
    QStringLiteral("启动程序..."),        QStringLiteral("更新失败，下次启动时修复"),
    QStringLiteral("更新需要管理员权限"), QStringLiteral("下载进度100%"),
    QStringLiteral("下载进度-100%")
};
const QString ButtonText = QStringLiteral("开始更新");

// The pixels a text puts into its widget's grab are those that differ from
// the grab of the widget without it. Their bounding box, in device pixels;
// empty when the text drew nothing.
QRect glyphBounds(const QImage &withText, const QImage &without)
{
    if (withText.size() != without.size())
        return QRect();
    const QImage a = withText.convertToFormat(QImage::Format_ARGB32);
    const QImage b = without.convertToFormat(QImage::Format_ARGB32);
    QRect bounds;
    for (int y = 0; y < a.height(); ++y) {
        const auto *lineA = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *lineB = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            if (lineA[x] != lineB[x])
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

QString describe(const QRect &rect)
{
    return QStringLiteral("(%1,%2 %3x%4)")
        .arg(rect.x())
        .arg(rect.y())
        .arg(rect.width())
        .arg(rect.height());
}

} // namespace

// The window at every common display scale, shown by windowgrab with the
// updater's own process settings: it keeps its size in device-independent
// pixels, and every text stays whole, that is, no pixel of its glyphs
// touches the edge of the part of its widget that the window shows.
class tst_DisplayScale : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void windowScales_data();
    void windowScales();
    void textWhole_data();
    void textWhole();

private:
    bool grabAt(int scale, const QString &folder);
    QString folderOf(int scale) const { return grabs.filePath(QString::number(scale)); }
    QJsonObject readWindow(int scale) const;

    QTemporaryDir grabs;
    QMap<int, QString> failures;
#ifdef Q_OS_WIN
    QVariant logPixels;
#endif
};

void tst_DisplayScale::initTestCase()
{
    QVERIFY(grabs.isValid());
    QFile texts(grabs.filePath(QStringLiteral("texts.txt")));
    QVERIFY(texts.open(QIODevice::WriteOnly));
    texts.write(LabelTexts.join(QLatin1Char('\n')).toUtf8() + '\n');
    texts.close();
#ifdef Q_OS_WIN
    // Wine reads the display's DPI from here when a program starts.
    logPixels = QSettings(QStringLiteral("HKEY_CURRENT_USER\\Control Panel\\Desktop"),
                          QSettings::NativeFormat)
                    .value(QStringLiteral("LogPixels"));
#endif
    for (const int scale : Scales) {
        QVERIFY(QDir().mkpath(folderOf(scale)));
        if (!grabAt(scale, folderOf(scale)))
            failures.insert(scale, QStringLiteral("no grabs at %1 %").arg(scale));
    }
}

void tst_DisplayScale::cleanupTestCase()
{
#ifdef Q_OS_WIN
    QSettings desktop(QStringLiteral("HKEY_CURRENT_USER\\Control Panel\\Desktop"),
                      QSettings::NativeFormat);
    if (logPixels.isValid())
        desktop.setValue(QStringLiteral("LogPixels"), logPixels);
    else
        desktop.remove(QStringLiteral("LogPixels"));
#endif
}

bool tst_DisplayScale::grabAt(int scale, const QString &folder)
{
    const int dpi = 96 * scale / 100;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
#ifdef Q_OS_WIN
    QSettings(QStringLiteral("HKEY_CURRENT_USER\\Control Panel\\Desktop"), QSettings::NativeFormat)
        .setValue(QStringLiteral("LogPixels"), dpi);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("windows"));
#else
    XvfbDisplay display;
    if (!display.start(dpi)) {
        qWarning("Xvfb did not start at %d DPI", dpi);
        return false;
    }
    env.insert(QStringLiteral("DISPLAY"), display.display());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
#endif
    // Scaled by the display alone.
    env.remove(QStringLiteral("QT_SCALE_FACTOR"));
    env.remove(QStringLiteral("QT_SCREEN_SCALE_FACTORS"));
    env.remove(QStringLiteral("QT_FONT_DPI"));
    QProcess helper;
    helper.setProcessEnvironment(env);
    helper.setProcessChannelMode(QProcess::ForwardedChannels);
    helper.start(QStringLiteral(WINDOW_GRAB),
                 { folder, grabs.filePath(QStringLiteral("texts.txt")) });
    if (!helper.waitForFinished(60000)) {
        qWarning("windowgrab: %s", qPrintable(helper.errorString()));
        helper.kill();
        helper.waitForFinished();
        return false;
    }
    return helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0;
}

// What windowgrab says of the window; empty when it could not be read.
QJsonObject tst_DisplayScale::readWindow(int scale) const
{
    QFile file(folderOf(scale) + QStringLiteral("/window.json"));
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
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
    if (failures.contains(scale))
        QFAIL(qPrintable(failures.value(scale)));
    const QJsonObject window = readWindow(scale);
    QCOMPARE(window.value(QStringLiteral("width")).toInt(), 300);
    QCOMPARE(window.value(QStringLiteral("height")).toInt(), 50);
    QCOMPARE(window.value(QStringLiteral("ratio")).toDouble(), scale / 100.0);
    const QImage shown(folderOf(scale) + QStringLiteral("/window.png"));
    QCOMPARE(shown.size(), QSize(300, 50) * scale / 100);
}

void tst_DisplayScale::textWhole_data()
{
    QTest::addColumn<int>("scale");
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QString>("grab");
    for (const int scale : Scales) {
        for (int i = 0; i < LabelTexts.size(); ++i) {
            QTest::addRow("%d %% %s", scale, qUtf8Printable(LabelTexts.at(i)))
                << scale << QStringLiteral("label") << QStringLiteral("label-%1").arg(i);
        }
        QTest::addRow("%d %% button %s", scale, qUtf8Printable(ButtonText))
            << scale << QStringLiteral("button") << QStringLiteral("button");
    }
}

void tst_DisplayScale::textWhole()
{
    QFETCH(int, scale);
    QFETCH(QString, widget);
    QFETCH(QString, grab);
    if (failures.contains(scale))
        QFAIL(qPrintable(failures.value(scale)));
    const QString folder = folderOf(scale) + QLatin1Char('/');
    const QImage withText(folder + grab + QStringLiteral(".png"));
    const QImage without(folder + widget + QStringLiteral("-empty.png"));
    QVERIFY(!withText.isNull() && !without.isNull());
    const QJsonObject window = readWindow(scale);
    const QJsonArray area = window.value(widget).toArray();
    const qreal ratio = window.value(QStringLiteral("ratio")).toDouble();
    const QRectF shown(area.at(0).toDouble() * ratio, area.at(1).toDouble() * ratio,
                       area.at(2).toDouble() * ratio, area.at(3).toDouble() * ratio);

    const QRect glyphs = glyphBounds(withText, without);
    QVERIFY2(!glyphs.isEmpty(), "the text drew nothing");
    // A label's text begins at its left edge: it is cut off at the others.
    const bool fromLeftEdge = widget == QLatin1String("label");
    const QRectF inner = shown.adjusted(fromLeftEdge ? 0 : 1, 1, -1, -1);
    QVERIFY2(inner.contains(QRectF(glyphs)),
             qPrintable(QStringLiteral("glyphs at %1 reach the edge of %2")
                            .arg(describe(glyphs), describe(shown.toAlignedRect()))));
}

QTEST_GUILESS_MAIN(tst_DisplayScale)
#include "tst_displayscale.moc"
