// Fullscreen on the primary monitor, also under managers that cannot make a window fullscreen.
#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <X11/Xatom.h>

#include "platform/desktop/desktop.h"
#include "platform/desktop/monitor.h"
#include "platform/desktop/xutil.h"

static bool isFullscreen(Display* display, Window window)
{
    const DesktopAtoms& atoms = desktopAtoms(display);
    long states[64];
    const int count = readProperty(display, window, atoms.wmState, XA_ATOM, states, 64);
    for (int i = 0; i < count; ++i)
        if (Atom(states[i]) == atoms.wmStateFullscreen)
            return true;
    return false;
}

static bool isNotFullscreen(Display* display, Window window)
{
    return !isFullscreen(display, window);
}

static bool coversPrimary(Display* display, Window window)
{
    if (!isFullscreen(display, window))
        return false;
    int x = 0, y = 0, width = 0, height = 0, windowX = 0, windowY = 0;
    primaryMonitorArea(display, &x, &y, &width, &height);
    XWindowAttributes attributes{};
    Window child = 0;
    const XErrorTrap trap = trapXErrors(display);
    const bool got =
        XGetWindowAttributes(display, window, &attributes) &&
        XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &windowX, &windowY, &child);
    return untrapXErrors(trap) && got && windowX == x && windowY == y && attributes.width == width &&
           attributes.height == height;
}

static bool isWithdrawn(Display* display, Window window)
{
    XWindowAttributes attributes{};
    const XErrorTrap trap = trapXErrors(display);
    const bool got = XGetWindowAttributes(display, window, &attributes);
    return untrapXErrors(trap) && got && attributes.map_state == IsUnmapped && topLevelOf(display, window) == window;
}

static void requestFullscreen(Display* display, Window window, bool on)
{
    const DesktopAtoms& atoms = desktopAtoms(display);
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = window;
    request.xclient.message_type = atoms.wmState;
    request.xclient.format = 32;
    request.xclient.data.l[0] = on ? 1 : 0;  // add or remove
    request.xclient.data.l[1] = long(atoms.wmStateFullscreen);
    request.xclient.data.l[3] = 1;  // from an application
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureNotifyMask | SubstructureRedirectMask,
               &request);
}

// A manager that cannot make a window fullscreen has framed it where it liked. The window library
// has made it override-redirect meanwhile, which counts only from its next mapping: withdraw it,
// let the manager unframe it, and map it again over the monitor, with the focus.
static void coverWithoutManager(Display* display, Window handle)
{
    XUnmapWindow(display, handle);
    XEvent withdrawn{};
    withdrawn.xunmap.type = UnmapNotify;
    withdrawn.xunmap.event = DefaultRootWindow(display);
    withdrawn.xunmap.window = handle;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &withdrawn);
    waitForWindow(display, handle, isWithdrawn);
    // Asked to end meanwhile: the window is not mapped again.
    if (closeRequested())
        return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    XChangeWindowAttributes(display, handle, CWOverrideRedirect, &attributes);
    int x = 0, y = 0, width = 0, height = 0;
    primaryMonitorArea(display, &x, &y, &width, &height);
    XMoveResizeWindow(display, handle, x, y, unsigned(width), unsigned(height));
    XMapRaised(display, handle);
    if (waitForWindow(display, handle, isViewable)) {
        // The window may have lost its viewable state again by the time the focus is asked for.
        const XErrorTrap trap = trapXErrors(display);
        XSetInputFocus(display, handle, RevertToPointerRoot, CurrentTime);
        untrapXErrors(trap);
    }
    XFlush(display);
}

// Withdrawn and mapped again with the state already on it, which a manager reads as it takes a
// window on: no request that may come too early.
static void remapFullscreen(Display* display, Window handle)
{
    XWithdrawWindow(display, handle, DefaultScreen(display));
    waitForWindow(display, handle, isWithdrawn, 1000);
    if (closeRequested())
        return;
    const Atom state = desktopAtoms(display).wmStateFullscreen;
    XChangeProperty(display, handle, desktopAtoms(display).wmState, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&state), 1);
    XMapRaised(display, handle);
    XFlush(display);
}

void coverPrimaryMonitor(GLFWwindow* window)
{
    Display* display = glfwGetX11Display();
    const Window handle = glfwGetX11Window(window);
    if (!display || !handle || !glfwGetWindowMonitor(window) || closeRequested())
        return;
    // Some managers take the focus away for a moment while they make a window fullscreen; the
    // window library would answer that by minimising it.
    glfwSetWindowAttrib(window, GLFW_AUTO_ICONIFY, GLFW_FALSE);
    if (!managerSupports(display, desktopAtoms(display).wmStateFullscreen)) {
        coverWithoutManager(display, handle);
        return;
    }
    // The window library asks right after mapping the window, and a manager still taking the window
    // on may drop that, or say it is done while its frame still shows. Asked again, twice at most,
    // until the window covers the monitor. On a busy machine fluxbox may mark the window fullscreen
    // and keep it framed below its title bar for good, whatever it is asked: the window is then
    // taken on again, fullscreen from the start.
    for (int asked = 0; !waitForWindow(display, handle, coversPrimary, 400) && !closeRequested() && asked < 2;
         ++asked) {
        if (isFullscreen(display, handle)) {
            requestFullscreen(display, handle, false);
            waitForWindow(display, handle, isNotFullscreen);
        }
        requestFullscreen(display, handle, true);
    }
    if (!closeRequested() && !waitForWindow(display, handle, coversPrimary, 400)) {
        remapFullscreen(display, handle);
        waitForWindow(display, handle, coversPrimary, 2000);
    }
}
