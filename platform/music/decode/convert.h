// Channel mixing between speaker layouts, for the decoder's links and for outputs with an order of
// their own. Plain arithmetic: any thread.
#pragma once

#include <cstdint>

#include "platform/music/decode/decoder.h"

struct ChannelMix {
    int inChannels;
    int outChannels;
    bool identity;
    float gain[layoutChannelLimit][layoutChannelLimit];  // [out][in]
};

// Each output speaker takes the input speaker at its place; what has none is folded into the
// nearest ones, and no output sums to more than full scale.
void channelMixPlan(ChannelMix* mix, const Speaker* in, int inChannels, const Speaker* out, int outChannels);
// The stream's speakers for a file's (at most layoutChannelLimit): those a sound server names, each
// once, in the file's order; the others are mixed into them. Returns how many.
int streamLayout(const Speaker* file, int channels, Speaker* out);
// `in` and `out` may be the same buffer.
void channelMixApply(const ChannelMix* mix, const int16_t* in, int16_t* out, int64_t frames);
// More channels than an output takes: even ones to the left, odd ones to the right.
void mixToStereo(const int16_t* in, int inChannels, int16_t* out, int64_t frames);

// The decoder's conversion state, made once its format is known and freed with it.
void convertOpen(Decoder* decoder);
void convertClose(Decoder* decoder);
