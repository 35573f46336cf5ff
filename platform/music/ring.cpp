// The head and the ring, from the side of the output that plays them: run on the current output's
// thread. The decoding thread fills the ring (decoding.cpp); this takes from it in order, after the
// head, and publishes what was handed over for the position (position.cpp).
#include <algorithm>
#include <cstring>

#include "platform/music/stream.h"

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
    }
    const uint32_t channels = uint32_t(s->outChannels);
    const size_t frameBytes = size_t(channels) * 2;
    // What an output that failed held unheard is played again first: from the head where it is
    // kept, else as silence, since only the silent clock takes over from a failed output.
    int64_t filled = std::min(p.replay, frames);
    for (int64_t f = 0; f < filled; ++f) {
        const int64_t at = p.pulledInEpoch - p.replay + f;
        if (at < s->headFrames)
            std::memcpy(out + f * channels, &s->head[size_t(at) * channels], frameBytes);
        else
            std::memset(out + f * channels, 0, frameBytes);
    }
    p.replay -= filled;
    const int64_t replayed = filled;
    if (p.pulledInEpoch < s->headFrames && filled < frames) {
        const int64_t take = std::min(s->headFrames - p.pulledInEpoch, frames - filled);
        std::memcpy(out + filled * channels, &s->head[size_t(p.pulledInEpoch) * channels], size_t(take) * frameBytes);
        filled += take;
    }
    const uint64_t count = s->blocks.size();
    uint64_t r = s->read.load(std::memory_order_relaxed);
    const uint64_t w = s->written.load(std::memory_order_acquire);
    while (r != w && !p.ended) {
        const RingBlock& block = s->blocks[r % count];
        if (block.epoch != epoch) {
            // Decoded before a restart: dropped unheard.
            ++r;
            s->readOffset = 0;
            continue;
        }
        if (filled == frames)
            break;
        const uint32_t take = uint32_t(std::min<int64_t>(block.frames - s->readOffset, frames - filled));
        const int16_t* src = &s->samples[((r % count) * blockFrames + s->readOffset) * channels];
        std::memcpy(out + filled * channels, src, size_t(take) * frameBytes);
        filled += take;
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
    p.pulledInEpoch += filled - replayed;
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
