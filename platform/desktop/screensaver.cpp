// Keeps the screen awake while the music plays: the X server's own saver is suspended and, where
// the session bus offers org.freedesktop.ScreenSaver, an inhibition is held. The X requests and the
// bus's round trips happen on a thread of its own; the frame that changes the state only stores a
// flag and writes one byte to a pipe.
#include "platform/desktop/desktop.h"
#include "platform/desktop/xutil.h"

#include <GLFW/glfw3.h>
#define GLFW_EXPOSE_NATIVE_X11
#include <GLFW/glfw3native.h>
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

namespace {

struct ScreenKeeper {
    std::thread thread;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::atomic<bool> wanted{false};
    std::atomic<bool> quit{false};
    // Posted as the keeper's thread ends. A thread that has not ended in time is left, stuck in a
    // library call, and no keeper starts again.
    sem_t ended;
    bool left = false;
    // The session bus, read before any thread could change the environment (the music service
    // names none to the process).
    std::string address;
    // The caller's last request, the caller's thread only.
    bool requested = false;
    // The X server's saver settings before the window existed: the window library turns the saver
    // off for a fullscreen window, and a paused run gives them back.
    int savedTimeout = 0;
    int savedInterval = 0;
    int savedBlanking = 0;
    int savedExposures = 0;
    // The keeper's thread only. The suspension belongs to this connection and ends with it.
    Display* display = nullptr;
    bool xHeld = false;
    DBusConnection* bus = nullptr;
    // The inhibition: asked for (its call's serial, until the answer, however late), then held (its
    // cookie). One that comes after the music stopped is given back at once; none is asked for
    // while an answer is due, so that inhibitions never pile up.
    dbus_uint32_t inhibitSerial = 0;
    std::chrono::steady_clock::time_point inhibitAsked{};
    // Asked once since the music last started: a service that refused or never answered is not
    // asked again until it starts again.
    bool askedThisPlay = false;
    dbus_uint32_t cookie = 0;
    bool inhibited = false;
};

ScreenKeeper keeper;

constexpr const char* saverName = "org.freedesktop.ScreenSaver";
constexpr const char* saverPath = "/org/freedesktop/ScreenSaver";
// A service that hangs must not hold the end of the run for long.
constexpr int busTimeoutMs = 500;
// At the end, how long after its call an answer still due is waited for, so that its cookie is
// given back. Past that the connection closes, and a service drops what a client gone held, as the
// freedesktop idle-inhibition service does and the desktops' services do.
constexpr int endAnswerMs = 5000;

} // namespace

static void closeBus(DBusConnection* bus)
{
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
}

// The session bus the desktop announces, without libdbus's fallback of launching one of its own;
// empty where there is none.
static std::string sessionBusAddress()
{
    if (const char* announced = std::getenv("DBUS_SESSION_BUS_ADDRESS"); announced && *announced)
        return announced;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::string socket = std::string(runtime) + "/bus";
        struct stat info {};
        if (stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
            return "unix:path=" + socket;
    }
    return "";
}

static DBusConnection* openSessionBus()
{
    if (keeper.address.empty())
        return nullptr;
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_connection_open_private(keeper.address.c_str(), &error);
    dbus_error_free(&error);
    if (!bus)
        return nullptr;
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    // Sending would wait for the handshake without a limit; a bus that hangs gets our short one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busTimeoutMs);
    while (dbus_connection_get_is_connected(bus) && !dbus_connection_get_is_authenticated(bus)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        dbus_connection_read_write(bus, int(left));
    }
    if (!dbus_connection_get_is_authenticated(bus)) {
        closeBus(bus);
        return nullptr;
    }
    // The bus's greeting, as dbus_bus_register sends it but with our short timeout: a bus that
    // hangs would otherwise hold the end of the run for 25 seconds.
    DBusMessage* hello = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello");
    DBusMessage* welcome =
        hello ? dbus_connection_send_with_reply_and_block(bus, hello, busTimeoutMs, &error) : nullptr;
    dbus_error_free(&error);
    if (hello)
        dbus_message_unref(hello);
    if (!welcome) {
        closeBus(bus);
        return nullptr;
    }
    dbus_message_unref(welcome);
    return bus;
}

