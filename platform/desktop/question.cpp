// The start-up question: a dialog of its own on Xlib, because the toolkit boxes at hand cannot move
// the focus between their buttons from the keyboard. Text in the desktop's font through Xft, every
// size scaled by Xft.dpi as the desktop's other dialogs are.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <X11/extensions/Xrender.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/desktop/desktop.h"
#include "platform/desktop/monitor.h"
#include "platform/desktop/session.h"
#include "platform/desktop/xutil.h"

namespace {

constexpr int buttonCount = 3;
constexpr int maxLines = 8;

struct Button {
    const char* label;
    int answer;
    int x, y, width, height;
};

// The text's font: Xft's, else the server's built-in core font, else none (the box still asks).
struct BoxFont {
    XftFont* smooth;
    XFontStruct* core;
    int ascent, descent;
};

struct Box {
    Display* display;
    Window window;
    GC gc;
    XftDraw* draw;
    BoxFont font;
    double scale;  // Xft.dpi over 96
    unsigned long background, face, border, accent;
    XftColor ink;
    const char* lines[maxLines];
    int lineLengths[maxLines];
    int lineCount;
    Button buttons[buttonCount];
    int focused;
    int armed;  // the button the pointer went down on, or -1
};

} // namespace

// A size given for 96 dpi, at the box's scale.
static int scaled(const Box& box, int size)
{
    const int result = int(size * box.scale + 0.5);
    return result > 0 ? result : 1;
}

// The resolution the desktop asks fonts and dialogs to be drawn at, from the resource database.
static double resourceDpi(Display* display)
{
    const char* resources = XResourceManagerString(display);
    if (!resources)
        return 96.0;
    XrmInitialize();
    XrmDatabase database = XrmGetStringDatabase(resources);
    char* type = nullptr;
    XrmValue value{};
    double dpi = 96.0;
    if (database && XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr) {
        const double read = std::atof(value.addr);
        if (read >= 48.0 && read <= 960.0)
            dpi = read;
    }
    if (database)
        XrmDestroyDatabase(database);
    return dpi;
}

static BoxFont openFont(const Box& box)
{
    BoxFont font{};
    // The desktop's sans-serif at 10 points, as fontconfig resolves it.
    const double pixels = 10.0 * 96.0 / 72.0 * box.scale;
    font.smooth = XftFontOpen(box.display, DefaultScreen(box.display), XFT_FAMILY, XftTypeString, "sans-serif",
                              XFT_PIXEL_SIZE, XftTypeDouble, pixels, nullptr);
    if (font.smooth) {
        font.ascent = font.smooth->ascent;
        font.descent = font.smooth->descent;
        return font;
    }
    // Built into every server; 8-bit only and not scaled, but the question still asks.
    font.core = XLoadQueryFont(box.display, "fixed");
    font.ascent = font.core ? font.core->ascent : scaled(box, 11);
    font.descent = font.core ? font.core->descent : scaled(box, 3);
    return font;
}

static void closeFont(const Box& box)
{
    if (box.font.smooth)
        XftFontClose(box.display, box.font.smooth);
    if (box.font.core)
        XFreeFont(box.display, box.font.core);
}

static int textWidth(const Box& box, const char* text, int length)
{
    if (box.font.smooth) {
        XGlyphInfo extents{};
        XftTextExtentsUtf8(box.display, box.font.smooth, reinterpret_cast<const FcChar8*>(text), length, &extents);
        return extents.xOff;
    }
    return box.font.core ? XTextWidth(box.font.core, text, length) : 0;
}

static void drawText(const Box& box, int x, int baseline, const char* text, int length)
{
    if (box.font.smooth) {
        XftDrawStringUtf8(box.draw, &box.ink, box.font.smooth, x, baseline, reinterpret_cast<const FcChar8*>(text),
                          length);
    } else if (box.font.core) {
        XSetForeground(box.display, box.gc, box.ink.pixel);
        XDrawString(box.display, box.window, box.gc, x, baseline, text, length);
    }
}

static unsigned long colour(Display* display, const char* name, unsigned long fallback)
{
    XColor exact{}, shown{};
    return XAllocNamedColor(display, DefaultColormap(display, DefaultScreen(display)), name, &shown, &exact)
               ? shown.pixel
               : fallback;
}

