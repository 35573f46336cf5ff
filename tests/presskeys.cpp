// Presses keys on the X server from one process that stays, so that each press reaches the server
// at once, where starting a tool per press costs tens of milliseconds on a busy machine. Reads one
// key a line from stdin: an X keysym (p, space, Escape), or a key code in digits (33); for each,
// presses and releases it through XTEST into the focused window and prints the realtime in ns at
// which the server had the press (after XSync). "lock N" locks the keyboard's group N instead, as a
// layout switch does. Ends at the end of stdin.
//   presskeys
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <time.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
    Display* display = XOpenDisplay(nullptr);
    int event = 0, error = 0, major = 0, minor = 0;
    if (!display || !XTestQueryExtension(display, &event, &error, &major, &minor)) {
        std::fprintf(stderr, "presskeys: no X server with XTEST\n");
        return 1;
    }
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        line[std::strcspn(line, "\r\n")] = '\0';
        if (std::strncmp(line, "lock ", 5) == 0) {
            XkbLockGroup(display, XkbUseCoreKbd, unsigned(std::atoi(line + 5)));
            XSync(display, False);
            continue;
        }
        // One digit is the key that types it; key codes have two or three.
        const bool keycode = std::isdigit(static_cast<unsigned char>(line[0])) && line[1];
        const KeySym sym = keycode ? NoSymbol : XStringToKeysym(line);
        const KeyCode code = keycode ? KeyCode(std::atoi(line)) : sym == NoSymbol ? 0 : XKeysymToKeycode(display, sym);
        if (code == 0) {
            std::fprintf(stderr, "presskeys: no key %s\n", line);
            return 1;
        }
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        XSync(display, False);
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        XTestFakeKeyEvent(display, code, False, CurrentTime);
        XSync(display, False);
        std::printf("%lld\n", static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec);
        std::fflush(stdout);
    }
    XCloseDisplay(display);
    return 0;
}
