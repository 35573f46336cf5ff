// The head and the ring, from the side of the output that plays them: run on the current output's
// thread. The decoding thread fills the ring (decoding.cpp); this takes from it in order, after the
// head, and publishes what was handed over for the position (position.cpp).
#include <algorithm>
#include <cstring>

#include "platform/music/stream/stream.h"

// Output thread: frames of the epoch from `at` on that were taken before, from the head or from the
// blocks kept behind the read position; a frame no longer kept is silence. Returns how many it gave.
static int64_t copyTaken(const MusicStream* s, uint32_t epoch, uint64_t r, uint64_t w, int64_t at, int16_t* out,
                         int64_t frames)
{
    const size_t channels = size_t(s->outChannels);
    if (at < s->headFrames) {
        const int64_t take = std::min(frames, s->headFrames - at);
        std::memcpy(out, &s->head[size_t(at) * channels], size_t(take) * channels * 2);
        return take;
    }
    const uint64_t count = s->blocks.size();
    // The block at the read position is the decoder's until it is written.
    for (uint64_t b = r > keptBlocks ? r - keptBlocks : 0; b < w && b <= r; ++b) {
        const RingBlock& block = s->blocks[b % count];
        if (block.epoch == epoch && at >= block.start && at < block.start + block.frames) {
            const int64_t take = std::min<int64_t>(frames, block.start + block.frames - at);
            std::memcpy(out, &s->samples[((b % count) * blockFrames + size_t(at - block.start)) * channels],
                        size_t(take) * channels * 2);
            return take;
        }
    }
    std::memset(out, 0, channels * 2);
    return 1;
}

// Output thread.
int64_t streamPull(Output* self, int16_t* out, int64_t frames, bool* atEnd, bool mustFill)
{
    MusicStream* s = self->stream;
    // An output being opened, or one being replaced, takes nothing.
    if (s->current.load(std::memory_order_acquire) != self) {
        *atEnd = false;
        return 0;
    }
    PullRecord p = seqlockRead(&s->pull);
    const uint32_t epoch = s->epoch.load(std::memory_order_acquire);
    if (p.epoch != epoch) {
        p.epoch = epoch;
        p.ended = false;
        p.origin = p.handed;
        p.pulledInEpoch = 0;
        p.replay = 0;
        p.skip = 0;
    }
    const uint32_t channels = uint32_t(s->outChannels);
    const size_t frameBytes = size_t(channels) * 2;
    const uint64_t count = s->blocks.size();
    uint64_t r = s->read.load(std::memory_order_relaxed);
    const uint64_t w = s->written.load(std::memory_order_acquire);
    // What the old output held unheard is played again first.
    int64_t filled = 0;
    const int64_t replayed = std::min(p.replay, frames);
    while (filled < replayed)
        filled += copyTaken(s, epoch, r, w, p.pulledInEpoch - p.replay + filled, out + filled * channels,
                            replayed - filled);
    p.replay -= replayed;
    int64_t at = p.pulledInEpoch;
    if (p.replay == 0 && p.skip > 0 && at < s->headFrames) {
        const int64_t passed = std::min(p.skip, s->headFrames - at);
        p.skip -= passed;
        at += passed;
    }
    if (at < s->headFrames && filled < frames) {
        const int64_t take = std::min(s->headFrames - at, frames - filled);
        std::memcpy(out + filled * channels, &s->head[size_t(at) * channels], size_t(take) * frameBytes);
        filled += take;
        at += take;
    }
    while (r != w && !p.ended && p.replay == 0) {
        const RingBlock& block = s->blocks[r % count];
        if (block.epoch != epoch) {
            // Decoded before a restart: dropped unheard.
            ++r;
            s->readOffset = 0;
            continue;
        }
        uint32_t take = 0;
        if (p.skip > 0) {
            take = uint32_t(std::min<int64_t>(block.frames - s->readOffset, p.skip));
            p.skip -= take;
        } else {
            if (filled == frames)
                break;
            take = uint32_t(std::min<int64_t>(block.frames - s->readOffset, frames - filled));
            const int16_t* src = &s->samples[((r % count) * blockFrames + s->readOffset) * channels];
            std::memcpy(out + filled * channels, src, size_t(take) * frameBytes);
            filled += take;
        }
        at += take;
        s->readOffset += take;
        if (s->readOffset == block.frames) {
            p.ended = block.last;
            ++r;
            s->readOffset = 0;
        }
    }
    s->read.store(r, std::memory_order_release);
    const bool allGiven = p.ended && p.replay == 0;
    if (mustFill && filled < frames && !allGiven && s->primedEpoch == epoch)
        streamUnderrun(self);
    if (filled > 0)
        s->primedEpoch = epoch;
    p.pulledInEpoch = at;
    p.handed += filled;
    p.output = self;
    seqlockWrite(&s->pull, p);
    sem_post(&s->decodeWake);
    *atEnd = allGiven;
    return filled;
}

void streamUnderrun(Output* self)
{
    self->stream->underruns.fetch_add(1, std::memory_order_relaxed);
}

void streamOutputFailed(Output* self)
{
    sem_post(&self->stream->superviseWake);
}
