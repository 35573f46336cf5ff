#include "platform/desktop.h"
#include "platform/monitor.h"

#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <signal.h>
#include <time.h>

#include <initializer_list>

void primaryMonitorArea(Display* display, int* x, int* y, int* width, int* height)
{
    const Window root = DefaultRootWindow(display);
    *x = 0;
    *y = 0;
    *width = DisplayWidth(display, DefaultScreen(display));
    *height = DisplayHeight(display, DefaultScreen(display));
    // Monitors came with RandR 1.5; asking an older server would be a protocol error, which ends
    // the process.
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) || !XRRQueryVersion(display, &major, &minor) ||
        (major == 1 && minor < 5) || major < 1)
        return;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    if (monitors && count > 0) {
        const XRRMonitorInfo* chosen = &monitors[0];
        for (int i = 0; i < count; ++i)
            if (monitors[i].primary)
                chosen = &monitors[i];
        if (chosen->width > 0 && chosen->height > 0) {
            *x = chosen->x;
            *y = chosen->y;
            *width = chosen->width;
            *height = chosen->height;
        }
    }
    if (monitors)
        XRRFreeMonitors(monitors);
}

void measureDesktop(int32_t* right, int32_t* bottom)
{
    *right = 0;
    *bottom = 0;
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return;
    int x = 0, y = 0, width = 0, height = 0;
    primaryMonitorArea(display, &x, &y, &width, &height);
    *right = width;
    *bottom = height;
    XCloseDisplay(display);
}

bool getMonitorArea(GLFWmonitor* monitor, int* x, int* y, int* width, int* height)
{
    const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
    if (!mode)
        return false;
    glfwGetMonitorPos(monitor, x, y);
    *width = mode->width;
    *height = mode->height;
    // The window library counts outputs; several monitors may share one, and the primary is the
    // desktop's.
    Display* display = glfwGetX11Display();
    if (display && monitor == glfwGetPrimaryMonitor())
        primaryMonitorArea(display, x, y, width, height);
    return true;
}

// The frame's left and top extents as the window manager publishes them; false while it has not.
static bool readFrameExtents(Display* display, Window window, Atom extents, int* left, int* top)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const bool got = XGetWindowProperty(display, window, extents, 0, 4, False, XA_CARDINAL, &type, &format, &count,
                                        &after, &data) == Success &&
                     type == XA_CARDINAL && format == 32 && count == 4;
    if (got) {
        const long* values = reinterpret_cast<const long*>(data);
        *left = int(values[0]);
        *top = int(values[2]);
    }
    if (data)
        XFree(data);
    return got;
}

static int ignoreError(Display*, XErrorEvent*)
{
    return 0;
}

// The first value of a window's 32-bit property of a type; 0 where it has none, or where the window
// is gone.
static unsigned long readFirstValue(Display* display, Window window, Atom property, Atom type)
{
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XSync(display, False);
    XErrorHandler previous = XSetErrorHandler(ignoreError);
    unsigned long value = 0;
    if (XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType, &format, &count, &after,
                           &data) == Success &&
        actualType == type && format == 32 && count == 1)
        value = reinterpret_cast<const unsigned long*>(data)[0];
    if (data)
        XFree(data);
    XSync(display, False);
    XSetErrorHandler(previous);
    return value;
}

// The manager's window the root names: a running manager's names itself, one left behind by a
// manager that died is gone. stale says which.
static Window namedManagerWindow(Display* display, bool* stale)
{
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
    const Window named = Window(readFirstValue(display, DefaultRootWindow(display), check, XA_WINDOW));
    *stale = named && Window(readFirstValue(display, named, check, XA_WINDOW)) != named;
    return named;
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
        XDeleteProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False));
    XUngrabServer(display);
    XCloseDisplay(display);
}

