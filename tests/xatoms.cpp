// The desktop layer's atoms on two connections in turn, the first closed before the second opens:
// on a server that resets when its last client leaves, the second connection's atoms are numbered
// anew. Prints, one a line, the name the server gives each atom the layer hands the second
// connection ("none" for a number that names nothing).
//   xatoms
#include <X11/Xlib.h>

#include <unistd.h>

#include <cstdio>
#include <initializer_list>

#include "platform/desktop/xutil.h"

// The layer's waits ask this; nothing here asks the run to end.
bool closeRequested()
{
    return false;
}

static int ignoreError(Display*, XErrorEvent*)
{
    return 0;
}

int main()
{
    XSetErrorHandler(ignoreError);
    Display* first = XOpenDisplay(nullptr);
    if (!first)
        return 2;
    desktopAtoms(first);
    XCloseDisplay(first);
    // The server refuses connections while it resets: try again for a few seconds.
    Display* second = nullptr;
    for (int tries = 0; !second && tries < 50; ++tries) {
        second = XOpenDisplay(nullptr);
        if (!second)
            usleep(100'000);
    }
    if (!second)
        return 2;
    // Another part's atoms first, as the window library interns its own before the layer asks.
    for (const char* other : {"CLIPBOARD", "TARGETS", "_MOTIF_WM_HINTS", "XdndAware", "_NET_WM_PID"})
        XInternAtom(second, other, False);
    const DesktopAtoms atoms = desktopAtoms(second);
    for (Atom atom : {atoms.supportingWmCheck, atoms.frameExtents, atoms.wmStateFullscreen}) {
        char* name = XGetAtomName(second, atom);
        std::printf("%s\n", name ? name : "none");
        if (name)
            XFree(name);
    }
    XCloseDisplay(second);
    return 0;
}
