#include "app/status/statusline.h"

#include <cmath>
#include <cstdio>

#include "app/state.h"
#include "platform/desktop/desktop.h"

static int32_t statusFirstCall = 1;
static int32_t fpsFrameCount = 0;
static double fpsIntervalStart = 0.0;
static double fpsLastClock = 0.0;

struct TimePieces {
    int32_t minutes;
    int32_t seconds;
    bool padMinutes;
    bool padSeconds;
};

// Whole seconds cut, never carried up; minutes get a "0" in front up to 599 s, seconds below 10.
static TimePieces timePieces(double value)
{
    // Clamped first: a double beyond the 32-bit range has no integer conversion.
    double whole = std::floor(value);
    if (!(whole >= -2147483648.0))
        whole = -2147483648.0;
    if (whole > 2147483647.0)
        whole = 2147483647.0;
    const int32_t s = static_cast<int32_t>(whole);
    return {s / 60, s % 60, !(s > 599), !(s % 60 > 9)};
}

int formatStatusLine(char* out, size_t size, const char* title, int32_t frames, double positionSeconds,
                     double lengthSeconds)
{
    const TimePieces p = timePieces(positionSeconds);
    const TimePieces l = timePieces(lengthSeconds);
    return std::snprintf(out, size, "%s - %d FPS - %s%d:%s%d / %s%d:%s%d", title, frames, p.padMinutes ? "0" : "",
                         p.minutes, p.padSeconds ? "0" : "", p.seconds, l.padMinutes ? "0" : "", l.minutes,
                         l.padSeconds ? "0" : "", l.seconds);
}

static void setStatusTitle(int32_t frames)
{
    // Title plus the longest pieces fits easily; a longer title is cut, never overrun.
    char text[256];
    formatStatusLine(text, sizeof text, demoState.title.c_str(), frames, demoState.musicPositionSeconds,
                     demoState.musicLengthSeconds);
    setWindowTitle(demoState.window, text);
}

void updateStatusLine()
{
    if (statusFirstCall == 1) {
        fpsIntervalStart = readClock();
        fpsFrameCount = 0;
        setStatusTitle(0);
        statusFirstCall = 0;
        return;
    }
    const double t = readClock();
    fpsLastClock = t;
    fpsFrameCount = fpsFrameCount + 1;
    if (t - fpsIntervalStart < 1.0)
        return;
    setStatusTitle(fpsFrameCount);
    fpsFrameCount = 0;
    fpsIntervalStart = fpsLastClock;
}
