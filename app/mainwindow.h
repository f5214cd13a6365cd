#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "productupdate.h"
#include "protectedinstallation.h"

#include <QMainWindow>

QT_BEGIN_NAMESPACE
class QLabel;
class QTimer;
QT_END_NAMESPACE

// The updater's one window: a status label and the button that runs the
// update. What the update does is ProductUpdate's; the window shows its
// states as the label's texts.
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

    // An updater with an administrator's rights has taken over before this
    // window was shown: it is not to be shown.
    bool handedOver() const
    {
        return protection.access() == ProtectedInstallation::Access::HandedOver;
    }

public slots:
    void Down();
    void DownloadProgress(int x, int id);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void admit(ProtectedInstallation::Access access);
    void showState(ProductUpdate::State state);
    static QString progressText(int x);
    void showProgress(const QString &text);
    void showPendingProgress();
    void showAtOnce(const QString &text);

    QLabel *label;
    QString appDirPath;
    ProductUpdate *update;
    ProtectedInstallation protection;
    // A running transfer's percentage waits here while the label has just
    // been repainted; see showProgress().
    QString pendingProgress;
    QTimer *progressPacer;
};

#endif // MAINWINDOW_H