// Sends a call to the screen saver service; its serial, 0 where it could not be sent.
static dbus_uint32_t sendToSaver(const char* method, int firstType, ...)
{
    if (!keeper.bus || !dbus_connection_get_is_connected(keeper.bus))
        return 0;
    DBusMessage* call = dbus_message_new_method_call(saverName, saverPath, saverName, method);
    if (!call)
        return 0;
    // A desktop without the service is not asked to start one.
    dbus_message_set_auto_start(call, FALSE);
    va_list arguments;
    va_start(arguments, firstType);
    const bool built = dbus_message_append_args_valist(call, firstType, arguments);
    va_end(arguments);
    dbus_uint32_t serial = 0;
    if (!built || !dbus_connection_send(keeper.bus, call, &serial))
        serial = 0;
    dbus_message_unref(call);
    dbus_connection_flush(keeper.bus);
    return serial;
}

// Reads what the bus sent: the answer to Inhibit, when it came; everything else (the answers to
// UnInhibit, the bus's signals) is dropped.
static void readBus()
{
    if (!keeper.bus)
        return;
    if (!dbus_connection_read_write(keeper.bus, 0))
        keeper.inhibitSerial = 0;  // the bus is gone, and with it every inhibition
    while (DBusMessage* message = dbus_connection_pop_message(keeper.bus)) {
        if (keeper.inhibitSerial && dbus_message_get_reply_serial(message) == keeper.inhibitSerial) {
            dbus_uint32_t cookie = 0;
            if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_RETURN &&
                dbus_message_get_args(message, nullptr, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID)) {
                keeper.cookie = cookie;
                keeper.inhibited = true;
            }
            keeper.inhibitSerial = 0;
        }
        dbus_message_unref(message);
    }
}

// Asks for the inhibition or gives it back, as wanted, once any answer to an earlier ask is in.
static void settleInhibition(bool wanted)
{
    if (!wanted)
        keeper.askedThisPlay = false;
    if (keeper.inhibitSerial)
        return;
    if (wanted && !keeper.inhibited && !keeper.askedThisPlay) {
        keeper.askedThisPlay = true;
        const char* application = "Quillvane";
        const char* reason = "Playing music";
        keeper.inhibitSerial =
            sendToSaver("Inhibit", DBUS_TYPE_STRING, &application, DBUS_TYPE_STRING, &reason, DBUS_TYPE_INVALID);
        keeper.inhibitAsked = std::chrono::steady_clock::now();
    } else if (!wanted) {
        if (keeper.inhibited)
            sendToSaver("UnInhibit", DBUS_TYPE_UINT32, &keeper.cookie, DBUS_TYPE_INVALID);
        keeper.inhibited = false;
    }
}

static void holdXSaver(bool hold)
{
    if (!keeper.display)
        return;
    XScreenSaverSuspend(keeper.display, hold ? True : False);
    if (!hold && keeper.savedTimeout > 0) {
        int timeout = 0, interval = 0, blanking = 0, exposures = 0;
        XGetScreenSaver(keeper.display, &timeout, &interval, &blanking, &exposures);
        if (timeout == 0)
            XSetScreenSaver(keeper.display, keeper.savedTimeout, keeper.savedInterval, keeper.savedBlanking,
                            keeper.savedExposures);
    }
    XFlush(keeper.display);
}

