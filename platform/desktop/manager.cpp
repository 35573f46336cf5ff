// The window manager: whether one runs, what it answers, and the name a dead one left behind.
#include <X11/Xatom.h>

#include "platform/desktop/desktop.h"
#include "platform/desktop/xutil.h"

// The manager's window the root names: a running manager's is there (and names itself, as the
// desktop conventions ask, though not every manager's does); one left behind by a manager that died
// is gone. stale says which.
static Window namedManagerWindow(Display* display, bool* stale)
{
    long named = 0;
    readProperty(display, DefaultRootWindow(display), desktopAtoms(display).supportingWmCheck, XA_WINDOW, &named, 1);
    XWindowAttributes attributes{};
    const XErrorTrap trap = trapXErrors(display);
    const bool there = named && XGetWindowAttributes(display, Window(named), &attributes);
    *stale = named && (!untrapXErrors(trap) || !there);
    return Window(named);
}

bool managerRunning(Display* display)
{
    bool stale = false;
    return namedManagerWindow(display, &stale) && !stale;
}

bool managerSupports(Display* display, Atom request)
{
    if (!managerRunning(display))
        return false;
    // _NET_SUPPORTED lists a few hundred atoms at most.
    long supported[1024];
    const int count = readProperty(display, DefaultRootWindow(display), desktopAtoms(display).supported, XA_ATOM,
                                   supported, 1024);
    for (int i = 0; i < count; ++i)
        if (Atom(supported[i]) == request)
            return true;
    return false;
}

void forgetDeadWindowManager()
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return;
    // The window library reads a name whose window does not name itself with an error trap it never
    // takes down again, and its next trap aborts the process. A dead manager's name goes; a running
    // manager's stays, its check window given the name the conventions ask of it. Grabbed, so that a
    // manager starting now keeps its own name.
    XGrabServer(display);
    const Atom check = desktopAtoms(display).supportingWmCheck;
    bool stale = false;
    long itself = 0;
    const Window named = namedManagerWindow(display, &stale);
    if (stale) {
        XDeleteProperty(display, DefaultRootWindow(display), check);
    } else if (named && readProperty(display, named, check, XA_WINDOW, &itself, 1) == 0) {
        const XErrorTrap trap = trapXErrors(display);
        XChangeProperty(display, named, check, XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&named), 1);
        untrapXErrors(trap);
    }
    XUngrabServer(display);
    XCloseDisplay(display);
}
