#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>

QT_BEGIN_NAMESPACE
class QLabel;
class QTimer;
QT_END_NAMESPACE
class FtpCLient;

// The updater's one window: a status label and the button that runs the
// update (stop the product, download, unpack, start the product, close).
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    MainWindow();
    ~MainWindow() override;

    void KillProgram(const QString &exeName);
    void Unpack();
    void StartProgram();

public slots:
    void Down();
    void DownloadProgress(int x, int id);

private:
    void showProgress(const QString &text);
    void showPendingProgress();

    QLabel *label;
    FtpCLient *ftpClient;
    QString appDirPath;
    // Set while a download runs: a second press then does nothing, so two
    // transfers can never write into one archive.
    bool downloading = false;
    // A running transfer's percentage waits here while the label has just
    // been repainted; see showProgress().
    QString pendingProgress;
    QTimer *progressPacer;
};

#endif // MAINWINDOW_H
