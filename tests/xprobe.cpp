// Asks the X server what a person would see: the cursor, a window's outer frame, the focus.
//   xprobe cursor            "hidden" or "visible": the cursor image under the pointer
//   xprobe frame WINDOW      "X Y": top-left corner of the window's outer frame on the root, as the
//                            running manager publishes it, else as its frame window shows it
//   xprobe close WINDOW      asks the window manager to close the window, as its close button does
//   xprobe resizable WINDOW  "yes" or "no", from the size hints
//   xprobe saver             "on", "off" or "disabled": the X server's screen saver now
//   xprobe checkwindow WINDOW  names WINDOW on the root as a window manager's check window, as a
//                            manager does (whether or not WINDOW names itself back)
//   xprobe destroy create|map W H  destroys the next top-level window of W x H pixels as it is
//                            created, or on its first MapNotify; "destroyed", or nothing after 20 s
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/scrnsaver.h>

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

static Window topLevel(Display* display, Window window)
{
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    while (XQueryTree(display, window, &root, &parent, &children, &count)) {
        if (children)
            XFree(children);
        if (parent == root || parent == 0)
            return window;
        window = parent;
    }
    return window;
}

static bool frameExtents(Display* display, Window window, long* left, long* top)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, window, XInternAtom(display, "_NET_FRAME_EXTENTS", False), 0, 4, False,
                       XA_CARDINAL, &type, &format, &count, &after, &data);
    const bool got = count == 4 && format == 32;
    if (got) {
        *left = reinterpret_cast<long*>(data)[0];
        *top = reinterpret_cast<long*>(data)[2];
    }
    if (data)
        XFree(data);
    return got;
}

// The window a window's _NET_SUPPORTING_WM_CHECK names, or 0.
static Window checkWindow(Display* display, Window window)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, window, XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False), 0, 1, False,
                       XA_WINDOW, &type, &format, &count, &after, &data);
    const Window named = count == 1 && format == 32 ? Window(reinterpret_cast<long*>(data)[0]) : 0;
    if (data)
        XFree(data);
    return named;
}

static bool hasNetManager(Display* display)
{
    return checkWindow(display, DefaultRootWindow(display)) != 0;
}

// A manager that died leaves its name on the root and its extents on the windows it framed.
static bool managerAlive(Display* display)
{
    const Window named = checkWindow(display, DefaultRootWindow(display));
    return named && checkWindow(display, named) == named;
}

static int ignoreError(Display*, XErrorEvent*)
{
    return 0;
}

static bool nextEvent(Display* display, XEvent* event, int* millisecondsLeft)
{
    while (!XPending(display)) {
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        if (*millisecondsLeft <= 0 || poll(&fd, 1, 10) < 0)
            return false;
        *millisecondsLeft -= 10;
    }
    XNextEvent(display, event);
    return true;
}

// As another client may: destroys a window of the size asked at once, or as soon as it is mapped.
static bool destroyWindow(Display* display, bool atMap, int width, int height)
{
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);
    int left = 20000;
    XEvent event{};
    while (nextEvent(display, &event, &left)) {
        if (event.type == CreateNotify && event.xcreatewindow.width == width && event.xcreatewindow.height == height) {
            const Window window = event.xcreatewindow.window;
            if (atMap)
                XSelectInput(display, window, StructureNotifyMask);
            else
                XDestroyWindow(display, window);
            XSync(display, False);
            if (!atMap)
                return true;
        } else if (atMap && event.type == MapNotify && event.xmap.event == event.xmap.window) {
            XDestroyWindow(display, event.xmap.window);
            XSync(display, False);
            return true;
        }
    }
    return false;
}

int main(int argc, char** argv)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display || argc < 2) {
        std::fprintf(stderr, "usage: xprobe cursor|frame W|close W|resizable W|saver|checkwindow W|compositor|destroy create|map W H\n");
        return 2;
    }
    // A window named on the root may be gone.
    XSetErrorHandler(ignoreError);
    const Window root = DefaultRootWindow(display);
    const std::string_view command = argv[1];
    const Window window = argc > 2 ? Window(std::strtoul(argv[2], nullptr, 0)) : 0;

    if (command == "cursor") {
        XFixesCursorImage* image = XFixesGetCursorImage(display);
        bool visible = false;
        for (int i = 0; image && i < image->width * image->height; ++i)
            visible = visible || (image->pixels[i] >> 24) != 0;
        std::printf("%s\n", visible ? "visible" : "hidden");
    } else if (command == "frame") {
        // The frame the manager publishes, where it does: some draw invisible borders outside it.
        int x = 0, y = 0;
        Window child = 0;
        XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child);
        long left = 0, top = 0;
        if (!managerAlive(display) || !frameExtents(display, window, &left, &top)) {
            const Window frame = topLevel(display, window);
            XWindowAttributes attributes{};
            XGetWindowAttributes(display, frame, &attributes);
            int frameX = 0, frameY = 0;
            XTranslateCoordinates(display, frame, root, 0, 0, &frameX, &frameY, &child);
            left = x - (frameX - attributes.border_width);
            top = y - (frameY - attributes.border_width);
        }
        std::printf("%ld %ld\n", x - left, y - top);
    } else if (command == "close" && !hasNetManager(display)) {
        // A manager without the desktop conventions closes a window as its delete button does.
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
    } else if (command == "close") {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "_NET_CLOSE_WINDOW", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = CurrentTime;
        event.xclient.data.l[1] = 2;  // from a pager or taskbar, as a person's click
        XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    } else if (command == "resizable") {
        XSizeHints hints{};
        long supplied = 0;
        XGetWMNormalHints(display, window, &hints, &supplied);
        const bool fixed = (hints.flags & PMinSize) && (hints.flags & PMaxSize) &&
                           hints.min_width == hints.max_width && hints.min_height == hints.max_height;
        std::printf("%s\n", fixed ? "no" : "yes");
    } else if (command == "compositor") {
        // A compositing manager owns the screen's _NET_WM_CM_Sn selection.
        const std::string selection = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display));
        const Atom atom = XInternAtom(display, selection.c_str(), False);
        std::printf("%s\n", XGetSelectionOwner(display, atom) != None ? "yes" : "no");
    } else if (command == "saver") {
        XScreenSaverInfo info{};
        XScreenSaverQueryInfo(display, root, &info);
        std::printf("%s\n", info.state == ScreenSaverOn ? "on" : info.state == ScreenSaverOff ? "off" : "disabled");
    } else if (command == "destroy" && argc == 5) {
        if (!destroyWindow(display, std::string_view(argv[2]) == "map", std::atoi(argv[3]), std::atoi(argv[4])))
            return 1;
        std::printf("destroyed\n");
    } else if (command == "checkwindow") {
        const long named = long(window);
        XChangeProperty(display, root, XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False), XA_WINDOW, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&named), 1);
    } else {
        return 2;
    }
    XCloseDisplay(display);
    return 0;
}