// Whether the running window manager says it answers a request, by its _NET_SUPPORTED list.
// Whether a window's atom-list property holds an atom.
static bool listHolds(Display* display, Window window, Atom property, Atom wanted)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    bool found = false;
    if (XGetWindowProperty(display, window, property, 0, 4096, False, XA_ATOM, &type, &format, &count, &after,
                           &data) == Success &&
        type == XA_ATOM && format == 32) {
        const Atom* atoms = reinterpret_cast<const Atom*>(data);
        for (unsigned long i = 0; i < count && !found; ++i)
            found = atoms[i] == wanted;
    }
    if (data)
        XFree(data);
    return found;
}

static bool managerSupports(Display* display, Atom request)
{
    bool stale = false;
    if (!namedManagerWindow(display, &stale) || stale)
        return false;
    return listHolds(display, DefaultRootWindow(display), XInternAtom(display, "_NET_SUPPORTED", False), request);
}

// The child of the root that holds the window: the manager's frame, or the window itself where
// there is none. 0 when the server cannot say.
static Window topLevelOf(Display* display, Window window)
{
    for (;;) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count))
            return 0;
        if (children)
            XFree(children);
        if (parent == root || parent == 0)
            return window;
        window = parent;
    }
}

// How far the drawable area lies right of and below the frame's outer corner, as the ancestors
// show it: for managers that publish no extents. False while that cannot be measured.
static bool measureFrameFromAncestors(Display* display, Window window, int* left, int* top)
{
    const Window frame = topLevelOf(display, window);
    XWindowAttributes attributes{};
    if (!frame || !XGetWindowAttributes(display, frame, &attributes))
        return false;
    const Window root = DefaultRootWindow(display);
    int windowX = 0, windowY = 0, frameX = 0, frameY = 0;
    Window child = 0;
    if (!XTranslateCoordinates(display, window, root, 0, 0, &windowX, &windowY, &child) ||
        !XTranslateCoordinates(display, frame, root, 0, 0, &frameX, &frameY, &child))
        return false;
    // The frame's own border is part of what a person sees as the frame.
    *left = windowX - (frameX - attributes.border_width);
    *top = windowY - (frameY - attributes.border_width);
    return true;
}

