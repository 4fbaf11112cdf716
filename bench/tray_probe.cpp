// Watches the X server from outside an app for the moment its tray icon is docked:
// a window of the app's, created after its start, now inside the tray host and
// viewable. Neither app knows it is watched.
//
//   kestrune_tray_probe wait-tray SECONDS         until a tray host owns the selection
//   kestrune_tray_probe start SECONDS PROGRAM...  prints milliseconds from spawn to dock,
//                                                 then ends the program

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int ignoreErrors(Display*, XErrorEvent*)
{
    return 0; // windows may vanish between an event and our look at them
}

Window trayOwner(Display* display)
{
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display));
    return XGetSelectionOwner(display, XInternAtom(display, name.c_str(), False));
}

long windowPid(Display* display, Window window)
{
    static const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr) {
        if (format == 32 && count == 1) {
            pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
        }
        XFree(data);
    }
    return pid;
}

// Docked: reparented away from the root window, and viewable there.
bool docked(Display* display, Window window)
{
    Window root = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
        return false;
    }
    if (children != nullptr) {
        XFree(children);
    }
    XWindowAttributes attributes{};
    return parent != root && XGetWindowAttributes(display, window, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

int waitTray(Display* display, double seconds)
{
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        if (trayOwner(display) != None) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "no tray host appeared\n");
    return 1;
}

void endChild(pid_t pid)
{
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 300; ++i) { // up to 3 s
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

int start(Display* display, double seconds, char** program)
{
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);

    const auto begin = Clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, program[0], nullptr, nullptr, program, environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", program[0]);
        return 1;
    }
    const auto end = begin + std::chrono::duration<double>(seconds);
    std::set<Window> candidates;
    pollfd watched{ConnectionNumber(display), POLLIN, 0};
    while (Clock::now() < end) {
        while (XPending(display) > 0) {
            XEvent event{};
            XNextEvent(display, &event);
            if (event.type == CreateNotify && event.xcreatewindow.parent == root) {
                candidates.insert(event.xcreatewindow.window);
                XSelectInput(display, event.xcreatewindow.window, StructureNotifyMask);
            } else if (event.type == DestroyNotify) {
                candidates.erase(event.xdestroywindow.window);
            }
        }
        for (const Window window : candidates) {
            const long owner = windowPid(display, window);
            if ((owner == -1 || owner == pid) && docked(display, window)) {
                const double milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
                std::printf("%.3f\n", milliseconds);
                std::fflush(stdout);
                endChild(pid);
                return 0;
            }
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            std::fprintf(stderr, "%s ended before its icon docked\n", program[0]);
            return 1;
        }
        ::poll(&watched, 1, 1); // an event, or a millisecond: then look again
    }
    std::fprintf(stderr, "%s: no docked tray icon within %.0f s\n", program[0], seconds);
    endChild(pid);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s wait-tray SECONDS | start SECONDS PROGRAM [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(&ignoreErrors);
    const double seconds = std::atof(argv[2]);
    int result = 2;
    if (std::strcmp(argv[1], "wait-tray") == 0) {
        result = waitTray(display, seconds);
    } else if (std::strcmp(argv[1], "start") == 0 && argc > 3) {
        result = start(display, seconds, argv + 3);
    }
    XCloseDisplay(display);
    return result;
}
