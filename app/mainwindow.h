#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "updatesettings.h"

#include <QMainWindow>

QT_BEGIN_NAMESPACE
class QLabel;
class QTimer;
QT_END_NAMESPACE
class FtpCLient;
class UpdateInstaller;

// The updater's one window: a status label and the button that runs the
// update (stop the product, download, install, start the product, close).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The update compiled into this build, for the installation the
    // updater's executable lies in.
    MainWindow();
    explicit MainWindow(const UpdateSettings &settings);
    ~MainWindow() override;

    void KillProgram(const QString &exeName);
    void Unpack();
    void StartProgram();

public slots:
    void Down();
    void DownloadProgress(int x, int id);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void signatureProgress(int x, int id);
    void installFinished();
    void showProgress(const QString &text);
    void showPendingProgress();

    QLabel *label;
    FtpCLient *ftpClient;
    QString appDirPath;
    UpdateSettings settings;
    UpdateInstaller *installer;
    // Set while a download runs: a second press then does nothing, so two
    // transfers can never write into one archive.
    bool downloading = false;
    // From the end of the download until the product runs again: the window
    // neither starts another update nor closes meanwhile.
    bool installing = false;
    // Set while the archive's signature is downloaded after the archive.
    bool fetchingSignature = false;
    // A running transfer's percentage waits here while the label has just
    // been repainted; see showProgress().
    QString pendingProgress;
    QTimer *progressPacer;
};

#endif // MAINWINDOW_H
