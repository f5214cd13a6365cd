// Starts an X client and times it from the X server's side, where a window
// being shown is an event and not a guess:
//
//     xlaunch map SECONDS -- PROGRAM [ARGUMENT...]
//         prints the milliseconds from the start of PROGRAM until the server
//         maps its first top-level window, then 1 if PROGRAM has a GL driver
//         loaded at that moment (Mesa's dri or LLVM) and 0 if not, then ends
//         PROGRAM
//     xlaunch press SECONDS X Y -- PROGRAM [ARGUMENT...]
//         starts PROGRAM, waits for its window to be mapped and painted at
//         (X, Y), presses the left button there with xdotool and prints, as
//         microseconds of the system's real-time clock, the button's release
//         (what makes a push button fire), the moment the window is gone and
//         the moment PROGRAM has exited; then its exit code and its peak
//         resident memory in KiB
//
// Every wait is bounded by SECONDS; what PROGRAM prints goes to standard error,
// so that standard output holds the figures alone.

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

long long nowRealtimeUs()
{
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

double nowMs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1.0e6;
}

int remainingMs(double deadline)
{
    const double left = deadline - nowMs();
    return left > 0 ? int(left) + 1 : 0;
}

[[noreturn]] void fail(int code, const char *message)
{
    std::fprintf(stderr, "xlaunch: %s\n", message);
    std::exit(code);
}

struct Child
{
    pid_t pid = -1;
    // Readable once the process has ended: lets one poll() watch it together
    // with the X connection, without signal handlers.
    int pidfd = -1;
};

Child spawn(const std::vector<std::string> &command)
{
    std::vector<char *> argv;
    for (const std::string &argument : command)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    Child child;
    child.pid = fork();
    if (child.pid < 0)
        fail(2, "fork failed");
    if (child.pid == 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "xlaunch: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    child.pidfd = int(syscall(SYS_pidfd_open, child.pid, 0));
    if (child.pidfd < 0)
        fail(2, "pidfd_open failed");
    return child;
}

bool waitForExit(const Child &child, double deadline)
{
    pollfd watched { child.pidfd, POLLIN, 0 };
    for (;;) {
        const int ready = poll(&watched, 1, remainingMs(deadline));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

int reap(const Child &child, long *peakKiB = nullptr)
{
    int status = 0;
    rusage usage {};
    wait4(child.pid, &status, 0, &usage);
    close(child.pidfd);
    if (peakKiB)
        *peakKiB = usage.ru_maxrss;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

void stop(const Child &child, double deadline)
{
    kill(child.pid, SIGTERM);
    if (!waitForExit(child, deadline))
        kill(child.pid, SIGKILL);
    reap(child);
}

int run(const std::vector<std::string> &command, double deadline)
{
    const Child child = spawn(command);
    if (!waitForExit(child, deadline)) {
        kill(child.pid, SIGKILL);
        reap(child);
        fail(4, "a helper command timed out");
    }
    return reap(child);
}

// The first top-level window that the server maps after the start; 0 when
// PROGRAM ended or the deadline passed first.
Window waitForMap(Display *display, const Child &child, double deadline)
{
    pollfd watched[2] = { { ConnectionNumber(display), POLLIN, 0 }, { child.pidfd, POLLIN, 0 } };
    for (;;) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify)
                return event.xmap.window;
        }
        const int ready = poll(watched, 2, remainingMs(deadline));
        if (ready == 0 || (ready < 0 && errno != EINTR))
            return 0;
        if (watched[1].revents != 0)
            return 0;
    }
}

// Waits until the server reports the window unmapped or destroyed; false
// when the deadline passed first.
bool waitForGone(Display *display, Window window, double deadline)
{
    pollfd watched { ConnectionNumber(display), POLLIN, 0 };
    for (;;) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if ((event.type == UnmapNotify && event.xunmap.window == window)
                || (event.type == DestroyNotify && event.xdestroywindow.window == window))
                return true;
        }
        const int ready = poll(&watched, 1, remainingMs(deadline));
        if (ready == 0 || (ready < 0 && errno != EINTR))
            return false;
    }
}

// Whether the process has a GL driver mapped: Mesa's dri drivers, or the
// LLVM its software driver brings.
bool hasGlDriver(pid_t pid)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("/dri/") != std::string::npos || line.find("libLLVM") != std::string::npos)
            return true;
    }
    return false;
}

int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

