#include "mainwindow.h"

#include "commandrunner.h"
#include "debuglog.h"
#include "ftpclient.h"
#include "platform.h"
#include "updateinstaller.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace {

// One frame of a 60 Hz screen.
constexpr int ProgressFrameMs = 16;

} // namespace

MainWindow::MainWindow()
    : MainWindow(UpdateSettings::builtIn(QCoreApplication::applicationDirPath()))
{
}

MainWindow::MainWindow(const UpdateSettings &settings)
    : QMainWindow(nullptr, Qt::WindowFlags())
    , appDirPath(settings.appDir)
    , settings(settings)
{
    setFixedSize(300, 50);
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setWindowTitle(QStringLiteral("Velmora升级程序1.1"));

    label = new QLabel(this, Qt::WindowFlags());
    label->setText(QString());
    label->setGeometry(QRect(20, 10, 200, 30));

    auto *button = new QPushButton(this);
    button->setText(QStringLiteral("开始更新"));
    button->setGeometry(QRect(200, 10, 80, 30));

    progressPacer = new QTimer(this);
    progressPacer->setSingleShot(true);
    progressPacer->setInterval(ProgressFrameMs);
    connect(progressPacer, &QTimer::timeout, this, &MainWindow::showPendingProgress);

    installer = new UpdateInstaller(settings, this);
    connect(installer, &UpdateInstaller::finished, this, &MainWindow::installFinished);

    ftpClient = new FtpCLient();
    ftpClient->setLimits(settings.transferLimits);
    connect(ftpClient, SIGNAL(process(int, int)), this, SLOT(DownloadProgress(int, int)));
    connect(button, SIGNAL(clicked()), this, SLOT(Down()));
}

MainWindow::~MainWindow()
{
    delete ftpClient;
}

void MainWindow::Down()
{
    if (downloading || installing)
        return;
    KillProgram(settings.productName);
    ftpClient->setHostPort(settings.host, settings.port);
    ftpClient->setUserInfo(settings.userName, settings.password);
    downloading = true;
    ftpClient->get(settings.archiveName, settings.archivePath());
}

void MainWindow::DownloadProgress(int x, int id)
{
    if (fetchingSignature) {
        signatureProgress(x, id);
        return;
    }
    const QString text = QStringLiteral("下载进度") + QString::number(x) + QLatin1Char('%');
    if (id == 0 && x >= 0 && x < 100) {
        showProgress(text);
        return;
    }
    // The end of a transfer is shown at once, and no percentage after it.
    progressPacer->stop();
    label->setText(text);
    if (x == -100 && downloading) {
        downloading = false;
        writeLog(QLatin1String("the download of ") + settings.archiveName
                     + QLatin1String(" failed: ") + ftpClient->errorString(),
                 0);
    }
    if (x != 100 || id != 0 || !downloading)
        return;
    downloading = false;
    label->setText(QStringLiteral("解包中.."));
    installing = true;
    if (settings.publicKey.isEmpty()) {
        Unpack();
        return;
    }
    // The signature comes from the same server, after the archive; its
    // progress is not shown.
    fetchingSignature = true;
    ftpClient->get(settings.signatureName(), settings.signaturePath());
}

void MainWindow::signatureProgress(int x, int id)
{
    if (x == 100 && id == 0) {
        fetchingSignature = false;
        Unpack();
    } else if (x == -100) {
        fetchingSignature = false;
        writeLog(QLatin1String("the update was not installed: the signature ")
                     + settings.signatureName() + QLatin1String(" could not be downloaded: ")
                     + ftpClient->errorString(),
                 0);
        installFinished();
    }
}

// A fast server reports a new percentage hundreds of times a second; the
// label changes at most once a frame and always ends on the latest one.
void MainWindow::showProgress(const QString &text)
{
    pendingProgress = text;
    if (!progressPacer->isActive())
        showPendingProgress();
}

void MainWindow::showPendingProgress()
{
    if (label->text() == pendingProgress)
        return;
    label->setText(pendingProgress);
    progressPacer->start();
}

void MainWindow::KillProgram(const QString &exeName)
{
    runCommand(stopCommand(exeName), settings.appDir, settings.commandTimeoutMs);
}

void MainWindow::Unpack()
{
    // The installer runs while the event loop goes on; the product starts
    // again once it is done, on the new files or on the old ones.
    installing = true;
    installer->start();
}

void MainWindow::installFinished()
{
    label->setText(QStringLiteral("启动程序..."));
    StartProgram();
}

void MainWindow::StartProgram()
{
    runCommand(startCommand(settings.appDir, settings.productName), settings.appDir,
               settings.commandTimeoutMs);
    installing = false;
    close();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Closing now would leave the product stopped, or the installation in
    // the middle of its update: the window closes once the product runs.
    if (installing) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}