// The window library waits without a bound for extents it asks of the manager, and some managers
// advertise the request but never answer it. Asked here of a hidden window, only of a manager that
// says it answers, and waited for at most 100 ms. Without published extents, a shown window's frame
// is measured from its ancestors; a hidden one's cannot be, and false says so.
static bool frameExtents(GLFWwindow* window, int* left, int* top)
{
    *left = 0;
    *top = 0;
    Display* display = glfwGetX11Display();
    const Window handle = glfwGetX11Window(window);
    if (!display || !handle)
        return false;
    const Atom extents = XInternAtom(display, "_NET_FRAME_EXTENTS", False);
    if (readFrameExtents(display, handle, extents, left, top))
        return true;
    if (glfwGetWindowAttrib(window, GLFW_VISIBLE))
        return measureFrameFromAncestors(display, handle, left, top);
    const Atom asking = XInternAtom(display, "_NET_REQUEST_FRAME_EXTENTS", False);
    if (!managerSupports(display, asking))
        return false;
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = handle;
    request.xclient.message_type = asking;
    request.xclient.format = 32;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureNotifyMask | SubstructureRedirectMask,
               &request);
    for (int wait = 0; wait < 50; ++wait) {
        XSync(display, False);
        if (readFrameExtents(display, handle, extents, left, top))
            return true;
        const timespec pause{0, 2'000'000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

// Waits, at most 0.2 s unless told, for the server to report the window in a state.
static bool waitForWindow(Display* display, Window window, bool (*reached)(Display*, Window),
                          int milliseconds = 200)
{
    for (int wait = 0; wait < milliseconds; ++wait) {
        XSync(display, False);
        if (reached(display, window))
            return true;
        const timespec pause{0, 1'000'000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

static bool isViewable(Display* display, Window window)
{
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

static bool isFullscreen(Display* display, Window window)
{
    return listHolds(display, window, XInternAtom(display, "_NET_WM_STATE", False),
                     XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False));
}

static bool isNotFullscreen(Display* display, Window window)
{
    return !isFullscreen(display, window);
}

static bool coversPrimary(Display* display, Window window)
{
    int x = 0, y = 0, width = 0, height = 0, windowX = 0, windowY = 0;
    primaryMonitorArea(display, &x, &y, &width, &height);
    XWindowAttributes attributes{};
    Window child = 0;
    return isFullscreen(display, window) && XGetWindowAttributes(display, window, &attributes) &&
           XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &windowX, &windowY, &child) &&
           windowX == x && windowY == y && attributes.width == width && attributes.height == height;
}

static void requestFullscreen(Display* display, Window window, bool on)
{
    XEvent request{};
    request.xclient.type = ClientMessage;
    request.xclient.window = window;
    request.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
    request.xclient.format = 32;
    request.xclient.data.l[0] = on ? 1 : 0;  // add or remove
    request.xclient.data.l[1] = long(XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False));
    request.xclient.data.l[3] = 1;  // from an application
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureNotifyMask | SubstructureRedirectMask,
               &request);
}

static bool isWithdrawn(Display* display, Window window)
{
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsUnmapped &&
           topLevelOf(display, window) == window;
}

// The last place asked for, the frame's corner or the drawable area's, and whether the frame could
// be measured then; showWindow finishes the placement once the manager has framed the window. The
// window's own position cannot tell: a manager applies a move of a hidden window when it likes.
static bool placementUnmeasured = false;
static bool placedByFrame = false;
static int placedX = 0, placedY = 0;

void setWindowFramePos(GLFWwindow* window, int x, int y)
{
    // The window library places the drawable area; the frame's extents lie left of and above it.
    int left = 0, top = 0;
    placementUnmeasured = !frameExtents(window, &left, &top);
    placedByFrame = true;
    placedX = x;
    placedY = y;
    glfwSetWindowPos(window, x + left, y + top);
}

void setWindowAreaPos(GLFWwindow* window, int x, int y)
{
    placedByFrame = false;
    placedX = x;
    placedY = y;
    glfwSetWindowPos(window, x, y);
}

void showWindow(GLFWwindow* window)
{
    const bool unmeasured = placementUnmeasured;
    placementUnmeasured = false;
    glfwShowWindow(window);
    Display* display = glfwGetX11Display();
    const Window handle = glfwGetX11Window(window);
    if (!unmeasured || !display || !handle)
        return;
    // The manager frames the window before it maps it; viewable means framed, if it ever will be.
    // Some put the frame, not the drawable area, where the window asked to be.
    int left = 0, top = 0;
    if (!waitForWindow(display, handle, isViewable) || !frameExtents(window, &left, &top))
        return;
    const int wantX = placedByFrame ? placedX + left : placedX;
    const int wantY = placedByFrame ? placedY + top : placedY;
    int x = 0, y = 0;
    glfwGetWindowPos(window, &x, &y);
    if (x != wantX || y != wantY)
        glfwSetWindowPos(window, wantX, wantY);
}

bool getWindowFramePos(GLFWwindow* window, int* x, int* y)
{
    int left = 0, top = 0;
    if (!frameExtents(window, &left, &top))
        return false;
    int areaX = 0, areaY = 0;
    glfwGetWindowPos(window, &areaX, &areaY);
    *x = areaX - left;
    *y = areaY - top;
    return true;
}

void coverPrimaryMonitor(GLFWwindow* window)
{
    Display* display = glfwGetX11Display();
    const Window handle = glfwGetX11Window(window);
    if (!display || !handle || !glfwGetWindowMonitor(window))
        return;
    if (managerSupports(display, XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False))) {
        // The window library asks right after mapping the window, and a manager still taking the
        // window on may drop that, or say it is done while its frame still shows. Asked again,
        // twice at most, until the window covers the monitor.
        for (int asked = 0; !waitForWindow(display, handle, coversPrimary, 400) && asked < 2; ++asked) {
            if (isFullscreen(display, handle)) {
                requestFullscreen(display, handle, false);
                waitForWindow(display, handle, isNotFullscreen);
            }
            requestFullscreen(display, handle, true);
        }
        return;
    }
    // A manager that cannot make a window fullscreen has framed it where it liked. The window
    // library has made it override-redirect meanwhile, which counts only from its next mapping:
    // withdraw it, let the manager unframe it, and map it again over the monitor, with the focus.
    XUnmapWindow(display, handle);
    XEvent withdrawn{};
    withdrawn.xunmap.type = UnmapNotify;
    withdrawn.xunmap.event = DefaultRootWindow(display);
    withdrawn.xunmap.window = handle;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &withdrawn);
    waitForWindow(display, handle, isWithdrawn);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    XChangeWindowAttributes(display, handle, CWOverrideRedirect, &attributes);
    int x = 0, y = 0, width = 0, height = 0;
    primaryMonitorArea(display, &x, &y, &width, &height);
    XMoveResizeWindow(display, handle, x, y, unsigned(width), unsigned(height));
    XMapRaised(display, handle);
    if (waitForWindow(display, handle, isViewable))
        XSetInputFocus(display, handle, RevertToPointerRoot, CurrentTime);
    XFlush(display);
}

