// The decoding thread: fills the ring ahead of the output with the file's next frames, and goes back
// to where the head ends on a restart. The caller's thread uses decodeInto for the head while the
// stream opens, before this thread starts.
#include <algorithm>

#include "platform/music/stream/stream.h"

// Decoding thread, or the caller's while the stream opens: the next frames of the file, converted by
// the decoder to the output's rate, channels and speakers.
int64_t decodeInto(MusicStream* s, int16_t* out, int64_t frames)
{
    return decoderRead(&s->decoder, out, frames);
}

// Decoding thread: back to where the head ends, by the decoder's own return to frame 0.
static bool backToHeadEnd(MusicStream* s)
{
    if (!decoderToStart(&s->decoder))
        return false;
    for (int64_t skipped = 0; skipped < s->headFrames;) {
        const int64_t got = decoderRead(&s->decoder, s->decoded.data(),
                                        std::min<int64_t>(blockFrames, s->headFrames - skipped));
        if (got <= 0)
            return false;
        skipped += got;
    }
    return true;
}

// Decoding thread.
void decodeLoop(MusicStream* s)
{
    const uint64_t count = s->blocks.size();
    const int outChannels = s->outChannels;
    uint32_t localEpoch = ~0u;
    bool finished = false;
    bool readable = true;
    int64_t decodedFrames = 0;
    while (!s->quit.load(std::memory_order_acquire)) {
        const uint32_t epoch = s->epoch.load(std::memory_order_acquire);
        if (epoch != localEpoch) {
            const bool atStart = localEpoch == ~0u;
            localEpoch = epoch;
            decodedFrames = s->headFrames;
            finished = false;
            // A stream that cannot go back ends once its head has played, rather than never; the file
            // is never opened again, since its path may now name another.
            readable = !s->headEnded && ((atStart && !s->headCut) || backToHeadEnd(s));
        }
        while (!finished && s->epoch.load(std::memory_order_acquire) == epoch) {
            const uint64_t w = s->written.load(std::memory_order_relaxed);
            if (w - s->read.load(std::memory_order_acquire) >= count - keptBlocks)
                break;
            int16_t* dst = &s->samples[(w % count) * blockFrames * size_t(outChannels)];
            // To the end of what decodes, whatever the length announced: music is never cut to a
            // count, and the position waits short of the length until the last frame is heard.
            const int64_t want = blockFrames;
            const int64_t got = readable ? decodeInto(s, dst, want) : 0;
            RingBlock& block = s->blocks[w % count];
            block.epoch = epoch;
            block.frames = uint32_t(got);
            block.start = decodedFrames;
            decodedFrames += got;
            block.last = got < want;
            finished = block.last;
            s->written.store(w + 1, std::memory_order_release);
        }
        waitFor(&s->decodeWake, 100'000'000);
    }
}
