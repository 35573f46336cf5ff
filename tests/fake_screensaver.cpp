// A desktop's screen saver service on the session bus, for the tests: owns
// org.freedesktop.ScreenSaver and prints one line a call as it comes, "Inhibit APPLICATION COOKIE"
// or "UnInhibit COOKIE". With "refuse", every call is answered with an error instead; with
// "delay MS", every answer is sent that many milliseconds late, the calls still read at once.
//   fake_screensaver [refuse] [delay MS]
#include <dbus/dbus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv)
{
    bool refuse = false;
    int delayMs = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "refuse") == 0)
            refuse = true;
        else if (std::strcmp(argv[i], "delay") == 0 && i + 1 < argc)
            delayMs = std::atoi(argv[++i]);
    }
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_bus_get(DBUS_BUS_SESSION, &error);
    if (!bus || dbus_bus_request_name(bus, "org.freedesktop.ScreenSaver", DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
                    DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::fprintf(stderr, "fake_screensaver: %s\n", error.message ? error.message : "name taken");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    dbus_uint32_t next = 1;
    std::deque<std::pair<Clock::time_point, DBusMessage*>> answers;
    for (;;) {
        int wait = -1;
        if (!answers.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(answers.front().first - Clock::now());
            wait = left.count() > 0 ? int(left.count()) : 0;
        }
        if (!dbus_connection_read_write(bus, wait))
            break;
        while (DBusMessage* message = dbus_connection_pop_message(bus)) {
            DBusMessage* reply = nullptr;
            const char* application = "";
            const char* reason = "";
            dbus_uint32_t cookie = 0;
            if (dbus_message_is_method_call(message, "org.freedesktop.ScreenSaver", "Inhibit") &&
                dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &application, DBUS_TYPE_STRING, &reason,
                                      DBUS_TYPE_INVALID)) {
                std::printf("Inhibit %s %u\n", application, next);
                reply = refuse ? dbus_message_new_error(message, DBUS_ERROR_ACCESS_DENIED, "refused")
                               : dbus_message_new_method_return(message);
                if (!refuse)
                    dbus_message_append_args(reply, DBUS_TYPE_UINT32, &next, DBUS_TYPE_INVALID);
                ++next;
            } else if (dbus_message_is_method_call(message, "org.freedesktop.ScreenSaver", "UnInhibit") &&
                       dbus_message_get_args(message, nullptr, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID)) {
                std::printf("UnInhibit %u\n", cookie);
                reply = refuse ? dbus_message_new_error(message, DBUS_ERROR_ACCESS_DENIED, "refused")
                               : dbus_message_new_method_return(message);
            }
            std::fflush(stdout);
            if (reply)
                answers.emplace_back(Clock::now() + std::chrono::milliseconds(delayMs), reply);
            dbus_message_unref(message);
        }
        while (!answers.empty() && answers.front().first <= Clock::now()) {
            dbus_connection_send(bus, answers.front().second, nullptr);
            dbus_message_unref(answers.front().second);
            answers.pop_front();
            dbus_connection_flush(bus);
        }
    }
    return 0;
}
