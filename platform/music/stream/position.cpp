// The position arithmetic: what has been heard, from what each output publishes of its own count
// (output threads write, any thread reads), and the stream's position in frames of the epoch (the
// caller's thread, on every turn of the demo's loop).
#include <time.h>

#include <algorithm>

#include "platform/music/stream/stream.h"

int64_t monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Output thread.
void heardClockPublish(Output* output, int64_t heard, int64_t handed, bool running)
{
    seqlockWrite(&output->clock, HeardRecord{heard, handed, monotonicNs(), running});
}

// Between publications a running output is taken to play in real time, never beyond what it was given.
static int64_t extrapolate(const HeardRecord& h, int rate, int64_t nowNs)
{
    const double ahead = double(nowNs - h.stampNs) * rate / 1e9;
    return h.heard + int64_t(std::clamp(ahead, 0.0, double(h.handed - h.heard)));
}

int64_t heardClockRead(const Output* output)
{
    const HeardRecord h = seqlockRead(&output->clock);
    return h.running && h.heard < h.handed ? extrapolate(h, output->rate, monotonicNs()) : std::min(h.heard, h.handed);
}

// Caller's thread: the position worked out afresh, reading the clock where the output is playing.
[[gnu::noinline]] static int64_t positionWorkedOut(MusicStream* s, uint32_t epoch, uint32_t pullVersion)
{
    PositionCache& c = s->position;
    // Versions first: a record read after them is at least as new, so a newer one is never missed.
    const PullRecord p = seqlockRead(&s->pull);
    // The output is marked held before its clock is read; the supervisor frees a replaced one only
    // while it is not held, so one still current after the mark is safe to read.
    if (p.output && s->held.load(std::memory_order_relaxed) != p.output)
        s->held.store(p.output, std::memory_order_seq_cst);
    if (p.output && s->current.load(std::memory_order_seq_cst) != p.output) {
        // Being replaced: the last answer, and the clock read afresh on the next call.
        c.pullVersion = 1;
        c.output = nullptr;
        return epoch == c.epoch ? c.frames : 0;
    }
    const uint32_t clockVersion = p.output ? seqlockVersion(&p.output->clock) : 0;
    int64_t frames = 0;
    bool moving = false;
    if (p.epoch == epoch && p.output) {
        const HeardRecord h = seqlockRead(&p.output->clock);
        int64_t heard = std::min(h.heard, h.handed);
        if (h.running && heard < h.handed) {
            const int64_t now = monotonicNs();
            heard = extrapolate(h, s->rate, now);
            moving = heard < h.handed;
            const double nsPerCall = c.readNs ? double(now - c.readNs) / c.callsSinceRead : 0.0;
            const double toNextFrameNs = double(heard + 1 - h.heard) * 1e9 / s->rate - double(now - h.stampNs);
            c.callsLeft = nsPerCall > 0.0 ? uint32_t(std::clamp(toNextFrameNs / nsPerCall, 0.0, 1e6)) : 0;
            c.readNs = now;
            c.callsSinceRead = 0;
        }
        if (p.ended && p.replay == 0 && heard >= p.handed)
            frames = s->lengthFrames;
        else
            frames = std::clamp<int64_t>(heard - p.origin, 0,
                                         std::max<int64_t>(0, std::min(p.pulledInEpoch, s->lengthFrames - 1)));
    }
    // Never back within one run from the start.
    if (epoch == c.epoch)
        frames = std::max(frames, c.frames);
    c.epoch = epoch;
    c.pullVersion = pullVersion;
    c.output = p.output;
    c.clockVersion = clockVersion;
    c.moving = moving;
    c.frames = frames;
    return frames;
}

// Caller's thread: the frame being heard now, what was handed to the output less what it has not
// played yet. Nothing can have changed while neither record was written and the extrapolation cannot
// yet have reached the next frame; that is judged from how long calls took between the last two
// readings of the clock, so that the loop's turns cost no clock reading. A caller that stops for a
// while may be given one answer that old, once, for as many calls as fitted in a frame before.
int64_t streamPosition(MusicStream* s)
{
    PositionCache& c = s->position;
    ++c.callsSinceRead;
    const uint32_t epoch = s->epoch.load(std::memory_order_relaxed);
    const uint32_t pullVersion = seqlockVersion(&s->pull);
    if (epoch == c.epoch && pullVersion == c.pullVersion &&
        (!c.output || seqlockVersion(&c.output->clock) == c.clockVersion)) {
        if (!c.moving)
            return c.frames;
        if (c.callsLeft > 0) {
            --c.callsLeft;
            return c.frames;
        }
    }
    return positionWorkedOut(s, epoch, pullVersion);
}