static void runKeeper()
{
    keeper.bus = openSessionBus();
    keeper.display = XOpenDisplay(nullptr);
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    // Suspending came with version 1.1 of the extension; asking an older server is a protocol error.
    if (keeper.display && (!XScreenSaverQueryExtension(keeper.display, &eventBase, &errorBase) ||
                           !XScreenSaverQueryVersion(keeper.display, &major, &minor) ||
                           (major == 1 && minor < 1) || major < 1)) {
        XCloseDisplay(keeper.display);
        keeper.display = nullptr;
    }
    int busFd = -1;
    if (keeper.bus && !dbus_connection_get_socket(keeper.bus, &busFd))
        busFd = -1;
    for (;;) {
        // Woken by a request, or by the bus while an answer is due; at the end, at the latest
        // when the wait for it ends.
        pollfd waits[2] = {{keeper.wakeRead, POLLIN, 0}, {busFd, POLLIN, 0}};
        const bool awaiting = keeper.inhibitSerial != 0 && busFd >= 0;
        int timeout = -1;
        if (awaiting && keeper.quit.load()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                keeper.inhibitAsked + std::chrono::milliseconds(endAnswerMs) - std::chrono::steady_clock::now());
            timeout = left.count() > 0 ? int(left.count()) + 1 : 0;
        }
        poll(waits, awaiting ? 2 : 1, timeout);
        char drained[64];
        while (read(keeper.wakeRead, drained, sizeof drained) > 0) {
        }
        readBus();
        const bool quitting = keeper.quit.load();
        const bool wanted = keeper.wanted.load() && !quitting;
        if (wanted != keeper.xHeld) {
            holdXSaver(wanted);
            keeper.xHeld = wanted;
        }
        settleInhibition(wanted);
        if (quitting && (!keeper.inhibitSerial || busFd < 0 ||
                         std::chrono::steady_clock::now() - keeper.inhibitAsked >= std::chrono::milliseconds(endAnswerMs)))
            break;
    }
    if (keeper.display)
        XCloseDisplay(keeper.display);
    keeper.display = nullptr;
    if (keeper.bus)
        closeBus(keeper.bus);
    keeper.bus = nullptr;
    sem_post(&keeper.ended);
}

static void wakeKeeper()
{
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t written = write(keeper.wakeWrite, &byte, 1);
}


void startScreenKeeper()
{
    if (keeper.thread.joinable() || keeper.left)
        return;
    if (Display* display = glfwGetX11Display())
        XGetScreenSaver(display, &keeper.savedTimeout, &keeper.savedInterval, &keeper.savedBlanking,
                        &keeper.savedExposures);
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0)
        return;
    keeper.wakeRead = wake[0];
    keeper.wakeWrite = wake[1];
    sem_init(&keeper.ended, 0, 0);
    keeper.address = sessionBusAddress();
    keeper.requested = false;
    keeper.wanted = false;
    keeper.quit = false;
    keeper.thread = std::thread(runKeeper);
}

void keepScreenAwake(bool awake)
{
    if (awake == keeper.requested || !keeper.thread.joinable())
        return;
    keeper.requested = awake;
    keeper.wanted.store(awake);
    wakeKeeper();
}

void stopScreenKeeper()
{
    if (!keeper.thread.joinable())
        return;
    keeper.quit.store(true);
    wakeKeeper();
    // HACK: libdbus 1.14 takes its global bus lock whenever any connection, a private one too, is
    // found disconnected (notify_disconnected_unlocked), and another library's dbus_bus_get may hold
    // that lock for good on a bus that hangs. The run's end does not wait on such a library call.
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += (endAnswerMs + 2 * busTimeoutMs) / 1000 + 2;
    int waited = 0;
    while ((waited = sem_clockwait(&keeper.ended, CLOCK_MONOTONIC, &until)) != 0 && errno == EINTR) {
    }
    if (waited != 0) {
        keeper.thread.detach();
        keeper.left = true;
        return;
    }
    keeper.thread.join();
    sem_destroy(&keeper.ended);
    close(keeper.wakeRead);
    close(keeper.wakeWrite);
    keeper.wakeRead = keeper.wakeWrite = -1;
}
