// The MPEG family's parts: the reads (mpeg.cpp) and the length probe (mpeg_length.cpp).
#pragma once

#include <cstdint>

#include "platform/music/decode/decoder.h"

// What one bounded look at the file shows of MPEG audio from byte `start` on.
struct MpegProbe {
    DecoderLength length;  // at `rate`, the first frame's
    int rate;
    // One encode whose Info tag the frames agree with: played gapless, libmpg123 counting it.
    bool gapless;
};
MpegProbe mpegProbe(int fd, int64_t start, int64_t size);
