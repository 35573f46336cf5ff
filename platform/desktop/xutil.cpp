#include "platform/desktop/xutil.h"

#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

// Xlib's default handler ends the process on any error; inside a trap errors are counted instead.
static unsigned long errorCount = 0;
static int trapDepth = 0;
static XErrorHandler handlerBeforeTrap = nullptr;

static int countError(Display*, XErrorEvent*)
{
    ++errorCount;
    return 0;
}

XErrorTrap trapXErrors(Display* display)
{
    // Errors of requests made before the trap are not the caller's.
    XSync(display, False);
    if (trapDepth++ == 0)
        handlerBeforeTrap = XSetErrorHandler(countError);
    return {display, errorCount};
}

bool untrapXErrors(const XErrorTrap& trap)
{
    XSync(trap.display, False);
    const bool clean = errorCount == trap.errorsBefore;
    if (--trapDepth == 0)
        XSetErrorHandler(handlerBeforeTrap);
    return clean;
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

const DesktopAtoms& desktopAtoms(Display* display)
{
    static DesktopAtoms atoms{};
    static bool interned = false;
    if (!interned) {
        char* names[] = {const_cast<char*>("_NET_SUPPORTING_WM_CHECK"), const_cast<char*>("_NET_SUPPORTED"),
                         const_cast<char*>("_NET_FRAME_EXTENTS"), const_cast<char*>("_NET_REQUEST_FRAME_EXTENTS"),
                         const_cast<char*>("_NET_WM_STATE"), const_cast<char*>("_NET_WM_STATE_FULLSCREEN"),
                         const_cast<char*>("_NET_WM_NAME"), const_cast<char*>("UTF8_STRING"),
                         const_cast<char*>("_NET_WM_WINDOW_TYPE"), const_cast<char*>("_NET_WM_WINDOW_TYPE_DIALOG"),
                         const_cast<char*>("WM_PROTOCOLS"), const_cast<char*>("WM_DELETE_WINDOW")};
        Atom values[sizeof names / sizeof names[0]]{};
        interned = XInternAtoms(display, names, int(sizeof names / sizeof names[0]), False, values) != 0;
        atoms = {values[0], values[1], values[2], values[3], values[4],  values[5],
                 values[6], values[7], values[8], values[9], values[10], values[11]};
    }
    return atoms;
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

// Xlib's own handler calls exit(), whose clean-up would run under the threads that still use what it
// destroys, and ends in an abort. The display is gone, so nothing is left to give back through it.
static int onDisplayLost(Display* display)
{
    std::fprintf(stderr, "quillvane: the display %s closed\n", DisplayString(display));
    _exit(1);
}

void endProcessWhenDisplayLost()
{
    XSetIOErrorHandler(onDisplayLost);
}