// True once the area around (x, y) shows more than one colour, that is once
// the widget there has been drawn. A person presses a button they can see;
// a press before that would time the window's first paint with the update.
bool isPainted(Display *display, Window window, int x, int y)
{
    const int halfWidth = 30;
    const int halfHeight = 8;
    XImage *image = XGetImage(display, window, x - halfWidth, y - halfHeight, 2 * halfWidth,
                              2 * halfHeight, AllPlanes, ZPixmap);
    if (!image)
        return false;
    const unsigned long first = XGetPixel(image, 0, 0);
    bool varied = false;
    for (int row = 0; row < image->height && !varied; ++row) {
        for (int column = 0; column < image->width && !varied; ++column)
            varied = XGetPixel(image, column, row) != first;
    }
    XDestroyImage(image);
    return varied;
}

bool waitForPaint(Display *display, Window window, int x, int y, const Child &child,
                  double deadline)
{
    pollfd watched { child.pidfd, POLLIN, 0 };
    while (!isPainted(display, window, x, y)) {
        if (nowMs() >= deadline || poll(&watched, 1, 1) > 0)
            return false;
    }
    return true;
}

// Prints when the program's window was mapped and whether it had a GL driver.
int timeMap(Display *display, const Child &child, double started, double mapped, double bound)
{
    std::printf("%.3f %d\n", mapped - started, hasGlDriver(child.pid) ? 1 : 0);
    std::fflush(stdout);
    stop(child, nowMs() + bound);
    XCloseDisplay(display);
    return 0;
}

// Presses at (x, y) once the window shows there, then times the window's
// closing and the program's exit.
int timePress(Display *display, Window window, const Child &child, const char *x, const char *y,
              double bound)
{
    const double deadline = nowMs() + bound;
    // Reading the window back can fail while the window is still being set
    // up; a failed look just means "not painted yet".
    XSetErrorHandler(ignoreXError);
    if (!waitForPaint(display, window, std::atoi(x), std::atoi(y), child, deadline)) {
        stop(child, nowMs() + bound);
        fail(3, "the window was not painted in time");
    }
    // Pressed outside the timing: the button acts on its release.
    if (run({ "xdotool", "mousemove", "--window", std::to_string(window), x, y, "mousedown", "1" },
            deadline)
        != 0) {
        stop(child, nowMs() + bound);
        fail(3, "xdotool could not press the button");
    }
    if (run({ "xdotool", "mouseup", "1" }, deadline) != 0) {
        stop(child, nowMs() + bound);
        fail(3, "xdotool could not release the button");
    }
    const long long released = nowRealtimeUs();
    if (!waitForGone(display, window, deadline)) {
        stop(child, nowMs() + bound);
        fail(4, "the window was not closed in time");
    }
    const long long gone = nowRealtimeUs();
    if (!waitForExit(child, deadline)) {
        kill(child.pid, SIGKILL);
        reap(child);
        fail(4, "the program did not exit in time");
    }
    const long long ended = nowRealtimeUs();
    long peakKiB = 0;
    const int code = reap(child, &peakKiB);
    std::printf("%lld %lld %lld %d %ld\n", released, gone, ended, code, peakKiB);
    std::fflush(stdout);
    XCloseDisplay(display);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string mode = argc > 1 ? argv[1] : "";
    const int fixed = mode == "map" ? 3 : mode == "press" ? 5 : 0;
    if (fixed == 0 || argc <= fixed + 1 || std::strcmp(argv[fixed], "--") != 0)
        fail(2,
             "usage: xlaunch map SECONDS -- PROGRAM [ARGUMENT...]\n"
             "       xlaunch press SECONDS X Y -- PROGRAM [ARGUMENT...]");
    const double bound = std::atof(argv[2]) * 1000.0;
    const std::vector<std::string> program(argv + fixed + 1, argv + argc);

    Display *display = XOpenDisplay(nullptr);
    if (!display)
        fail(2, "cannot open the display");
    fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    // The selection has to be in force before the program can map anything.
    XSync(display, False);

    const double started = nowMs();
    const Child child = spawn(program);
    const Window window = waitForMap(display, child, started + bound);
    const double mapped = nowMs();
    if (window == 0) {
        stop(child, nowMs() + bound);
        fail(3, "the program showed no window in time");
    }
    if (mode == "map")
        return timeMap(display, child, started, mapped, bound);
    return timePress(display, window, child, argv[3], argv[4], bound);
}
