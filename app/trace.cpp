#include "app/trace.h"

#include "app/state.h"
#include "platform/desktop/desktop.h"
#include "platform/music/music.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

struct FrameRecord {
    double start;
    double end;
    uint64_t turns;
    double position;
};

// Static, and touched whole at the first frame: an hour at 60 frames per second fits.
constexpr size_t frameCapacity = 1 << 18;
static FrameRecord frames[frameCapacity];
static size_t frameCount = 0;
static int64_t firstPresented = 0;
static int64_t musicEnded = 0;
static int64_t clockToRealtimeNs = 0;

static int64_t realtimeNs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A figure of /proc/self/status in KiB, such as "VmHWM:"; -1 where it cannot be read.
static long statusKib(const char* key)
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kib = -1;
    const size_t length = std::strlen(key);
    while (std::fgets(line, sizeof line, status))
        if (std::strncmp(line, key, length) == 0)
            kib = std::strtol(line + length, nullptr, 10);
    std::fclose(status);
    return kib;
}

uint64_t traceLoopTurns = 0;

void traceFrameStart(double clock)
{
    // So that memory measured later is the demo's own growth, not the trace's.
    if (frameCount == 0) {
        std::memset(frames, 0, sizeof frames);
        clockToRealtimeNs = realtimeNs() - int64_t(clock * 1e9);
    }
    if (frameCount < frameCapacity)
        frames[frameCount] = {clock, clock, traceLoopTurns, demoState.musicPositionSeconds};
    traceLoopTurns = 0;
}

void traceFramePresented()
{
    if (firstPresented == 0)
        firstPresented = realtimeNs();
}

void traceFrameEnd()
{
    if (frameCount < frameCapacity)
        frames[frameCount++].end = readClock();
}

void traceMusicEnd()
{
    if (musicEnded == 0)
        musicEnded = realtimeNs();
}

void traceFinish()
{
    const uint64_t underruns = musicChannelUnderruns(demoState.musicStream);
    const char* path = std::getenv("QUILLVANE_TRACE");
    if (!path || !*path)
        return;
    FILE* out = std::fopen(path, "a");
    if (!out)
        return;
    for (size_t i = 0; i < frameCount; ++i)
        std::fprintf(out, "frame %.9f %.9f %llu %.9f\n", frames[i].start, frames[i].end,
                     static_cast<unsigned long long>(frames[i].turns), frames[i].position);
    std::fprintf(out, "clock-to-realtime-ns %lld\n", static_cast<long long>(clockToRealtimeNs));
    std::fprintf(out, "first-presented-realtime-ns %lld\n", static_cast<long long>(firstPresented));
    std::fprintf(out, "music-end-realtime-ns %lld\n", static_cast<long long>(musicEnded));
    std::fprintf(out, "underruns %llu\n", static_cast<unsigned long long>(underruns));
    std::fprintf(out, "peak-rss-kib %ld\n", statusKib("VmHWM:"));
    // What is the process's own, without the pages of the libraries' files, which any other
    // process using them shares.
    std::fprintf(out, "anon-rss-kib %ld\n", statusKib("RssAnon:"));
    // The pages of files, the libraries' above all: what the peak less them is the process's own.
    std::fprintf(out, "file-rss-kib %ld\n", statusKib("RssFile:"));
    std::fclose(out);
}
