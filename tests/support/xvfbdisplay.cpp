#include "xvfbdisplay.h"

#include "installation.h"

#include <QDeadlineTimer>
#include <QProcessEnvironment>
#include <QTest>

// Last: Xlib's macros clash with Qt's names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

XvfbDisplay::~XvfbDisplay()
{
    Installation::stopProcess(server);
}

bool XvfbDisplay::start(int dpi)
{
    // The server picks a free display itself and names it on the given
    // descriptor only once it accepts clients. Its socket file appears
    // earlier: a client that took that as the sign was turned away now and
    // then on a busy machine ("could not connect to display").
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments { QStringLiteral("-displayfd"), QStringLiteral("1"),
                            QStringLiteral("-nolisten"),  QStringLiteral("tcp"),
                            QStringLiteral("-noreset"),   QStringLiteral("-screen"),
                            QStringLiteral("0"),          QStringLiteral("640x480x24") };
    if (dpi > 0)
        arguments << QStringLiteral("-dpi") << QString::number(dpi);
    server.start(QStringLiteral("Xvfb"), arguments);
    if (!server.waitForStarted(10000))
        return false;
    QDeadlineTimer deadline(30000);
    while (!server.canReadLine() && server.state() == QProcess::Running && !deadline.hasExpired())
        server.waitForReadyRead(int(deadline.remainingTime()));
    bool ok = false;
    const int number = server.readLine().trimmed().toInt(&ok);
    if (!ok)
        return false;
    displayName = QStringLiteral(":%1").arg(number);
    return dpi <= 0 || setDpi(dpi);
}

// Clients read the resources once, when they connect.
bool XvfbDisplay::setDpi(int dpi) const
{
    Display *display = XOpenDisplay(displayName.toLocal8Bit().constData());
    if (!display)
        return false;
    const QByteArray resources = "Xft.dpi:\t" + QByteArray::number(dpi) + '\n';
    XChangeProperty(display, DefaultRootWindow(display), XA_RESOURCE_MANAGER, XA_STRING, 8,
                    PropModeReplace, reinterpret_cast<const unsigned char *>(resources.constData()),
                    resources.size());
    XSync(display, False);
    XCloseDisplay(display);
    return true;
}

bool XvfbDisplay::xdotool(const QStringList &args, QByteArray *output, int timeoutMs) const
{
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), displayName);
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

QString XvfbDisplay::findWindow(const QString &title, int timeoutMs, qint64 pid) const
{
    QStringList search { QStringLiteral("search"), QStringLiteral("--all"),
                         QStringLiteral("--onlyvisible"), QStringLiteral("--name") };
    if (pid != 0)
        search << QStringLiteral("--pid") << QString::number(pid);
    // The pattern comes last.
    search << QLatin1Char('^') + title + QLatin1Char('$');
    QString found;
    const bool shown = QTest::qWaitFor(
        [&] {
            QByteArray ids;
            if (xdotool(search, &ids))
                found = QString::fromLatin1(ids.split('\n').value(0).trimmed());
            return !found.isEmpty();
        },
        timeoutMs);
    return shown ? found : QString();
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
    Display *display = XOpenDisplay(displayName.toLocal8Bit().constData());
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
