// Desktop window services: the start-up question, the desktop size, frame placement, the cursor,
// the foreground test, key states, the title and the minimised test. The one interface the demo
// sees; session.cpp, question.cpp, monitors.cpp, manager.cpp, frames.cpp, fullscreen.cpp, input.cpp,
// window.cpp and screensaver.cpp hold it, over the X helpers of xutil.cpp.
//
// The order a run calls them in, which the state they keep between calls relies on:
//   beginDesktopSession                         first, before any other call and any thread
//   setShutdownOnConnectionEnd                  then
//   measurePrimaryMonitor, askYesNoCancel       before the window library, on connections of their own
//   forgetDeadWindowManager                     then, right before glfwInit
//   followWindowDestruction                     right after glfwInit
//   startScreenKeeper                           after glfwInit, before the window is created (and
//                                               before the music service starts)
//   coverPrimaryMonitor (fullscreen) or         just after glfwCreateWindow: it may withdraw and map
//     setWindowFramePos / setWindowAreaPos      the window again, which followWindowInput must follow
//   followWindowInput                           once, before the window is shown
//   showWindowAndFinishPlacement                last of the set-up
//   the main loop's calls                       isForegroundWindow, getKeyState, closeRequested,
//                                               keepScreenAwake, setWindowTitle
//   isWindowMinimised, getWindowFramePos        at the end, before glfwTerminate
//   stopScreenKeeper                            last, once the window is gone and the file written
// closeRequested may turn true between any two of them: the set-up then goes no further.
#pragma once

#include <cstdint>

struct GLFWmonitor;
struct GLFWwindow;

// Sets the process's one policy for X errors (an error on a request of the layer's goes to the
// caller that made it, any other is let go; a lost display ends the process with 1 and one line)
// and takes the session's requests to end the run (Ctrl+C, logout, kill: SIGINT, SIGHUP, SIGTERM)
// for closeRequested, the start-up question's time included. A second request ends the process at
// once, by the signal, whatever it waits in.
void beginDesktopSession();

// True once the session asked the run to end, or another client destroyed the window; the set-up
// goes no further and the main loop takes it as the window's close request. Reads flags: no round
// trip.
bool closeRequested();

// The close button's shutdown without the window library, for a run whose window's connection (or
// the question's) the server ends while the display stays, as xkill does: called from within the
// X library, whose connection cannot go on; the process then ends with what it returns. Given
// right after beginDesktopSession.
void setShutdownOnConnectionEnd(int (*shutDown)());

// Answers of the start-up question.
constexpr int answerYes = 6;
constexpr int answerNo = 7;
constexpr int answerCancel = 2;

// A Yes/No/Cancel question with no owner window, centred on the primary monitor, drawn in the
// desktop's font at the size Xft.dpi asks for. The focus starts on Yes and moves with Tab and the
// arrows; Return or Space presses the focused button; Y, N and C choose directly, in any layout (in
// one without Latin letters, the keys that type them in the layout's Latin group, else the keys at
// their US places); Escape, closing the box or a request of the session to end the run chooses
// Cancel. At a resolution too high for the monitor, drawn as large as fits. Returns 0 when no box
// can be shown.
int askYesNoCancel(const char* caption, const char* text);

// The primary monitor's size, the desktop size the demo works with, asked of the X server directly
// so that the window library need not be initialised yet. Both 0 when there is no display.
void measurePrimaryMonitor(int32_t* width, int32_t* height);

// Clears what a window manager that died left on the desktop, which would make the window library
// abort, and completes a running manager's name where its check window lacks it. Called before the
// window library is initialised.
void forgetDeadWindowManager();

// A monitor's area on the desktop; for the window library's primary monitor, the same primary
// monitor measurePrimaryMonitor measures. False when the monitor has no current video mode.
bool getMonitorArea(GLFWmonitor* monitor, int* x, int* y, int* width, int* height);

// True where a frame of that size with its top-left corner at (x, y), any 32-bit values, would
// show on a monitor that exists now: its top 32 pixels (the title bar) in full on one monitor,
// across a quarter of its width there and at least 64 pixels, or all of a narrower frame.
bool frameWouldShow(int32_t x, int32_t y, int width, int height);

