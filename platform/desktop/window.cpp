// What the demo asks of its own window beside placement: the cursor, the title, the minimised test,
// and the window library's clock.
#include <GLFW/glfw3.h>

#include "platform/desktop/desktop.h"

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
    return glfwGetWindowAttrib(window, GLFW_ICONIFIED) != 0;
}

double readClock()
{
    return glfwGetTime();
}
