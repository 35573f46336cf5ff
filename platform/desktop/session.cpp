// The process's start on the desktop: the one X error policy, and the session's requests to end the
// run (Ctrl+C, logout, kill), taken from the first moment, the start-up question included.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

#include "platform/desktop/desktop.h"
#include "platform/desktop/session.h"
#include "platform/desktop/xutil.h"

namespace {
struct SessionEnd {
    // Set by whichever thread the signal comes to; lock-free, so safe in a handler.
    std::atomic<bool> requested;
    // A byte is written on the first request, and never read: the descriptor stays readable.
    int wakeRead, wakeWrite;
};
} // namespace
static SessionEnd session{false, -1, -1};

static void onEndSignal(int signal)
{
    // Asked again: whatever the run waits in, the process ends now, as the signal ends any program.
    if (session.requested.exchange(true)) {
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(signal, &fallback, nullptr);
        raise(signal);
        return;
    }
    const int savedErrno = errno;
    if (session.wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(session.wakeWrite, &byte, 1);
    }
    errno = savedErrno;
}

void beginDesktopSession()
{
    setXErrorPolicy();
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) == 0) {
        session.wakeRead = wake[0];
        session.wakeWrite = wake[1];
    }
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    // A connection the server ended (xkill) is seen as its end by the X library, where a write to
    // it would otherwise end the process first.
    struct sigaction ignored {};
    ignored.sa_handler = SIG_IGN;
    sigemptyset(&ignored.sa_mask);
    sigaction(SIGPIPE, &ignored, nullptr);
}

bool closeRequested()
{
    // A window another client destroyed ends the run as its close button would.
    return session.requested.load() || windowGone();
}

bool windowGone()
{
    return windowDestroyed() || connectionEnded();
}

int sessionEndFd()
{
    return session.wakeRead;
}
