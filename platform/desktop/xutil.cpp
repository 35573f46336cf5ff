#include "platform/desktop/xutil.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/desktop/desktop.h"

// Last: it defines min and max as macros.
#include <X11/Xlibint.h>

// Xlib reports an error on the thread that reads the reply, the one whose connection it is: each
// thread's traps count its own. The handler is never swapped, so no thread sees another's.
namespace {
struct ThreadTraps {
    int depth;
    unsigned long errors;
};
} // namespace
static thread_local ThreadTraps traps{};
static std::atomic_flag displayLost = ATOMIC_FLAG_INIT;
static std::atomic<bool> ended{false};

static int onXError(Display*, XErrorEvent*)
{
    if (traps.depth > 0)
        ++traps.errors;
    return 0;
}

// Marks a connection let end; never called, since the handler below never returns for one.
static void onConnectionEnded(Display*, void*)
{
    _exit(1);
}

// HACK: libX11 1.8.4 keeps a connection's exit handler in its Display record (Xlibint.h) and offers
// no call to read it back; it is read here to tell a connection let end from the others.
static bool mayEnd(Display* display)
{
    return display->exit_handler == onConnectionEnded;
}

static int (*shutDownAfterConnectionEnded)() = nullptr;

// Xlib's own handler calls exit(), whose clean-up would run under the threads that still use what it
// destroys, and ends in an abort. The display is gone, so nothing is left to give back through it.
// Where the display still answers, the server ended this connection alone (xkill): the run ends as
// the close button ends it, from here, since neither Xlib nor the GL driver can go on with the
// connection. Connections let end are the main thread's.
static int onDisplayLost(Display* display)
{
    if (mayEnd(display)) {
        if (Display* again = XOpenDisplay(DisplayString(display))) {
            XCloseDisplay(again);
            ended.store(true);
            _exit(shutDownAfterConnectionEnded ? shutDownAfterConnectionEnded() : 0);
        }
    }
    // Every connection to the server goes at once; one line, from the first thread to see it.
    if (displayLost.test_and_set())
        for (;;)
            pause();
    std::fprintf(stderr, "quillvane: the display %s closed\n", DisplayString(display));
    _exit(1);
}

void letConnectionEnd(Display* display)
{
    if (display)
        XSetIOErrorExitHandler(display, onConnectionEnded, nullptr);
}

void setShutdownOnConnectionEnd(int (*shutDown)())
{
    shutDownAfterConnectionEnded = shutDown;
}

bool connectionEnded()
{
    return ended.load();
}

void setXErrorPolicy()
{
    // Xlib must be made safe for threads before its first call; recent ones do so as they load.
    XInitThreads();
    XSetErrorHandler(onXError);
    XSetIOErrorHandler(onDisplayLost);
}

// HACK: Mesa 22.3.6's software rasteriser (swrastGetDrawableInfo, src/glx/drisw_glx.c) sizes its
// buffers from XGetGeometry without looking at the status. On a drawable another client destroyed,
// with errors let go, Xlib leaves the answer unfilled, and any size smaller than the buffers Mesa
// holds has it write past them at the next clear or swap. The executable exports this XGetGeometry,
// so the driver's calls come here: a failed request is answered with the drawable's last good
// geometry, the buffers Mesa already holds, and one never answered with a single pixel. It can go
// once the Mesa the demo runs on checks that status.
namespace {
struct Geometry {
    Drawable drawable;
    Window root;
    int x, y;
    unsigned int width, height, border, depth;
};
} // namespace
// Per thread, so that the frame's calls take no lock: the driver asks on the thread that draws.
constexpr unsigned geometryCapacity = 4;
static thread_local Geometry knownGeometries[geometryCapacity];
static thread_local unsigned geometriesKept;

extern "C" Status XGetGeometry(Display* display, Drawable drawable, Window* root, int* x, int* y, unsigned int* width,
                               unsigned int* height, unsigned int* border, unsigned int* depth)
{
    using Asking = Status (*)(Display*, Drawable, Window*, int*, int*, unsigned int*, unsigned int*, unsigned int*,
                              unsigned int*);
    static const Asking xlibs = reinterpret_cast<Asking>(dlsym(RTLD_NEXT, "XGetGeometry"));
    Geometry got{drawable, None, 0, 0, 0, 0, 0, 0};
    const Status status =
        xlibs(display, drawable, &got.root, &got.x, &got.y, &got.width, &got.height, &got.border, &got.depth);
    if (status) {
        Geometry* slot = &knownGeometries[geometriesKept % geometryCapacity];
        for (Geometry& known : knownGeometries)
            if (known.drawable == drawable)
                slot = &known;
        if (slot->drawable != drawable)
            ++geometriesKept;
        *slot = got;
    } else {
        got.width = got.height = 1;
        got.depth = unsigned(DefaultDepth(display, DefaultScreen(display)));
        for (const Geometry& known : knownGeometries)
            if (known.drawable == drawable && drawable != None)
                got = known;
    }
    *root = got.root;
    *x = got.x;
    *y = got.y;
    *width = got.width;
    *height = got.height;
    *border = got.border;
    *depth = got.depth;
    return status;
}

// HACK: GLFW 3.3.8 reads these two answers without looking at the status (the window's visibility,
// size and position, also inside glfwCreateWindow), and Xlib 1.8.4 leaves them unfilled where the
// request failed, as it does on a window another client destroyed: the window library then acts
// on whatever the stack held. The executable exports them, so the window library's calls come
// here, and a failed request answers a window unmapped and empty, and the point untranslated. They
// can go once GLFW checks those statuses.
extern "C" Status XGetWindowAttributes(Display* display, Window window, XWindowAttributes* attributes)
{
    using Asking = Status (*)(Display*, Window, XWindowAttributes*);
    static const Asking xlibs = reinterpret_cast<Asking>(dlsym(RTLD_NEXT, "XGetWindowAttributes"));
    *attributes = {};
    return xlibs(display, window, attributes);
}