static void draw(const Box& box)
{
    Display* display = box.display;
    // Another client may destroy the box under the drawing; the DestroyNotify then ends the question.
    const XErrorTrap trap = trapXErrors(display);
    const int margin = scaled(box, 18), lineHeight = box.font.ascent + box.font.descent;
    XSetForeground(display, box.gc, box.background);
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, box.window, &attributes);
    XFillRectangle(display, box.window, box.gc, 0, 0, unsigned(attributes.width), unsigned(attributes.height));
    for (int i = 0; i < box.lineCount; ++i)
        drawText(box, margin, margin + box.font.ascent + i * lineHeight, box.lines[i], box.lineLengths[i]);
    const int thin = scaled(box, 1), thick = scaled(box, 2), inset = scaled(box, 4);
    for (int i = 0; i < buttonCount; ++i) {
        const Button& b = box.buttons[i];
        const bool focused = i == box.focused;
        XSetForeground(display, box.gc, i == box.armed ? box.border : box.face);
        XFillRectangle(display, box.window, box.gc, b.x, b.y, unsigned(b.width), unsigned(b.height));
        // The outline inside the button, however thick.
        const int line = focused ? thick : thin;
        XSetForeground(display, box.gc, focused ? box.accent : box.border);
        XSetLineAttributes(display, box.gc, unsigned(line), LineSolid, CapButt, JoinMiter);
        XDrawRectangle(display, box.window, box.gc, b.x + line / 2, b.y + line / 2, unsigned(b.width - line),
                       unsigned(b.height - line));
        const int length = int(std::strlen(b.label));
        drawText(box, b.x + (b.width - textWidth(box, b.label, length)) / 2,
                 b.y + (b.height + box.font.ascent - box.font.descent) / 2, b.label, length);
        if (focused) {
            XSetForeground(display, box.gc, box.ink.pixel);
            XSetLineAttributes(display, box.gc, unsigned(thin), LineOnOffDash, CapButt, JoinMiter);
            XDrawRectangle(display, box.window, box.gc, b.x + inset, b.y + inset, unsigned(b.width - 2 * inset - 1),
                           unsigned(b.height - 2 * inset - 1));
        }
    }
    XSetLineAttributes(display, box.gc, unsigned(thin), LineSolid, CapButt, JoinMiter);
    untrapXErrors(trap);
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

// In a layout without Latin letters at all, the shortcut at the key's US place, by the key's name.
static KeySym shortcutAtUsPlace(Display* display, KeyCode code)
{
    XkbDescPtr keyboard = XkbGetMap(display, 0, XkbUseCoreKbd);
    KeySym shortcut = NoSymbol;
    if (keyboard && XkbGetNames(display, XkbKeyNamesMask, keyboard) == Success && keyboard->names &&
        keyboard->names->keys && code <= keyboard->max_key_code) {
        const char* name = keyboard->names->keys[code].name;
        for (const auto& [place, symbol] : {std::pair{"AD06", XK_y}, std::pair{"AB06", XK_n}, std::pair{"AB03", XK_c}})
            if (std::strncmp(name, place, XkbKeyNameLength) == 0)
                shortcut = symbol;
    }
    if (keyboard)
        XkbFreeKeyboard(keyboard, 0, True);
    return shortcut;
}

// The key's symbol, or where it types a character in a group without Latin letters (a Cyrillic
// layout beside a US one), the letter it types in the layout's first Latin group.
static KeySym withLatinLetter(Display* display, const XKeyEvent& event, KeySym typed)
{
    KeySym lower = typed, upper = typed;
    XConvertCase(typed, &lower, &upper);
    const bool functionKey = (typed & ~KeySym(0xff)) == 0xff00;
    if ((lower >= XK_a && lower <= XK_z) || functionKey || typed == NoSymbol || event.keycode > 255)
        return typed;
    // Read at the key press: the layout may have changed since the box opened.
    LatinKeys latin;
    if (!readLatinKeys(display, &latin) || latin.groupHasLetters[XkbGroupForCoreState(event.state) & (maxGroups - 1)])
        return typed;
    for (int group = 0; group < maxGroups; ++group)
        if (latin.groupHasLetters[group]) {
            const char letter = latin.letter[group][event.keycode];
            return letter ? XK_a + KeySym(letter - 'a') : typed;
        }
    const KeySym shortcut = shortcutAtUsPlace(display, KeyCode(event.keycode));
    return shortcut != NoSymbol ? shortcut : typed;
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
    int widest = 0;
    for (int i = 0; i < box.lineCount; ++i) {
        const int w = textWidth(box, box.lines[i], box.lineLengths[i]);
        widest = w > widest ? w : widest;
    }
    const int margin = scaled(box, 18), gap = scaled(box, 10);
    const int lineHeight = box.font.ascent + box.font.descent;
    int buttonWidth = scaled(box, 80);
    for (const Button& b : box.buttons) {
        const int w = textWidth(box, b.label, int(std::strlen(b.label))) + scaled(box, 32);
        buttonWidth = w > buttonWidth ? w : buttonWidth;
    }
    const int buttonHeight = lineHeight + scaled(box, 14) > scaled(box, 28) ? lineHeight + scaled(box, 14)
                                                                            : scaled(box, 28);
    const int rowWidth = buttonCount * buttonWidth + (buttonCount - 1) * gap;
    *width = 2 * margin + (widest > rowWidth ? widest : rowWidth);
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
    const DesktopAtoms atoms = desktopAtoms(display);
    XStoreName(display, box.window, caption);
    XChangeProperty(display, box.window, atoms.wmName, atoms.utf8String, 8, PropModeReplace,
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
    XChangeProperty(display, box.window, atoms.windowType, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&atoms.windowTypeDialog), 1);
    Atom closing = atoms.wmDeleteWindow;
    XSetWMProtocols(display, box.window, &closing, 1);
}

