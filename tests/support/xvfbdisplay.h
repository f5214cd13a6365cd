#ifndef XVFBDISPLAY_H
#define XVFBDISPLAY_H

#include <QProcess>
#include <QString>

// A private X server for tests that drive the real updater window the way a
// person does: find it by its title and click into it.
class XvfbDisplay
{
public:
    XvfbDisplay() = default;
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay &) = delete;
    XvfbDisplay &operator=(const XvfbDisplay &) = delete;

    // With dpi given, the display says so to its clients the way a desktop
    // does (the X resource Xft.dpi), and Qt scales by dpi / 96.
    bool start(int dpi = 0);
    QString display() const { return displayName; }

    // The id of a visible window whose title is title, of the process pid
    // when it is not 0, or an empty string once timeoutMs have passed.
    QString findWindow(const QString &title, int timeoutMs = 30000, qint64 pid = 0) const;
    bool click(const QString &windowId, int x, int y) const;
    // Asks the window's program to close it, as a window manager does when
    // the user presses the close button of the title bar.
    bool closeWindow(const QString &windowId) const;

private:
    bool setDpi(int dpi) const;
    bool xdotool(const QStringList &args, QByteArray *output = nullptr,
                 int timeoutMs = 10000) const;

    QProcess server;
    QString displayName;
};

#endif // XVFBDISPLAY_H
