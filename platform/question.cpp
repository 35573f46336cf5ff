// The start-up question: a dialog of its own on Xlib, because the toolkit boxes at hand cannot move
// the focus between their buttons from the keyboard.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstring>
#include <initializer_list>

#include "platform/desktop.h"
#include "platform/monitor.h"

namespace {

constexpr int buttonCount = 3;
constexpr int margin = 18;
constexpr int gap = 10;
constexpr int maxLines = 8;

struct Button {
    const char* label;
    int answer;
    int x, y, width, height;
};

struct Box {
    Display* display;
    Window window;
    GC gc;
    XFontStruct* font;
    unsigned long background, face, border, ink, accent;
    const char* lines[maxLines];
    int lineLengths[maxLines];
    int lineCount;
    Button buttons[buttonCount];
    int focused;
    int armed;  // the button the pointer went down on, or -1
};

} // namespace

static int ignoreError(Display*, XErrorEvent*)
{
    return 0;
}

static unsigned long colour(Display* display, const char* name, unsigned long fallback)
{
    XColor exact{}, shown{};
    return XAllocNamedColor(display, DefaultColormap(display, DefaultScreen(display)), name, &shown, &exact)
               ? shown.pixel
               : fallback;
}

static XFontStruct* loadFont(Display* display)
{
    for (const char* name : {"-*-dejavu sans-medium-r-normal--*-100-*-*-*-*-iso10646-1",
                             "-*-helvetica-medium-r-normal--12-*-*-*-*-*-iso8859-1", "variable", "fixed"})
        if (XFontStruct* font = XLoadQueryFont(display, name))
            return font;
    return nullptr;
}

static void draw(const Box& box)
{
    Display* display = box.display;
    const int ascent = box.font->ascent, lineHeight = box.font->ascent + box.font->descent;
    XSetForeground(display, box.gc, box.background);
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, box.window, &attributes);
    XFillRectangle(display, box.window, box.gc, 0, 0, unsigned(attributes.width), unsigned(attributes.height));
    XSetForeground(display, box.gc, box.ink);
    for (int i = 0; i < box.lineCount; ++i)
        XDrawString(display, box.window, box.gc, margin, margin + ascent + i * lineHeight, box.lines[i],
                    box.lineLengths[i]);
    for (int i = 0; i < buttonCount; ++i) {
        const Button& b = box.buttons[i];
        const bool focused = i == box.focused;
        XSetForeground(display, box.gc, i == box.armed ? box.border : box.face);
        XFillRectangle(display, box.window, box.gc, b.x, b.y, unsigned(b.width), unsigned(b.height));
        XSetForeground(display, box.gc, focused ? box.accent : box.border);
        XSetLineAttributes(display, box.gc, focused ? 2 : 1, LineSolid, CapButt, JoinMiter);
        XDrawRectangle(display, box.window, box.gc, b.x, b.y, unsigned(b.width - 1), unsigned(b.height - 1));
        const int length = int(std::strlen(b.label));
        const int textWidth = XTextWidth(box.font, b.label, length);
        XSetForeground(display, box.gc, box.ink);
        XDrawString(display, box.window, box.gc, b.x + (b.width - textWidth) / 2,
                    b.y + (b.height + box.font->ascent - box.font->descent) / 2, b.label, length);
        if (focused) {
            XSetLineAttributes(display, box.gc, 1, LineOnOffDash, CapButt, JoinMiter);
            XDrawRectangle(display, box.window, box.gc, b.x + 4, b.y + 4, unsigned(b.width - 9),
                           unsigned(b.height - 9));
        }
    }
    XSetLineAttributes(display, box.gc, 1, LineSolid, CapButt, JoinMiter);
}

static int buttonAt(const Box& box, int x, int y)
{
    for (int i = 0; i < buttonCount; ++i) {
        const Button& b = box.buttons[i];
        if (x >= b.x && x < b.x + b.width && y >= b.y && y < b.y + b.height)
            return i;
    }
    return -1;
}

// What a key does: an answer, or 0 after moving the focus (or for a key that does nothing).
static int keyAnswer(Box& box, KeySym key)
{
    switch (key) {
    case XK_Tab: case XK_Right: case XK_Down:
        box.focused = (box.focused + 1) % buttonCount;
        return 0;
    case XK_ISO_Left_Tab: case XK_Left: case XK_Up:
        box.focused = (box.focused + buttonCount - 1) % buttonCount;
        return 0;
    case XK_Return: case XK_KP_Enter: case XK_space: case XK_KP_Space:
        return box.buttons[box.focused].answer;
    case XK_Escape: case XK_c: case XK_C:
        return answerCancel;
    case XK_y: case XK_Y:
        return answerYes;
    case XK_n: case XK_N:
        return answerNo;
    default:
        return 0;
    }
}

// Lays out the text and the buttons, and says how big the box is.
static void layOut(Box& box, const char* text, int* width, int* height)
{
    box.lineCount = 0;
    for (const char* line = text; line && box.lineCount < maxLines;) {
        const char* end = std::strchr(line, '\n');
        box.lines[box.lineCount] = line;
        box.lineLengths[box.lineCount] = end ? int(end - line) : int(std::strlen(line));
        ++box.lineCount;
        line = end ? end + 1 : nullptr;
    }
    int textWidth = 0;
    for (int i = 0; i < box.lineCount; ++i) {
        const int w = XTextWidth(box.font, box.lines[i], box.lineLengths[i]);
        textWidth = w > textWidth ? w : textWidth;
    }
    const int lineHeight = box.font->ascent + box.font->descent;
    int buttonWidth = 80;
    for (const Button& b : box.buttons) {
        const int w = XTextWidth(box.font, b.label, int(std::strlen(b.label))) + 32;
        buttonWidth = w > buttonWidth ? w : buttonWidth;
    }
    const int buttonHeight = lineHeight + 14 > 28 ? lineHeight + 14 : 28;
    const int rowWidth = buttonCount * buttonWidth + (buttonCount - 1) * gap;
    *width = 2 * margin + (textWidth > rowWidth ? textWidth : rowWidth);
    *height = 2 * margin + box.lineCount * lineHeight + margin + buttonHeight;
    // The buttons in a row at the bottom, right-aligned as desktop dialogs have them.
    for (int i = 0; i < buttonCount; ++i) {
        Button& b = box.buttons[i];
        b.width = buttonWidth;
        b.height = buttonHeight;
        b.x = *width - margin - rowWidth + i * (buttonWidth + gap);
        b.y = *height - margin - buttonHeight;
    }
}

