#include "mainwindow.h"
#include "windowlayout.h"

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
    , protection(settings.appDir, QCoreApplication::arguments())
{
    setFixedSize(300, 50);
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setWindowTitle(WindowLayout::title());

    label = new QLabel(this, Qt::WindowFlags());
    label->setText(QString());
    label->setGeometry(QRect(20, 10, 200, 30));

    auto *button = new QPushButton(this);
    button->setText(WindowLayout::buttonText());
    button->setGeometry(WindowLayout::buttonGeometry());

    progressPacer = new QTimer(this);
    progressPacer->setSingleShot(true);
    progressPacer->setInterval(ProgressFrameMs);
    connect(progressPacer, &QTimer::timeout, this, &MainWindow::showPendingProgress);

    update = new ProductUpdate(settings, this);
    connect(update, &ProductUpdate::stateChanged, this, &MainWindow::showState);
    connect(update, &ProductUpdate::progress, this,
            [this](int percent) { showProgress(progressText(percent)); });
    connect(button, SIGNAL(clicked()), this, SLOT(Down()));
    // Before the window shows: a protected installation is handed to an
    // updater with an administrator's rights, an interrupted update is put
    // right first, and a second updater says at once that it will not touch
    // anything.
    admit(protection.atStart());
}

MainWindow::~MainWindow() = default;

void MainWindow::Down()
{
    if (protection.access() == ProtectedInstallation::Access::Refused) {
        admit(protection.askAgain());
        if (protection.access() != ProtectedInstallation::Access::Writable)
            return;
    }
    update->start();
}

// A transfer client's report, as FtpCLient::process() gives it: percentages
// of a running transfer are paced, its end is shown at once.
void MainWindow::DownloadProgress(int x, int id)
{
    Q_UNUSED(id);
    if (x >= 0 && x < 100)
        showProgress(progressText(x));
    else
        showAtOnce(progressText(x));
}

void MainWindow::KillProgram(const QString &exeName)
{
    update->stopProduct(exeName);
}

void MainWindow::Unpack()
{
    update->install();
}

void MainWindow::StartProgram()
{
    update->startProduct();
}

void MainWindow::admit(ProtectedInstallation::Access access)
{
    switch (access) {
    case ProtectedInstallation::Access::Writable:
        update->claimInstallation();
        return;
    case ProtectedInstallation::Access::HandedOver:
        close();
        return;
    case ProtectedInstallation::Access::Refused:
        showAtOnce(QStringLiteral("更新需要管理员权限"));
        return;
    }
}

void MainWindow::showState(ProductUpdate::State state)
{
    switch (state) {
    case ProductUpdate::State::Blocked:
        showAtOnce(QStringLiteral("更新已在进行中"));
        return;
    case ProductUpdate::State::FetchingSignature:
    case ProductUpdate::State::Installing:
        showAtOnce(QStringLiteral("解包中.."));
        return;
    case ProductUpdate::State::Starting:
        showAtOnce(QStringLiteral("启动程序..."));
        return;
    case ProductUpdate::State::Unrepaired:
        showAtOnce(QStringLiteral("更新失败，下次启动时修复"));
        return;
    case ProductUpdate::State::Finished:
        close();
        return;
    case ProductUpdate::State::DownloadFailed:
        showAtOnce(progressText(-100));
        return;
    case ProductUpdate::State::Idle:
    case ProductUpdate::State::Downloading:
        // The download's percentages say it.
        return;
    }
}

QString MainWindow::progressText(int x)
{
    return QStringLiteral("下载进度") + QString::number(x) + QLatin1Char('%');
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

void MainWindow::showAtOnce(const QString &text)
{
    progressPacer->stop();
    label->setText(text);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // While the installation changes the window waits; it closes once the
    // product runs again.
    if (!update->close()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}