static int cursorCounter = 0;

int showCursor(GLFWwindow* window, bool show)
{
    cursorCounter += show ? 1 : -1;
    glfwSetInputMode(window, GLFW_CURSOR, cursorCounter < 0 ? GLFW_CURSOR_HIDDEN : GLFW_CURSOR_NORMAL);
    return cursorCounter;
}

// Written by the window's event callbacks, read by the main loop on every turn.
static GLFWwindow* focusedWindow = nullptr;
static uint8_t keyDown[GLFW_KEY_LAST + 1];
static uint8_t keyPressed[GLFW_KEY_LAST + 1];

static void onFocus(GLFWwindow* window, int focused)
{
    if (focused)
        focusedWindow = window;
    else if (focusedWindow == window)
        focusedWindow = nullptr;
}

static void onKey(GLFWwindow*, int key, int, int action, int)
{
    if (key < 0 || key > GLFW_KEY_LAST)
        return;
    if (action == GLFW_PRESS) {
        keyDown[key] = 1;
        keyPressed[key] = 1;
    } else if (action == GLFW_RELEASE) {
        keyDown[key] = 0;
    }
}

static volatile sig_atomic_t endRequested = 0;

static void onEndSignal(int)
{
    endRequested = 1;
}

void attachWindowInput(GLFWwindow* window)
{
    // Some managers take the focus away for a moment while they make a window fullscreen; the
    // window library would answer that by minimising it.
    glfwSetWindowAttrib(window, GLFW_AUTO_ICONIFY, GLFW_FALSE);
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    glfwSetWindowFocusCallback(window, onFocus);
    glfwSetKeyCallback(window, onKey);
    if (glfwGetWindowAttrib(window, GLFW_FOCUSED))
        focusedWindow = window;
}

bool closeRequested()
{
    return endRequested != 0;
}

bool isForegroundWindow(GLFWwindow* window)
{
    return window && focusedWindow == window;
}

int32_t getKeyState(int key)
{
    if (key < 0 || key > GLFW_KEY_LAST)
        return 0;
    int32_t state = (keyDown[key] ? keyDownBit : 0) | (keyPressed[key] ? keyPressedBit : 0);
    keyPressed[key] = 0;
    return state;
}

void setWindowTitle(GLFWwindow* window, const char* text)
{
    glfwSetWindowTitle(window, text);
}

bool isWindowMinimised(GLFWwindow* window)
{
    return glfwGetWindowAttrib(window, GLFW_ICONIFIED) != 0;
}

double readClock()
{
    return glfwGetTime();
}
