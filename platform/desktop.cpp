#include "platform/desktop.h"

#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <SDL2/SDL.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <signal.h>
#include <time.h>

#include <initializer_list>

int askYesNoCancel(const char* caption, const char* text)
{
    // Without an X server SDL turns to a desktop dialog helper, and reports the helper's failure as a
    // box closed without a button. A box that could not be shown is no answer.
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return 0;
    XCloseDisplay(display);
    const SDL_MessageBoxButtonData buttons[] = {
        {SDL_MESSAGEBOX_BUTTON_RETURNKEY_DEFAULT, answerYes, "Yes"},
        {0, answerNo, "No"},
        {SDL_MESSAGEBOX_BUTTON_ESCAPEKEY_DEFAULT, answerCancel, "Cancel"},
    };
    const SDL_MessageBoxData box = {
        SDL_MESSAGEBOX_INFORMATION, nullptr, caption, text, SDL_arraysize(buttons), buttons, nullptr,
    };
    int chosen = -1;
    if (SDL_ShowMessageBox(&box, &chosen) != 0)
        return 0;
    // The box reports -1 when it was closed without a button.
    return chosen < 0 ? answerCancel : chosen;
}

void measureDesktop(int32_t* right, int32_t* bottom)
{
    *right = 0;
    *bottom = 0;
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return;
    Window root = DefaultRootWindow(display);
    *right = DisplayWidth(display, DefaultScreen(display));
    *bottom = DisplayHeight(display, DefaultScreen(display));
    // The root window spans every monitor; the desktop the demo fills is the primary one.
    // Monitors came with RandR 1.5; asking an older server would be a protocol error, which ends
    // the process.
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
        (major > 1 || (major == 1 && minor >= 5))) {
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
        if (monitors && count > 0) {
            const XRRMonitorInfo* chosen = &monitors[0];
            for (int i = 0; i < count; ++i)
                if (monitors[i].primary)
                    chosen = &monitors[i];
            *right = chosen->width;
            *bottom = chosen->height;
        }
        if (monitors)
            XRRFreeMonitors(monitors);
    }
    XCloseDisplay(display);
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

// Whether the running window manager says it answers a request, by its _NET_SUPPORTED list.
static bool managerSupports(Display* display, Atom request)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    bool found = false;
    if (XGetWindowProperty(display, DefaultRootWindow(display), XInternAtom(display, "_NET_SUPPORTED", False), 0,
                           4096, False, XA_ATOM, &type, &format, &count, &after, &data) == Success &&
        type == XA_ATOM && format == 32) {
        const Atom* atoms = reinterpret_cast<const Atom*>(data);
        for (unsigned long i = 0; i < count && !found; ++i)
            found = atoms[i] == request;
    }
    if (data)
        XFree(data);
    return found;
}

// The window library waits without a bound for extents it asks of the manager, and some managers
// advertise the request but never answer it. Asked here of a hidden window, only of a manager that
// says it answers, and waited for at most 100 ms; a shown window has them already or never will.
static void frameExtents(GLFWwindow* window, int* left, int* top)
{
    *left = 0;
    *top = 0;
    Display* display = glfwGetX11Display();
    const Window handle = glfwGetX11Window(window);
    if (!display || !handle)
        return;
    const Atom extents = XInternAtom(display, "_NET_FRAME_EXTENTS", False);
    const Atom asking = XInternAtom(display, "_NET_REQUEST_FRAME_EXTENTS", False);
    if (readFrameExtents(display, handle, extents, left, top) || glfwGetWindowAttrib(window, GLFW_VISIBLE) ||
        !managerSupports(display, asking))
        return;
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
            return;
        const timespec pause{0, 2'000'000};
        nanosleep(&pause, nullptr);
    }
}

void setWindowFramePos(GLFWwindow* window, int x, int y)
{
    // The window library places the drawable area; the frame's extents lie left of and above it.
    int left = 0, top = 0;
    frameExtents(window, &left, &top);
    glfwSetWindowPos(window, x + left, y + top);
}

void getWindowFramePos(GLFWwindow* window, int* x, int* y)
{
    int left = 0, top = 0;
    frameExtents(window, &left, &top);
    glfwGetWindowPos(window, x, y);
    *x -= left;
    *y -= top;
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
