// The window's focus and keys, by the keyboard's layout in force at each press, and its end when
// another client destroys it.
#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <X11/XKBlib.h>
#include <X11/Xlibint.h>
#include <dlfcn.h>

#include "platform/desktop/desktop.h"
#include "platform/desktop/session.h"
#include "platform/desktop/xutil.h"

// What the window library's connection delivers for the window, seen as Xlib reads it from the
// server, before the window library takes the events: it reports neither a key's group nor the
// window's destruction. The window library's callbacks and these readers run on the main thread.
// HACK: libX11 1.8.4 offers XESetWireToEvent to extensions for their own events; here it replaces
// the converters of two core events on the window library's connection, relying on GLFW 3.3.8 to
// set none of its own for them. Needed as long as GLFW reports neither a key's group nor a
// DestroyNotify.
namespace {
using WireToEvent = Bool (*)(Display*, XEvent*, xEvent*);
constexpr unsigned pressCapacity = 64;
struct Press {
    unsigned char keycode;
    unsigned char group;
};
struct WindowInput {
    Window handle;
    GLFWwindow* focused;
    uint8_t keyDown[GLFW_KEY_LAST + 1];
    uint8_t keyPressed[GLFW_KEY_LAST + 1];
    // Each press in the group its event carried, in the server's order, until the window library
    // reports it.
    Press presses[pressCapacity];
    unsigned pressesRead, pressesWritten;
    // Set when the window's DestroyNotify is read: by another client's hand from the window's
    // creation on, by the window library's own at the end, when the window's record may be gone.
    Window destroyed;
    bool minimised;  // as the window's last WM_STATE said
    WireToEvent readKeyPress, readDestroyNotify;
};

// The keyboard's letters, read when the keymap changes, on a connection of its own whose keyboard
// events the window library never sees.
struct LayoutFollower {
    Display* display;  // null where the server has no keyboard extension
    int eventBase;
    LatinKeys keys;
    int pressedAs[256];  // the demo key each keycode's press counted as, for its release
};
} // namespace

static WindowInput input{};
static LayoutFollower layout{};

static Bool onKeyPressRead(Display* display, XEvent* event, xEvent* wire)
{
    const Bool kept = input.readKeyPress(display, event, wire);
    if (kept && event->type == KeyPress && event->xkey.window == input.handle) {
        if (input.pressesWritten - input.pressesRead == pressCapacity)
            ++input.pressesRead;
        input.presses[input.pressesWritten++ % pressCapacity] = {
            static_cast<unsigned char>(event->xkey.keycode),
            static_cast<unsigned char>(XkbGroupForCoreState(event->xkey.state))};
    }
    return kept;
}

// The connection hears of a window's own destruction only for the windows the window library made
// with structure events, and the demo's is the only one: its handle need not be known yet.
static Bool onDestroyNotifyRead(Display* display, XEvent* event, xEvent* wire)
{
    const Bool kept = input.readDestroyNotify(display, event, wire);
    if (kept && event->type == DestroyNotify && event->xdestroywindow.event == event->xdestroywindow.window)
        input.destroyed = event->xdestroywindow.window;
    return kept;
}

bool windowDestroyed()
{
    return input.destroyed != None;
}

// HACK: GLFW 3.3.8 waits for a VisibilityNotify after mapping its window (glfwShowWindow, and
// glfwCreateWindow for a fullscreen one) by polling this while any other event is queued, with no
// bound: a window destroyed meanwhile sends none, and the wait spins for good. The executable
// exports this XCheckTypedWindowEvent, so the window library's calls come here: for a window whose
// destruction was read, the wait is answered as if the event came. It can go once GLFW bounds that
// wait.
extern "C" Bool XCheckTypedWindowEvent(Display* display, Window window, int type, XEvent* event)
{
    using Checking = Bool (*)(Display*, Window, int, XEvent*);
    static const Checking xlibs = reinterpret_cast<Checking>(dlsym(RTLD_NEXT, "XCheckTypedWindowEvent"));
    if (xlibs(display, window, type, event))
        return True;
    if (type != VisibilityNotify || window != input.destroyed)
        return False;
    *event = {};
    event->xvisibility.type = VisibilityNotify;
    event->xvisibility.display = display;
    event->xvisibility.window = window;
    event->xvisibility.state = VisibilityFullyObscured;
    return True;
}

void followWindowDestruction()
{
    Display* display = glfwGetX11Display();
    if (!display)
        return;
    letConnectionEnd(display);
    input.readDestroyNotify = XESetWireToEvent(display, DestroyNotify, onDestroyNotifyRead);
}