int askYesNoCancel(const char* caption, const char* text)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return 0;
    // xkill on the box ends its connection alone: the question then ends as Cancel.
    letConnectionEnd(display);
    const int screen = DefaultScreen(display);
    Visual* visual = DefaultVisual(display, screen);
    const Colormap colormap = DefaultColormap(display, screen);
    // Xft frees its fonts when the display closes, through the rendering extension, whose own
    // close hook must run after Xft's, or it is brought back for a connection already gone and
    // the window library's connection, opened next, inherits it. Hooks run newest first.
    int renderEvents = 0, renderErrors = 0;
    XRenderQueryExtension(display, &renderEvents, &renderErrors);
    Box box{};
    box.display = display;
    box.scale = resourceDpi(display) / 96.0;
    box.font = openFont(box);
    box.background = colour(display, "#ececec", WhitePixel(display, screen));
    box.face = colour(display, "#fafafa", WhitePixel(display, screen));
    box.border = colour(display, "#b0b0b0", BlackPixel(display, screen));
    box.accent = colour(display, "#3584e4", BlackPixel(display, screen));
    const bool inkAllocated = XftColorAllocName(display, visual, colormap, "#202020", &box.ink);
    if (!inkAllocated) {
        box.ink.pixel = BlackPixel(display, screen);
        box.ink.color = {0, 0, 0, 0xffff};
    }
    box.buttons[0] = {"Yes", answerYes, 0, 0, 0, 0};
    box.buttons[1] = {"No", answerNo, 0, 0, 0, 0};
    box.buttons[2] = {"Cancel", answerCancel, 0, 0, 0, 0};
    box.focused = 0;
    box.armed = -1;
    int width = 0, height = 0;
    layOut(box, text, &width, &height);

    int areaX = 0, areaY = 0, areaWidth = 0, areaHeight = 0;
    primaryMonitorArea(display, &areaX, &areaY, &areaWidth, &areaHeight);
    // Too large for the monitor at the resolution asked for, drawn as large as fits with room for
    // a manager's frame. Text does not shrink quite in proportion, so measured again.
    const int fitWidth = areaWidth * 9 / 10, fitHeight = areaHeight * 9 / 10;
    for (int tries = 0; tries < 4 && (width > fitWidth || height > fitHeight); ++tries) {
        box.scale *= std::min(double(fitWidth) / width, double(fitHeight) / height) * (tries == 0 ? 1.0 : 0.97);
        closeFont(box);
        box.font = openFont(box);
        layOut(box, text, &width, &height);
    }
    const int x = areaX + (areaWidth - width) / 2, y = areaY + (areaHeight - height) / 2;
    box.window = XCreateSimpleWindow(display, RootWindow(display, screen), x, y, unsigned(width),
                                     unsigned(height), 0, box.border, box.background);
    announce(box, caption, x, y, width, height);
    XSelectInput(display, box.window,
                 ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
    box.gc = XCreateGC(display, box.window, 0, nullptr);
    if (box.font.core)
        XSetFont(display, box.gc, box.font.core->fid);
    if (box.font.smooth)
        box.draw = XftDrawCreate(display, box.window, visual, colormap);
    XMapRaised(display, box.window);

    const DesktopAtoms atoms = desktopAtoms(display);
    int answer = 0;
    while (answer == 0) {
        // A request of the session to end the run ends the question as Cancel, at once.
        if (closeRequested()) {
            answer = answerCancel;
            break;
        }
        if (!XPending(display)) {
            pollfd waits[2] = {{ConnectionNumber(display), POLLIN, 0}, {sessionEndFd(), POLLIN, 0}};
            poll(waits, waits[1].fd >= 0 ? 2 : 1, -1);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        switch (event.type) {
        case MapNotify: {
            // Without a window manager nobody else gives a new window the focus. A manager may have
            // hidden it again by now, which makes the request fail harmlessly.
            const XErrorTrap trap = trapXErrors(display);
            XSetInputFocus(display, box.window, RevertToParent, CurrentTime);
            untrapXErrors(trap);
            break;
        }
        case Expose:
            if (event.xexpose.count == 0)
                draw(box);
            break;
        case KeyPress: {
            char ignored[8];
            KeySym key = NoSymbol;
            XLookupString(&event.xkey, ignored, sizeof ignored, &key, nullptr);
            const int focusedBefore = box.focused;
            answer = keyAnswer(box, withLatinLetter(display, event.xkey, key));
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
            if (event.xclient.message_type == atoms.wmProtocols && Atom(event.xclient.data.l[0]) == atoms.wmDeleteWindow)
                answer = answerCancel;
            break;
        case DestroyNotify:
            answer = answerCancel;
            break;
        default:
            break;
        }
    }
    // The box may be gone already.
    const XErrorTrap trap = trapXErrors(display);
    if (box.draw)
        XftDrawDestroy(box.draw);
    closeFont(box);
    if (inkAllocated)
        XftColorFree(display, visual, colormap, &box.ink);
    XFreeGC(display, box.gc);
    XDestroyWindow(display, box.window);
    untrapXErrors(trap);
    XCloseDisplay(display);
    // Nothing else in the run draws text: fontconfig's configuration and caches go with the box.
    if (box.font.smooth)
        FcFini();
    return answer;
}
