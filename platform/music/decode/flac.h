// The native FLAC family's parts: the reads (flac.cpp) and the length probe (flac_length.cpp).
#pragma once

#include <FLAC/format.h>

#include <cstdint>

#include "platform/music/decode/decoder.h"

// The length of the FLAC stream whose frames start at `audioStart`, from one bounded look.
DecoderLength flacProbe(int fd, int64_t audioStart, int64_t size, const FLAC__StreamMetadata_StreamInfo& info);
