#include "mainwindow.h"

#include "archivecheck.h"
#include "commandrunner.h"
#include "debuglog.h"
#include "ftpclient.h"
#include "platform.h"
#include "updateconfig.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace {

const char ProductExecutable[] = "vlm.exe";
const char UpdateUser[] = "velmorapro";
const char UpdatePassword[] = "qz482";
const char ArchiveName[] = "vlm_update.zip";
// One frame of a 60 Hz screen.
constexpr int ProgressFrameMs = 16;

} // namespace

MainWindow::MainWindow()
    : QMainWindow(nullptr, Qt::WindowFlags())
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

    ftpClient = new FtpCLient();
    connect(ftpClient, SIGNAL(process(int, int)), this, SLOT(DownloadProgress(int, int)));
    connect(button, SIGNAL(clicked()), this, SLOT(Down()));

    appDirPath = QCoreApplication::applicationDirPath();
}

MainWindow::~MainWindow()
{
    delete ftpClient;
}

void MainWindow::Down()
{
    if (downloading)
        return;
    KillProgram(QLatin1String(ProductExecutable));
    ftpClient->setHostPort(QStringLiteral(UPDATE_HOST), UPDATE_PORT);
    ftpClient->setUserInfo(QLatin1String(UpdateUser), QLatin1String(UpdatePassword));
    downloading = true;
    ftpClient->get(QLatin1String(ArchiveName),
                   appDirPath + QLatin1Char('/') + QLatin1String(ArchiveName));
}

void MainWindow::DownloadProgress(int x, int id)
{
    const QString text = QStringLiteral("下载进度") + QString::number(x) + QLatin1Char('%');
    if (id == 0 && x >= 0 && x < 100) {
        showProgress(text);
        return;
    }
    // The end of a transfer is shown at once, and no percentage after it.
    progressPacer->stop();
    label->setText(text);
    if (x == -100)
        downloading = false;
    if (x != 100 || id != 0)
        return;
    downloading = false;
    label->setText(QStringLiteral("解包中.."));
    // The chain below blocks the event loop; paint the new text now so the
    // user sees what the updater is doing.
    label->repaint();
    Unpack();
}

// A fast server reports a new percentage hundreds of times a second, and
// each repaint waits on the display: painting them all costs the download
// more than the screen can show. The label changes at most once a frame and
// always ends on the latest percentage.
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
    runCommand(stopCommand(exeName));
}

void MainWindow::Unpack()
{
    // The unpacker writes what it can read of a damaged archive before it
    // gives up, so nothing is unpacked until all of the archive is known to
    // be sound. It reads the archive from the current directory; so does
    // the check. Either way it is waited for however long it takes: starting
    // the product while files are still being written would run a
    // half-updated product.
    ArchiveCheck check(QString::fromLatin1(ArchiveName));
    switch (check.run()) {
    case ArchiveCheck::Sound:
        runCommand(unpackCommand(), -1);
        break;
    case ArchiveCheck::Unchecked:
        runCommand(testAndUnpackCommand(), -1);
        break;
    case ArchiveCheck::Damaged:
        writeLog(QLatin1String(ArchiveName) + QLatin1Char(' ') + check.errorString()
                     + QLatin1String(": nothing was unpacked"),
                 0);
        break;
    }
    label->setText(QStringLiteral("启动程序..."));
    label->repaint();
    StartProgram();
}

void MainWindow::StartProgram()
{
    runCommand(startCommand(appDirPath + QLatin1Char('/') + QLatin1String(ProductExecutable)));
    close();
}
