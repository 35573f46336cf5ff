// Monitors: the primary one, as every part of the layer sees it.
#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <cstdint>

#include "platform/desktop/desktop.h"
#include "platform/desktop/monitor.h"

// Monitors came with RandR 1.5; asking an older server would be a protocol error.
static bool serverHasMonitors(Display* display)
{
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    return XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
           (major > 1 || (major == 1 && minor >= 5));
}

void primaryMonitorArea(Display* display, int* x, int* y, int* width, int* height)
{
    const Window root = DefaultRootWindow(display);
    *x = 0;
    *y = 0;
    *width = DisplayWidth(display, DefaultScreen(display));
    *height = DisplayHeight(display, DefaultScreen(display));
    if (!serverHasMonitors(display))
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

// A person takes a window by its title bar: all of the frame's top strip of this height must lie on
// one monitor, across a quarter of the frame's width there and never less than 64 pixels (or the
// whole of a narrower frame), as a manager keeps a window it lets be dragged off the edge.
constexpr int64_t titleStrip = 32;
constexpr int64_t leastWidthShown = 64;

static bool stripShowsOn(int64_t x, int64_t y, int64_t width, int64_t height, int64_t monitorX, int64_t monitorY,
                         int64_t monitorWidth, int64_t monitorHeight)
{
    const int64_t strip = std::min(titleStrip, height);
    const int64_t needed = std::min(width, std::max(leastWidthShown, width / 4));
    const int64_t shown = std::min(x + width, monitorX + monitorWidth) - std::max(x, monitorX);
    return y >= monitorY && y + strip <= monitorY + monitorHeight && shown >= needed;
}

bool frameWouldShow(int32_t x, int32_t y, int width, int height)
{
    Display* display = glfwGetX11Display();
    if (!display)
        return false;
    const int64_t w = std::max(width, 1), h = std::max(height, 1);
    int count = 0;
    XRRMonitorInfo* monitors =
        serverHasMonitors(display) ? XRRGetMonitors(display, DefaultRootWindow(display), True, &count) : nullptr;
    // Without monitors the root is the one.
    bool shows = count <= 0 && stripShowsOn(x, y, w, h, 0, 0, DisplayWidth(display, DefaultScreen(display)),
                                            DisplayHeight(display, DefaultScreen(display)));
    for (int i = 0; i < count && !shows; ++i)
        shows = stripShowsOn(x, y, w, h, monitors[i].x, monitors[i].y, monitors[i].width, monitors[i].height);
    if (monitors)
        XRRFreeMonitors(monitors);
    return shows;
}
