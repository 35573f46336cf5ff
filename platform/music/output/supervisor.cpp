// The supervising thread: whatever the output does, the clock goes on. An output that fails gives
// way to the silent clock, which goes on from the frame last heard; a sound server that appears or
// comes back is used again.
#include <algorithm>
#include <mutex>

#include "platform/music/stream/stream.h"

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
    std::copy(s->decoder.outLayout, s->decoder.outLayout + layoutChannelLimit, output->layout);
    if (family->open(output)) {
        s->outputsKept.fetch_add(1, std::memory_order_relaxed);
        return output;
    }
    delete output;
    return nullptr;
}

void freeRetired(MusicStream* s, bool all)
{
    // Read after the output was replaced (seq_cst, as the caller's thread sets it before it checks
    // `current`): an output not held now is never read again.
    const Output* held = all ? nullptr : s->held.load(std::memory_order_seq_cst);
    size_t kept = 0;
    for (Output* output : s->retired) {
        // An output whose thread could not be ended keeps what it may still touch.
        if (output != held && !output->handle) {
            delete output;
            s->outputsKept.fetch_sub(1, std::memory_order_relaxed);
        } else {
            s->retired[kept++] = output;
        }
    }
    s->retired.resize(kept);
}

// Supervising thread: puts a fresh output in place of the current one. The fresh one goes on from the
// frame the old one had heard by now: it hands over again what the old one held unheard, less what
// its own silence covers before the first frame it is handed is heard.
static void switchOutput(MusicStream* s, Output* fresh)
{
    std::lock_guard<std::mutex> lock(s->control);
    Output* old = s->current.load(std::memory_order_relaxed);
    old->family->close(old);
    s->retired.push_back(old);
    PullRecord p = seqlockRead(&s->pull);
    p.handed = 0;
    p.skip = 0;
    if (p.epoch == s->epoch.load(std::memory_order_relaxed) && p.output == old) {
        const int64_t heard = std::clamp<int64_t>(heardClockRead(old) - p.origin, 0, p.pulledInEpoch);
        const int64_t unheard = p.pulledInEpoch - heard;
        const int64_t ahead = fresh->family->ahead
                                  ? fresh->family->ahead(fresh, std::max<int64_t>(0, s->lengthFrames - heard))
                                  : 0;
        p.replay = std::max<int64_t>(0, unheard - ahead);
        p.skip = std::max<int64_t>(0, ahead - unheard);
        p.origin = -heard;
        p.handed = ahead;
    } else {
        // A restart not yet pulled: the fresh output begins it.
        p.replay = 0;
        p.origin = 0;
    }
    p.output = fresh;
    seqlockWrite(&s->pull, p);
    s->current.store(fresh, std::memory_order_seq_cst);
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
        freeRetired(s, false);
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
