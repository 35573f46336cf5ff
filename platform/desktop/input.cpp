// The window's focus and keys, by the keyboard's active layout, and the session's requests to end
// the run.
#include <GLFW/glfw3.h>
#include <X11/XKBlib.h>
#include <signal.h>

#include <initializer_list>

#include "platform/desktop/desktop.h"
#include "platform/desktop/xutil.h"

// Written by the window's event callbacks, read by the main loop on every turn.
static GLFWwindow* focusedWindow = nullptr;
static uint8_t keyDown[GLFW_KEY_LAST + 1];
static uint8_t keyPressed[GLFW_KEY_LAST + 1];

// The demo's keys are the keys that type them in the active layout. The layout is read when it
// changes, on a connection of its own whose keyboard events the window library never sees; a key
// event only looks it up.
struct ActiveLayout {
    Display* display;  // null where the server has no keyboard extension
    int eventBase;
    LatinKeys keys;
    int group;
    int pressedAs[256];  // the demo key each keycode's press counted as, for its release
};
static ActiveLayout layout{};

static void readLayoutChanges()
{
    bool changed = false;
    while (XPending(layout.display)) {
        XEvent event;
        XNextEvent(layout.display, &event);
        if (event.type != layout.eventBase)
            continue;
        const XkbEvent& change = reinterpret_cast<const XkbEvent&>(event);
        if (change.any.xkb_type == XkbStateNotify)
            layout.group = change.state.group;
        else
            changed = true;  // a new keymap (setxkbmap) or a changed one
    }
    if (changed) {
        XkbStateRec state{};
        if (XkbGetState(layout.display, XkbUseCoreKbd, &state) == Success)
            layout.group = state.group;
        readLatinKeys(layout.display, &layout.keys);
    }
}

static void followLayout()
{
    int errorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion, reason = 0;
    layout.display = XkbOpenDisplay(nullptr, &layout.eventBase, &errorBase, &major, &minor, &reason);
    if (!layout.display)
        return;
    XkbSelectEvents(layout.display, XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbMapNotifyMask,
                    XkbNewKeyboardNotifyMask | XkbMapNotifyMask);
    XkbSelectEventDetails(layout.display, XkbUseCoreKbd, XkbStateNotify, XkbGroupStateMask, XkbGroupStateMask);
    XkbStateRec state{};
    if (XkbGetState(layout.display, XkbUseCoreKbd, &state) == Success)
        layout.group = state.group;
    readLatinKeys(layout.display, &layout.keys);
}

// The demo key a physical key stands for: the letter it types in the active group; digits are the
// top-row keys on every layout; in a group without Latin letters, the letter of the US position.
// A key the window library names by its US letter that types no Latin letter here is no letter.
static int demoKey(int key, int keycode)
{
    if (!layout.display || (key >= GLFW_KEY_0 && key <= GLFW_KEY_9) || keycode < 0 || keycode > 255)
        return key;
    const int group = layout.group & (maxGroups - 1);
    if (!layout.keys.groupHasLetters[group])
        return key;
    if (const char letter = layout.keys.letter[group][keycode])
        return GLFW_KEY_A + (letter - 'a');
    return key >= GLFW_KEY_A && key <= GLFW_KEY_Z ? GLFW_KEY_UNKNOWN : key;
}

static void onFocus(GLFWwindow* window, int focused)
{
    if (focused)
        focusedWindow = window;
    else if (focusedWindow == window)
        focusedWindow = nullptr;
}

static void onKey(GLFWwindow*, int key, int keycode, int action, int)
{
    const bool knownKeycode = keycode >= 0 && keycode < 256;
    if (action == GLFW_PRESS) {
        if (layout.display)
            readLayoutChanges();
        key = demoKey(key, keycode);
        if (knownKeycode)
            layout.pressedAs[keycode] = key;
    } else if (action == GLFW_RELEASE && knownKeycode && layout.display) {
        // The key that goes up is the one that went down, whatever the layout did meanwhile.
        key = layout.pressedAs[keycode];
    } else if (action == GLFW_REPEAT) {
        return;
    }
    if (key < 0 || key > GLFW_KEY_LAST)
        return;
    if (action == GLFW_PRESS) {
        keyDown[key] = 1;
        keyPressed[key] = 1;
    } else {
        keyDown[key] = 0;
    }
}

void followWindowInput(GLFWwindow* window)
{
    followLayout();
    glfwSetWindowFocusCallback(window, onFocus);
    glfwSetKeyCallback(window, onKey);
    if (glfwGetWindowAttrib(window, GLFW_FOCUSED))
        focusedWindow = window;
}

static volatile sig_atomic_t endRequested = 0;

static void onEndSignal(int)
{
    endRequested = 1;
}

void endRunOnSessionSignals()
{
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
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
