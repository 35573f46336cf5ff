// The window's frame: measured where the manager publishes it or from the ancestors where it does
// not, and the window placed by its frame's corner.
#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <X11/Xatom.h>

#include "platform/desktop/desktop.h"
#include "platform/desktop/session.h"
#include "platform/desktop/xutil.h"

// The frame's left and top extents as the running manager publishes them; false while it has not.
static bool readPublishedExtents(Display* display, Window window, int* left, int* top)
{
    long extents[4] = {};
    if (readProperty(display, window, desktopAtoms(display).frameExtents, XA_CARDINAL, extents, 4) != 4)
        return false;
    *left = int(extents[0]);
    *top = int(extents[2]);
    return true;
}

static bool publishesExtents(Display* display, Window window)
{
    int left = 0, top = 0;
    return readPublishedExtents(display, window, &left, &top);
}

// How far the drawable area lies right of and below the frame's outer corner, as the ancestors
// show it: for managers that publish no extents. False while that cannot be measured, or where a
// window on the way went away under the requests.
static bool measureFrameFromAncestors(Display* display, Window window, int* left, int* top)
{
    const Window frame = topLevelOf(display, window);
    if (!frame)
        return false;
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes{};
    int windowX = 0, windowY = 0, frameX = 0, frameY = 0;
    Window child = 0;
    const XErrorTrap trap = trapXErrors(display);
    const bool got = XGetWindowAttributes(display, frame, &attributes) &&
                     XTranslateCoordinates(display, window, root, 0, 0, &windowX, &windowY, &child) &&
                     XTranslateCoordinates(display, frame, root, 0, 0, &frameX, &frameY, &child);
    if (!untrapXErrors(trap) || !got)
        return false;
    // The frame's own border is part of what a person sees as the frame.
    *left = windowX - (frameX - attributes.border_width);
    *top = windowY - (frameY - attributes.border_width);
    return true;
}

// The window library waits without a bound for extents it asks of the manager, and some managers
// advertise the request but never answer it. Asked here of a hidden window, only of a manager that
// says it answers, and waited for at most 100 ms. Without published extents, a shown window's frame
// is measured from its ancestors; a hidden one's cannot be, and false says so. Nothing is asked of a
// window known to be gone, and every request goes under a trap, since it may go under any of them.
static bool measureFrame(GLFWwindow* window, int* left, int* top)
{
    *left = 0;
    *top = 0;
    if (windowGone())
        return false;
    Display* display = glfwGetX11Display();
    const Window handle = glfwGetX11Window(window);
    if (!display || !handle)
        return false;
    XWindowAttributes attributes{};
    const XErrorTrap trap = trapXErrors(display);
    const bool there = XGetWindowAttributes(display, handle, &attributes);
    if (!untrapXErrors(trap) || !there)
        return false;
    // A manager that died leaves its extents on the window, and its frame gone.
    const bool managed = managerRunning(display);
    if (managed && readPublishedExtents(display, handle, left, top))
        return true;
    if (attributes.map_state == IsViewable)
        return measureFrameFromAncestors(display, handle, left, top);
    const Atom asking = desktopAtoms(display).requestFrameExtents;
    if (!managed || !managerSupports(display, asking))
        return false;
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = handle;
    request.xclient.message_type = asking;
    request.xclient.format = 32;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureNotifyMask | SubstructureRedirectMask,
               &request);
    return waitForWindow(display, handle, publishesExtents, 100) && readPublishedExtents(display, handle, left, top);
}

// The drawable area's corner on the root, under a trap: the window library's own answer is left
// unfilled where the window went under the request.
static bool readAreaPos(Display* display, Window handle, int* x, int* y)
{
    Window child = 0;
    const XErrorTrap trap = trapXErrors(display);
    const bool got = XTranslateCoordinates(display, handle, DefaultRootWindow(display), 0, 0, x, y, &child);
    return untrapXErrors(trap) && got;
}

// The frame's extents as last measured, and the drawable area's corner as last measured or moved
// since by the window's own events: what a window that can no longer be asked leaves for the end of
// the run.
struct LastPlace {
    bool known;
    int left, top, areaX, areaY;
};
static LastPlace lastPlace{};

// Called from the window library's event polling in the frame: two stores, no round trip. Events
// read before the window went but taken after it cannot be placed on the root any more.
static void onAreaMoved(GLFWwindow*, int x, int y)
{
    if (windowGone())
        return;
    lastPlace.areaX = x;
    lastPlace.areaY = y;
}

// The last place asked for, which showWindowAndFinishPlacement finishes once the manager has framed
// the window: a manager applies a move of a hidden window when it likes, so the window's own
// position cannot tell.
struct Placement {
    GLFWwindow* window;
    bool byFrame;     // the frame's corner was asked for, else the drawable area's
    int x, y;
};
static Placement placement{};

void setWindowFramePos(GLFWwindow* window, int x, int y)
{
    // The window library places the drawable area; the frame's extents lie left of and above it.
    int left = 0, top = 0;
    measureFrame(window, &left, &top);
    placement = {window, true, x, y};
    glfwSetWindowPos(window, x + left, y + top);
}

void setWindowAreaPos(GLFWwindow* window, int x, int y)
{
    placement = {window, false, x, y};
    glfwSetWindowPos(window, x, y);
}

// The manager frames the window before it maps it: viewable means framed, if it ever will be. Some
// put the frame, not the drawable area, where the window asked to be.
static void finishPlacement(GLFWwindow* window, const Placement& asked)
{
    Display* display = glfwGetX11Display();
    const Window handle = glfwGetX11Window(window);
    int left = 0, top = 0, x = 0, y = 0;
    if (!display || !handle || !waitForWindow(display, handle, isViewable) || !measureFrame(window, &left, &top) ||
        !readAreaPos(display, handle, &x, &y))
        return;
    const int wantX = asked.byFrame ? asked.x + left : asked.x;
    const int wantY = asked.byFrame ? asked.y + top : asked.y;
    lastPlace = {true, left, top, wantX, wantY};
    if (x != wantX || y != wantY)
        glfwSetWindowPos(window, wantX, wantY);
}

void showWindowAndFinishPlacement(GLFWwindow* window)
{
    const Placement asked = placement;
    glfwSetWindowPosCallback(window, onAreaMoved);
    glfwShowWindow(window);
    // Also where the frame was measured: KWin, just started, may place the first window by its own
    // policy, whatever it asked.
    if (asked.window == window)
        finishPlacement(window, asked);
}

bool getWindowFramePos(GLFWwindow* window, int* x, int* y)
{
    int left = 0, top = 0, areaX = 0, areaY = 0;
    if (measureFrame(window, &left, &top) &&
        readAreaPos(glfwGetX11Display(), glfwGetX11Window(window), &areaX, &areaY))
        lastPlace = {true, left, top, areaX, areaY};
    else if (!lastPlace.known)
        return false;
    *x = lastPlace.areaX - lastPlace.left;
    *y = lastPlace.areaY - lastPlace.top;
    return true;
}
