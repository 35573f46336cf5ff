// Monitors: the primary one, as every part of the layer sees it.
#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <X11/extensions/Xrandr.h>

#include "platform/desktop/desktop.h"
#include "platform/desktop/monitor.h"

void primaryMonitorArea(Display* display, int* x, int* y, int* width, int* height)
{
    const Window root = DefaultRootWindow(display);
    *x = 0;
    *y = 0;
    *width = DisplayWidth(display, DefaultScreen(display));
    *height = DisplayHeight(display, DefaultScreen(display));
    // Monitors came with RandR 1.5; asking an older server would be a protocol error.
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) || !XRRQueryVersion(display, &major, &minor) ||
        (major == 1 && minor < 5) || major < 1)
        return;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    if (monitors && count > 0) {
        const XRRMonitorInfo* chosen = &monitors[0];
        for (int i = 0; i < count; ++i)
            if (monitors[i].primary)
                chosen = &monitors[i];
        if (chosen->width > 0 && chosen->height > 0) {
            *x = chosen->x;
            *y = chosen->y;
            *width = chosen->width;
            *height = chosen->height;
        }
    }
    if (monitors)
        XRRFreeMonitors(monitors);
}

void measurePrimaryMonitor(int32_t* width, int32_t* height)
{
    *width = 0;
    *height = 0;
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return;
    int x = 0, y = 0, w = 0, h = 0;
    primaryMonitorArea(display, &x, &y, &w, &h);
    *width = w;
    *height = h;
    XCloseDisplay(display);
}

bool getMonitorArea(GLFWmonitor* monitor, int* x, int* y, int* width, int* height)
{
    const GLFWvidmode* mode = monitor ? glfwGetVideoMode(monitor) : nullptr;
    if (!mode)
        return false;
    glfwGetMonitorPos(monitor, x, y);
    *width = mode->width;
    *height = mode->height;
    // The window library counts outputs; several monitors may share one, and the primary is the
    // desktop's.
    Display* display = glfwGetX11Display();
    if (display && monitor == glfwGetPrimaryMonitor())
        primaryMonitorArea(display, x, y, width, height);
    return true;
}
