#include "xvfbdisplay.h"

#include "installation.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QThread>

// Last: Xlib's macros clash with Qt's names.
#include <X11/Xlib.h>

XvfbDisplay::~XvfbDisplay()
{
    Installation::stopProcess(m_server);
}

bool XvfbDisplay::start()
{
    for (int number = 90 + int(QCoreApplication::applicationPid() % 100); number < 400; ++number) {
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
        if (QFileInfo::exists(socket)
            || QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
            continue;
        m_server.setProcessChannelMode(QProcess::ForwardedChannels);
        m_server.start(QStringLiteral("Xvfb"),
                       { QStringLiteral(":%1").arg(number), QStringLiteral("-nolisten"),
                         QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                         QStringLiteral("640x480x24") });
        if (!m_server.waitForStarted(10000))
            return false;
        QDeadlineTimer deadline(15000);
        while (!QFileInfo::exists(socket) && m_server.state() == QProcess::Running
               && !deadline.hasExpired())
            QThread::msleep(20);
        if (m_server.state() != QProcess::Running)
            continue; // another server took that number meanwhile
        m_display = QStringLiteral(":%1").arg(number);
        return QFileInfo::exists(socket);
    }
    return false;
}

bool XvfbDisplay::xdotool(const QStringList &args, QByteArray *output, int timeoutMs) const
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display);
    tool.setProcessEnvironment(env);
    tool.start(QStringLiteral("xdotool"), args);
    if (!tool.waitForFinished(timeoutMs)) {
        tool.kill();
        tool.waitForFinished();
        return false;
    }
    if (output)
        *output = tool.readAllStandardOutput();
    return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

QString XvfbDisplay::findWindow(const QString &title, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    do {
        QByteArray ids;
        if (xdotool({ QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                      QStringLiteral("--name"), QLatin1Char('^') + title + QLatin1Char('$') },
                    &ids)) {
            const QByteArray first = ids.split('\n').value(0).trimmed();
            if (!first.isEmpty())
                return QString::fromLatin1(first);
        }
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return QString();
}

bool XvfbDisplay::click(const QString &windowId, int x, int y) const
{
    // "mousemove --sync" waits for the pointer to move, forever when it is
    // already there (a second click on the same spot): leave the spot first.
    if (!xdotool({ QStringLiteral("mousemove"), QStringLiteral("0"), QStringLiteral("0") }))
        return false;
    return xdotool({ QStringLiteral("mousemove"), QStringLiteral("--sync"),
                     QStringLiteral("--window"), windowId, QString::number(x), QString::number(y),
                     QStringLiteral("click"), QStringLiteral("1") });
}

bool XvfbDisplay::closeWindow(const QString &windowId) const
{
    Display *display = XOpenDisplay(m_display.toLocal8Bit().constData());
    if (!display)
        return false;
    const Window window = windowId.toULong();
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    return sent != 0;
}
