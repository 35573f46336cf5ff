#include "platform/desktop/xutil.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

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

static int onXError(Display*, XErrorEvent*)
{
    if (traps.depth > 0)
        ++traps.errors;
    return 0;
}

// Xlib's own handler calls exit(), whose clean-up would run under the threads that still use what it
// destroys, and ends in an abort. The display is gone, so nothing is left to give back through it.
static int onDisplayLost(Display* display)
{
    // Every connection to the server goes at once; one line, from the first thread to see it.
    if (displayLost.test_and_set())
        for (;;)
            pause();
    std::fprintf(stderr, "quillvane: the display %s closed\n", DisplayString(display));
    _exit(1);
}

void setXErrorPolicy()
{
    // Xlib must be made safe for threads before its first call; recent ones do so as they load.
    XInitThreads();
    XSetErrorHandler(onXError);
    XSetIOErrorHandler(onDisplayLost);
}

// With errors let go, a request on a window another client destroyed returns with its answer
// unfilled, and Mesa's software rasteriser sizes its buffers from XGetGeometry's without looking at
// the status: the heap is overwritten at the next buffer swap. The process's XGetGeometry (the
// executable exports it, so the driver's calls come here) answers such a request with an empty
// drawable, which the rasteriser draws nothing into.
extern "C" Status XGetGeometry(Display* display, Drawable drawable, Window* root, int* x, int* y, unsigned int* width,
                               unsigned int* height, unsigned int* border, unsigned int* depth)
{
    using Geometry = Status (*)(Display*, Drawable, Window*, int*, int*, unsigned int*, unsigned int*,
                                unsigned int*, unsigned int*);
    static const Geometry xlibs = reinterpret_cast<Geometry>(dlsym(RTLD_NEXT, "XGetGeometry"));
    const Status got = xlibs(display, drawable, root, x, y, width, height, border, depth);
    if (!got) {
        *root = None;
        *x = *y = 0;
        *width = *height = *border = *depth = 0;
    }
    return got;
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
                     const_cast<char*>("WM_PROTOCOLS"), const_cast<char*>("WM_DELETE_WINDOW")};
    Atom values[sizeof names / sizeof names[0]]{};
    // Answered from the connection's own cache once it has them.
    XInternAtoms(display, names, int(sizeof names / sizeof names[0]), False, values);
    return {values[0], values[1], values[2], values[3], values[4],  values[5],
            values[6], values[7], values[8], values[9], values[10], values[11]};
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
