#include <QDir>
#include <QTest>
#include <QXmlStreamReader>

#include <windows.h>

namespace {

const QString Asm3 = QStringLiteral("urn:schemas-microsoft-com:asm.v3");
const QString Compatibility = QStringLiteral("urn:schemas-microsoft-com:compatibility.v1");
const QString Settings2005 =
    QStringLiteral("http://schemas.microsoft.com/SMI/2005/WindowsSettings");
const QString Settings2016 =
    QStringLiteral("http://schemas.microsoft.com/SMI/2016/WindowsSettings");

// The manifest resource that Windows reads before it starts the program.
QByteArray manifestOf(const QString &executable, QString *errorString)
{
    const std::wstring path = QDir::toNativeSeparators(executable).toStdWString();
    HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        *errorString = qt_error_string(int(::GetLastError()));
        return QByteArray();
    }
    QByteArray manifest;
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    HGLOBAL loaded = resource ? ::LoadResource(module, resource) : nullptr;
    if (loaded)
        manifest = QByteArray(static_cast<const char *>(::LockResource(loaded)),
                              int(::SizeofResource(module, resource)));
    else
        *errorString = QStringLiteral("no manifest: ") + qt_error_string(int(::GetLastError()));
    ::FreeLibrary(module);
    return manifest;
}

// Each element as "namespace name", each of its attributes and its text
// as "namespace name attribute=value" and "namespace name =text".
QStringList settingsOf(const QByteArray &manifest, QString *errorString)
{
    QStringList settings;
    QXmlStreamReader reader(manifest);
    QString element;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            element =
                reader.namespaceUri().toString() + QLatin1Char(' ') + reader.name().toString();
            settings.append(element);
            const QXmlStreamAttributes attributes = reader.attributes();
            for (const QXmlStreamAttribute &attribute : attributes)
                settings.append(element + QLatin1Char(' ') + attribute.name().toString()
                                + QLatin1Char('=') + attribute.value().toString());
        } else if (reader.isCharacters() && !reader.isWhitespace()) {
            settings.append(element + QStringLiteral(" =") + reader.text().toString().trimmed());
        }
    }
    if (reader.hasError())
        *errorString = reader.errorString();
    return settings;
}

} // namespace

// The manifest embedded in the updater's executable, read back as Windows
// reads it.
class tst_Manifest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void setting_data();
    void setting();

private:
    QStringList settings;
};

void tst_Manifest::initTestCase()
{
    QString error;
    const QByteArray manifest = manifestOf(QStringLiteral(UPDATER_EXECUTABLE), &error);
    QVERIFY2(!manifest.isEmpty(), qPrintable(error));
    settings = settingsOf(manifest, &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

void tst_Manifest::setting_data()
{
    QTest::addColumn<QString>("setting");
    const QString level = Asm3 + QStringLiteral(" requestedExecutionLevel ");
    const QString os = Compatibility + QStringLiteral(" supportedOS Id=");
    QTest::newRow("the user's own rights") << level + QStringLiteral("level=asInvoker");
    QTest::newRow("no access to other programs' windows")
        << level + QStringLiteral("uiAccess=false");
    QTest::newRow("Windows 10 and 11")
        << os + QStringLiteral("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}");
    QTest::newRow("Windows 8.1") << os + QStringLiteral("{1f676c76-80e1-4239-95bb-83d0f6d0da78}");
    QTest::newRow("Windows 8") << os + QStringLiteral("{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}");
    QTest::newRow("Windows 7") << os + QStringLiteral("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}");
    QTest::newRow("per monitor DPI awareness")
        << Settings2016 + QStringLiteral(" dpiAwareness =PerMonitor");
    QTest::newRow("per monitor DPI awareness before Windows 10")
        << Settings2005 + QStringLiteral(" dpiAware =true/pm");
    QTest::newRow("long paths") << Settings2016 + QStringLiteral(" longPathAware =true");
}

void tst_Manifest::setting()
{
    QFETCH(QString, setting);
    QVERIFY2(settings.contains(setting), qPrintable(settings.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(tst_Manifest)
#include "tst_manifest.moc"