// Moves the window's outer frame (decorations included) so that its top-left corner is at (x, y),
// keeping its size. The window is still hidden here; being shown later puts it on top. Where the
// manager frames a window only when it shows it, showWindowAndFinishPlacement finishes the move.
void setWindowFramePos(GLFWwindow* window, int x, int y);

// Moves the window's drawable area so that its top-left corner is at (x, y); the window library's
// move, remembered so that showWindowAndFinishPlacement can finish it.
void setWindowAreaPos(GLFWwindow* window, int x, int y);

// Shows the window. If it was placed, waits for the manager to frame it (at most 0.2 s) and moves it
// so that the frame's corner, or the drawable area's where that was placed last, is where it was
// asked, if the manager put it elsewhere.
void showWindowAndFinishPlacement(GLFWwindow* window);

// The outer frame's top-left corner, the inverse of setWindowFramePos, measured now: from the
// extents a running manager publishes, else from the window's ancestors (with no manager, the
// drawable area's corner). Of a window that can no longer be asked (destroyed, or its connection
// ended), the corner last measured, moved as the window's own events moved it since. False, with x
// and y untouched, when the frame cannot be measured and never was.
bool getWindowFramePos(GLFWwindow* window, int* x, int* y);

// For a fullscreen window, just created: makes sure it covers the primary monitor, with the
// focus, also where the window manager cannot make a window fullscreen, and asks again (at most
// twice, 0.4 s apart) where a manager drops the request. Returns once it covers or has been asked.
// The window stays shown when the focus leaves it.
void coverPrimaryMonitor(GLFWwindow* window);

// Lowers (show false) or raises the cursor display counter and returns its new value; the cursor
// is hidden over the window while the counter is negative.
int showCursor(GLFWwindow* window, bool show);

// From the window's creation on, follows its destruction by another client (for closeRequested),
// and ends the window library's waits on a window so destroyed. Called once, right after glfwInit.
void followWindowDestruction();

// Starts following the window's focus, its key events, its minimised state and the keyboard's
// layout. Called once, before the window is shown.
void followWindowInput(GLFWwindow* window);

// True while the window has the input focus. Reads state kept from the window's events: no round
// trip to the X server.
bool isForegroundWindow(GLFWwindow* window);

// Bit 0: the key (a GLFW key code) was pressed in the window since the previous query of that key.
// Bit 15: the key is down now. Only the window's own key events count. A letter is the key that
// types it in the layout in force when it was pressed (its US position in a layout without Latin
// letters); a digit is the top-row key of that digit. Reads state kept from the window's events:
// no round trip.
int32_t getKeyState(int key);
constexpr int32_t keyPressedBit = 0x0001;
constexpr int32_t keyDownBit = 0x8000;

void setWindowTitle(GLFWwindow* window, const char* text);

// Asked of the server; of a window that can no longer be asked, as its events said last.
bool isWindowMinimised(GLFWwindow* window);

// Seconds since the window library was initialised; the demo's one clock.
double readClock();

// Screen keeping: the screen stays awake while the music plays. The X server's saver is suspended
// and, where the session bus offers org.freedesktop.ScreenSaver, an inhibition is held, both from a
// thread of the platform's own. Without a bus or the service nothing changes and nothing is said.

// Starts the keeper. Called once, after the window library is initialised and before the window
// is created, whose fullscreen mode turns the X server's saver off; before the music service
// starts, which names no session bus to the process.
void startScreenKeeper();

// Asks for the screen to be kept awake or not. Does nothing unless the request changed, and then
// only wakes the keeper's thread: never blocks, allocates or talks to a server.
void keepScreenAwake(bool awake);

// Releases what is held and stops the keeper; every way out of a run passes here. Waits for an
// answer to Inhibit still due, up to 5 s after its call, to give its cookie back; a keeper not
// ended a few seconds past that, stuck in a library call, is left behind.
void stopScreenKeeper();
