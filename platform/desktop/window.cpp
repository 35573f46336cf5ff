// What the demo asks of its own window beside placement: the cursor, the title, the minimised test,
// and the window library's clock.
#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <X11/Xutil.h>

#include "platform/desktop/desktop.h"
#include "platform/desktop/session.h"
#include "platform/desktop/xutil.h"

static int cursorCounter = 0;

int showCursor(GLFWwindow* window, bool show)
{
    cursorCounter += show ? 1 : -1;
    glfwSetInputMode(window, GLFW_CURSOR, cursorCounter < 0 ? GLFW_CURSOR_HIDDEN : GLFW_CURSOR_NORMAL);
    return cursorCounter;
}

void setWindowTitle(GLFWwindow* window, const char* text)
{
    glfwSetWindowTitle(window, text);
}

bool isWindowMinimised(GLFWwindow* window)
{
    if (windowGone())
        return lastReportedMinimised();
    Display* display = glfwGetX11Display();
    const Window handle = glfwGetX11Window(window);
    if (!display || !handle)
        return false;
    // Read under a trap: the window library reads WM_STATE unchecked, and the window may go under it.
    long state[2] = {};
    const Atom wmState = desktopAtoms(display).icccmState;
    return readProperty(display, handle, wmState, wmState, state, 2) >= 1 && state[0] == IconicState;
}

double readClock()
{
    return glfwGetTime();
}