bool lastReportedMinimised()
{
    return input.minimised;
}

// The group a press reported now was made in. A press the window library dropped (a duplicate)
// is passed over.
static int groupOfPress(int keycode)
{
    while (input.pressesRead != input.pressesWritten) {
        const Press press = input.presses[input.pressesRead++ % pressCapacity];
        if (press.keycode == keycode)
            return press.group;
    }
    XkbStateRec state{};
    return XkbGetState(layout.display, XkbUseCoreKbd, &state) == Success ? state.group : 0;
}

static void readLayoutChanges()
{
    bool changed = false;
    while (XPending(layout.display)) {
        XEvent event;
        XNextEvent(layout.display, &event);
        changed = changed || event.type == layout.eventBase;  // a new keymap (setxkbmap) or a changed one
    }
    if (changed)
        readLatinKeys(layout.display, &layout.keys);
}

static void followLayout()
{
    int errorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion, reason = 0;
    layout.display = XkbOpenDisplay(nullptr, &layout.eventBase, &errorBase, &major, &minor, &reason);
    if (!layout.display)
        return;
    letConnectionEnd(layout.display);
    XkbSelectEvents(layout.display, XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbMapNotifyMask,
                    XkbNewKeyboardNotifyMask | XkbMapNotifyMask);
    readLatinKeys(layout.display, &layout.keys);
}

// The demo key a physical key stands for: the letter it types in the group it was pressed in;
// digits are the top-row keys on every layout; in a group without Latin letters, the letter of the
// US position. A key the window library names by its US letter that types no Latin letter there is
// no letter.
static int demoKey(int key, int keycode, int pressedInGroup)
{
    if (!layout.display || (key >= GLFW_KEY_0 && key <= GLFW_KEY_9) || keycode < 0 || keycode > 255)
        return key;
    const int group = pressedInGroup & (maxGroups - 1);
    if (!layout.keys.groupHasLetters[group])
        return key;
    if (const char letter = layout.keys.letter[group][keycode])
        return GLFW_KEY_A + (letter - 'a');
    return key >= GLFW_KEY_A && key <= GLFW_KEY_Z ? GLFW_KEY_UNKNOWN : key;
}

static void onFocus(GLFWwindow* window, int focused)
{
    if (focused)
        input.focused = window;
    else if (input.focused == window)
        input.focused = nullptr;
}

static void onMinimised(GLFWwindow*, int minimised)
{
    input.minimised = minimised != 0;
}

static void onKey(GLFWwindow*, int key, int keycode, int action, int)
{
    const bool knownKeycode = keycode >= 0 && keycode < 256;
    if (action == GLFW_PRESS || action == GLFW_REPEAT) {
        const int group = layout.display && knownKeycode ? groupOfPress(keycode) : 0;
        if (action == GLFW_REPEAT)
            return;
        if (layout.display)
            readLayoutChanges();
        key = demoKey(key, keycode, group);
        if (knownKeycode)
            layout.pressedAs[keycode] = key;
    } else if (action == GLFW_RELEASE && knownKeycode && layout.display) {
        // The key that goes up is the one that went down, whatever the layout did meanwhile.
        key = layout.pressedAs[keycode];
    }
    if (key < 0 || key > GLFW_KEY_LAST)
        return;
    if (action == GLFW_PRESS) {
        input.keyDown[key] = 1;
        input.keyPressed[key] = 1;
    } else {
        input.keyDown[key] = 0;
    }
}

void followWindowInput(GLFWwindow* window)
{
    followLayout();
    if (Display* display = glfwGetX11Display()) {
        input.handle = glfwGetX11Window(window);
        input.readKeyPress = XESetWireToEvent(display, KeyPress, onKeyPressRead);
    }
    glfwSetWindowFocusCallback(window, onFocus);
    glfwSetWindowIconifyCallback(window, onMinimised);
    glfwSetKeyCallback(window, onKey);
    if (glfwGetWindowAttrib(window, GLFW_FOCUSED))
        input.focused = window;
}

bool isForegroundWindow(GLFWwindow* window)
{
    return window && input.focused == window;
}

int32_t getKeyState(int key)
{
    if (key < 0 || key > GLFW_KEY_LAST)
        return 0;
    int32_t state = (input.keyDown[key] ? keyDownBit : 0) | (input.keyPressed[key] ? keyPressedBit : 0);
    input.keyPressed[key] = 0;
    return state;
}
