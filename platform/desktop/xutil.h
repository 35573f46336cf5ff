// X helpers for the desktop layer's own files: one error policy, one property reader, the atoms the
// layer uses, the keyboard layout's Latin letters.
#pragma once

#include <X11/Xlib.h>

// The process's one policy for X errors, set before anything opens a connection or starts a thread:
// the handlers are the process's, not a connection's, and every thread's connection reports to them.
// A request that fails inside a trap (below) is reported to the trap's caller; any other failure
// (a window another client destroyed under the window library's requests) is let go, unprinted.
// A display lost ends the process at once with 1 and one line, without running the clean-up that
// threads still running would abort in. A connection the server ended while the display still
// answers (xkill) ends the run as the close button does, where the connection was let end (below).
void setXErrorPolicy();

// A connection of the main thread's whose end by the server, the display staying, ends the run
// through the shutdown given to setShutdownOnConnectionEnd, and the process with its status.
void letConnectionEnd(Display* display);
// True from then on, while that shutdown runs.
bool connectionEnded();

// Requests on windows the demo does not own (the manager's frames and check window, the ancestors
// of ours) go between these two, so that a window gone under a request (a manager that died or
// re-framed it) is reported to the caller. Traps may nest; they count the errors of the thread that
// set them, whose requests they are.
struct XErrorTrap {
    Display* display;
    unsigned long errorsBefore;
};
XErrorTrap trapXErrors(Display* display);
// Waits for the replies to what was asked since the trap was set; false when any request failed.
bool untrapXErrors(const XErrorTrap& trap);

// Up to capacity 32-bit items of a window's property of a type, under the trap; how many were read,
// 0 where the window has none of that type or is gone.
int readProperty(Display* display, Window window, Atom property, Atom type, long* values, int capacity);

// The atoms the layer uses, as this connection knows them. Xlib keeps a connection's atoms with the
// connection, so only the first call on one costs a round trip; a value is never carried to another
// connection, which may be to a server that has reset and numbered its atoms anew.
struct DesktopAtoms {
    Atom supportingWmCheck, supported, frameExtents, requestFrameExtents, wmState, wmStateFullscreen, wmName,
        utf8String, windowType, windowTypeDialog, wmProtocols, wmDeleteWindow, icccmState;
};
DesktopAtoms desktopAtoms(Display* display);

// The child of the root that holds the window: the manager's frame, or the window itself where
// there is none. 0 when the server cannot say, or a window on the way is gone.
Window topLevelOf(Display* display, Window window);
bool isViewable(Display* display, Window window);
// Waits, at most 0.2 s unless told, for the server to report the window in a state; false at once
// once the run is asked to end (closeRequested).
bool waitForWindow(Display* display, Window window, bool (*reached)(Display*, Window), int milliseconds = 200);

// A window manager is running and names itself on the root.
bool managerRunning(Display* display);
// The running manager lists the request (an atom of _NET_SUPPORTED).
bool managerSupports(Display* display, Atom request);

// The Latin letter ('a' to 'z', else 0) that each key types at its first level in each group of the
// keyboard's layout, and which groups have any.
constexpr int maxGroups = 4;
struct LatinKeys {
    char letter[maxGroups][256];
    bool groupHasLetters[maxGroups];
};
// False, with no letters anywhere, where the server has no keyboard extension.
bool readLatinKeys(Display* display, LatinKeys* keys);
