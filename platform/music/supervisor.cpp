// The supervising thread: whatever the output does, the clock goes on. An output that fails gives
// way to the silent clock, which goes on from the frame last heard; a sound server that appears or
// comes back is used again.
#include <algorithm>
#include <mutex>

#include "platform/music/stream.h"

// How often a sound server that was not there is looked for again.
constexpr int64_t serverRetryNs = 700'000'000;

// Supervising thread, or the caller's while the stream opens.
Output* openOutput(MusicStream* s, const OutputFamily* family)
{
    Output* output = new Output{};
    output->family = family;
    output->stream = s;
    output->rate = s->rate;
    output->channels = s->outChannels;
    std::copy(s->decoder.layout, s->decoder.layout + layoutChannelLimit, output->layout);
    if (family->open(output))
        return output;
    delete output;
    return nullptr;
}

// Supervising thread: puts a fresh output in place of the current one. The fresh one goes on from the
// frame the old one had heard by now, and hands over again what the old one held unheard.
static void switchOutput(MusicStream* s, Output* fresh)
{
    std::lock_guard<std::mutex> lock(s->control);
    Output* old = s->current.load(std::memory_order_relaxed);
    old->family->close(old);
    s->retired.push_back(old);
    PullRecord p = seqlockRead(&s->pull);
    if (p.epoch == s->epoch.load(std::memory_order_relaxed) && p.output == old) {
        const int64_t heard = std::clamp<int64_t>(heardClockRead(old) - p.origin, 0, p.pulledInEpoch);
        p.replay = p.pulledInEpoch - heard;
        p.origin = -heard;
    } else {
        // A restart not yet pulled: the fresh output begins it.
        p.replay = 0;
        p.origin = 0;
    }
    p.handed = 0;
    p.output = fresh;
    seqlockWrite(&s->pull, p);
    s->current.store(fresh, std::memory_order_release);
    if (s->playing.load(std::memory_order_relaxed))
        fresh->family->start(fresh);
}

// Supervising thread.
void superviseLoop(MusicStream* s)
{
    int64_t nextServerTryNs = monotonicNs() + serverRetryNs;
    while (!s->quit.load(std::memory_order_acquire)) {
        waitFor(&s->superviseWake, 50'000'000);
        if (s->quit.load(std::memory_order_acquire))
            break;
        Output* output = s->current.load(std::memory_order_acquire);
        if (output->family != &silentOutput && output->family->failed(output)) {
            switchOutput(s, openOutput(s, &silentOutput));
            nextServerTryNs = monotonicNs() + serverRetryNs;
            continue;
        }
        if (s->serverWanted && output->family != &serverOutput && monotonicNs() >= nextServerTryNs) {
            if (Output* server = openOutput(s, &serverOutput))
                switchOutput(s, server);
            nextServerTryNs = monotonicNs() + serverRetryNs;
        }
    }
}