extern "C" Bool XTranslateCoordinates(Display* display, Window from, Window to, int fromX, int fromY, int* toX,
                                      int* toY, Window* child)
{
    using Asking = Bool (*)(Display*, Window, Window, int, int, int*, int*, Window*);
    static const Asking xlibs = reinterpret_cast<Asking>(dlsym(RTLD_NEXT, "XTranslateCoordinates"));
    *toX = fromX;
    *toY = fromY;
    *child = None;
    return xlibs(display, from, to, fromX, fromY, toX, toY, child);
}

XErrorTrap trapXErrors(Display* display)
{
    // Errors of requests made before the trap are not the caller's.
    XSync(display, False);
    ++traps.depth;
    return {display, traps.errors};
}

bool untrapXErrors(const XErrorTrap& trap)
{
    XSync(trap.display, False);
    --traps.depth;
    return traps.errors == trap.errorsBefore;
}

int readProperty(Display* display, Window window, Atom property, Atom type, long* values, int capacity)
{
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const XErrorTrap trap = trapXErrors(display);
    const bool read = XGetWindowProperty(display, window, property, 0, capacity, False, type, &actualType, &format,
                                         &count, &after, &data) == Success;
    int copied = 0;
    if (untrapXErrors(trap) && read && actualType == type && format == 32) {
        // Xlib hands 32-bit items over as longs.
        const long* items = reinterpret_cast<const long*>(data);
        for (; copied < int(count) && copied < capacity; ++copied)
            values[copied] = items[copied];
    }
    if (data)
        XFree(data);
    return copied;
}

Window topLevelOf(Display* display, Window window)
{
    const XErrorTrap trap = trapXErrors(display);
    Window found = 0;
    for (;;) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(display, window, &root, &parent, &children, &count))
            break;
        if (children)
            XFree(children);
        if (parent == root || parent == 0) {
            found = window;
            break;
        }
        window = parent;
    }
    return untrapXErrors(trap) ? found : 0;
}

bool isViewable(Display* display, Window window)
{
    XWindowAttributes attributes{};
    const XErrorTrap trap = trapXErrors(display);
    const bool got = XGetWindowAttributes(display, window, &attributes);
    return untrapXErrors(trap) && got && attributes.map_state == IsViewable;
}

bool waitForWindow(Display* display, Window window, bool (*reached)(Display*, Window), int milliseconds)
{
    // Bounded by the clock, not by a count of tries: on a busy machine each round trip may take
    // several milliseconds, and the caller's bound is what a person waits.
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (closeRequested())
            return false;
        XSync(display, False);
        if (reached(display, window))
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000 >= milliseconds)
            return false;
        const timespec pause{0, 1'000'000};
        nanosleep(&pause, nullptr);
    }
}

DesktopAtoms desktopAtoms(Display* display)
{
    char* names[] = {const_cast<char*>("_NET_SUPPORTING_WM_CHECK"), const_cast<char*>("_NET_SUPPORTED"),
                     const_cast<char*>("_NET_FRAME_EXTENTS"), const_cast<char*>("_NET_REQUEST_FRAME_EXTENTS"),
                     const_cast<char*>("_NET_WM_STATE"), const_cast<char*>("_NET_WM_STATE_FULLSCREEN"),
                     const_cast<char*>("_NET_WM_NAME"), const_cast<char*>("UTF8_STRING"),
                     const_cast<char*>("_NET_WM_WINDOW_TYPE"), const_cast<char*>("_NET_WM_WINDOW_TYPE_DIALOG"),
                     const_cast<char*>("WM_PROTOCOLS"), const_cast<char*>("WM_DELETE_WINDOW"),
                     const_cast<char*>("WM_STATE")};
    Atom values[sizeof names / sizeof names[0]]{};
    // Answered from the connection's own cache once it has them.
    XInternAtoms(display, names, int(sizeof names / sizeof names[0]), False, values);
    return {values[0], values[1], values[2], values[3],  values[4],  values[5], values[6],
            values[7], values[8], values[9], values[10], values[11], values[12]};
}

bool readLatinKeys(Display* display, LatinKeys* keys)
{
    *keys = {};
    int opcode = 0, eventBase = 0, errorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &eventBase, &errorBase, &major, &minor))
        return false;
    XkbDescPtr keyboard = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
    if (!keyboard)
        return false;
    for (int code = keyboard->min_key_code; code <= keyboard->max_key_code && code < 256; ++code)
        for (int group = 0; group < maxGroups; ++group) {
            // Translated as the server would with that group locked: a key with fewer groups
            // wraps or clamps as its layout says.
            unsigned int consumed = 0;
            KeySym sym = NoSymbol;
            if (!XkbTranslateKeyCode(keyboard, KeyCode(code), XkbBuildCoreState(0, group), &consumed, &sym))
                continue;
            KeySym lower = sym, upper = sym;
            XConvertCase(sym, &lower, &upper);
            if (lower >= XK_a && lower <= XK_z) {
                keys->letter[group][code] = char('a' + (lower - XK_a));
                keys->groupHasLetters[group] = true;
            }
        }
    XkbFreeKeyboard(keyboard, 0, True);
    return true;
}
