// The window manager: whether one runs, what it answers, and the name a dead one left behind.
#include <X11/Xatom.h>

#include "platform/desktop/desktop.h"
#include "platform/desktop/xutil.h"

// The manager's window the root names: a running manager's names itself, one left behind by a
// manager that died is gone. stale says which.
static Window namedManagerWindow(Display* display, bool* stale)
{
    const Atom check = desktopAtoms(display).supportingWmCheck;
    long named = 0, itself = 0;
    readProperty(display, DefaultRootWindow(display), check, XA_WINDOW, &named, 1);
    *stale = named && (!readProperty(display, Window(named), check, XA_WINDOW, &itself, 1) || itself != named);
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
    // The window library reads a stale name with an error trap it never takes down again, and its
    // next trap aborts the process. Grabbed, so that a manager starting now keeps its own name.
    XGrabServer(display);
    bool stale = false;
    namedManagerWindow(display, &stale);
    if (stale)
        XDeleteProperty(display, DefaultRootWindow(display), desktopAtoms(display).supportingWmCheck);
    XUngrabServer(display);
    XCloseDisplay(display);
}