static void announce(Box& box, const char* caption, int x, int y, int width, int height)
{
    Display* display = box.display;
    XStoreName(display, box.window, caption);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    XChangeProperty(display, box.window, XInternAtom(display, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(caption), int(std::strlen(caption)));
    char name[] = "question", className[] = "Quillvane";
    XClassHint classHint{name, className};
    XSetClassHint(display, box.window, &classHint);
    XSizeHints* size = XAllocSizeHints();
    size->flags = PPosition | PSize | PMinSize | PMaxSize;
    size->x = x;
    size->y = y;
    size->width = size->min_width = size->max_width = width;
    size->height = size->min_height = size->max_height = height;
    XSetWMNormalHints(display, box.window, size);
    XFree(size);
    XWMHints* hints = XAllocWMHints();
    hints->flags = InputHint | StateHint;
    hints->input = True;
    hints->initial_state = NormalState;
    XSetWMHints(display, box.window, hints);
    XFree(hints);
    const Atom dialog = XInternAtom(display, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    XChangeProperty(display, box.window, XInternAtom(display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&dialog), 1);
    Atom closing = XInternAtom(display, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(display, box.window, &closing, 1);
}

int askYesNoCancel(const char* caption, const char* text)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return 0;
    XErrorHandler previous = XSetErrorHandler(ignoreError);
    Box box{};
    box.display = display;
    box.font = loadFont(display);
    if (!box.font) {
        XCloseDisplay(display);
        XSetErrorHandler(previous);
        return 0;
    }
    const int screen = DefaultScreen(display);
    box.background = colour(display, "#ececec", WhitePixel(display, screen));
    box.face = colour(display, "#fafafa", WhitePixel(display, screen));
    box.border = colour(display, "#b0b0b0", BlackPixel(display, screen));
    box.ink = colour(display, "#202020", BlackPixel(display, screen));
    box.accent = colour(display, "#3584e4", BlackPixel(display, screen));
    box.buttons[0] = {"Yes", answerYes, 0, 0, 0, 0};
    box.buttons[1] = {"No", answerNo, 0, 0, 0, 0};
    box.buttons[2] = {"Cancel", answerCancel, 0, 0, 0, 0};
    box.focused = 0;
    box.armed = -1;
    int width = 0, height = 0;
    layOut(box, text, &width, &height);

    int areaX = 0, areaY = 0, areaWidth = 0, areaHeight = 0;
    primaryMonitorArea(display, &areaX, &areaY, &areaWidth, &areaHeight);
    const int x = areaX + (areaWidth - width) / 2, y = areaY + (areaHeight - height) / 2;
    box.window = XCreateSimpleWindow(display, RootWindow(display, screen), x, y, unsigned(width),
                                     unsigned(height), 0, box.border, box.background);
    announce(box, caption, x, y, width, height);
    XSelectInput(display, box.window,
                 ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
    box.gc = XCreateGC(display, box.window, 0, nullptr);
    XSetFont(display, box.gc, box.font->fid);
    XMapRaised(display, box.window);

    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom closing = XInternAtom(display, "WM_DELETE_WINDOW", False);
    int answer = 0;
    while (answer == 0) {
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case MapNotify:
            // Without a window manager nobody else gives a new window the focus. A manager may have
            // hidden it again by now, which makes this fail harmlessly.
            XSetInputFocus(display, box.window, RevertToParent, CurrentTime);
            break;
        case Expose:
            if (event.xexpose.count == 0)
                draw(box);
            break;
        case KeyPress: {
            char ignored[8];
            KeySym key = NoSymbol;
            XLookupString(&event.xkey, ignored, sizeof ignored, &key, nullptr);
            const int focusedBefore = box.focused;
            answer = keyAnswer(box, key);
            if (box.focused != focusedBefore)
                draw(box);
            break;
        }
        case ButtonPress:
            if (event.xbutton.button == Button1) {
                box.armed = buttonAt(box, event.xbutton.x, event.xbutton.y);
                if (box.armed >= 0)
                    box.focused = box.armed;
                draw(box);
            }
            break;
        case ButtonRelease:
            if (event.xbutton.button == Button1 && box.armed >= 0) {
                if (buttonAt(box, event.xbutton.x, event.xbutton.y) == box.armed)
                    answer = box.buttons[box.armed].answer;
                box.armed = -1;
                draw(box);
            }
            break;
        case ClientMessage:
            if (event.xclient.message_type == protocols && Atom(event.xclient.data.l[0]) == closing)
                answer = answerCancel;
            break;
        case DestroyNotify:
            answer = answerCancel;
            break;
        default:
            break;
        }
    }
    XFreeGC(display, box.gc);
    XDestroyWindow(display, box.window);
    XFreeFont(display, box.font);
    XCloseDisplay(display);
    XSetErrorHandler(previous);
    return answer;
}
