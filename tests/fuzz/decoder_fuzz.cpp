// The decoding layer alone on mutated audio files, as fast as it decodes: every family is chosen
// by content, opened, read to its end or its length, taken back to the start and read again. No
// output, no threads. A file either is refused or keeps to a format that can be played, never gives
// more frames than its length where the length is exact, and keeps within a bound of memory.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/music/decoder.h"

// Mutated headers can announce hours; this many frames of each pass are enough to judge.
constexpr int64_t readLimit = int64_t{1} << 20;

static int64_t readAll(Decoder* decoder, std::vector<int16_t>& buffer)
{
    int64_t total = 0;
    const int64_t bound = std::min(decoder->frames, readLimit);
    for (int64_t got = 1; got > 0 && total < bound;) {
        got = decoderRead(decoder, buffer.data(), std::min<int64_t>(1024, bound - total));
        if (got < 0 || got > 1024)
            std::abort();
        total += got;
    }
    return total;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/dev/shm/quillvane-decoder-fuzz-" + std::to_string(getpid());
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    Decoder decoder{};
    if (!decoderOpen(&decoder, path.c_str()))
        return 0;
    if (decoder.rate < decoderRateMin || decoder.rate > decoderRateMax || decoder.channels < 1 ||
        decoder.channels > decoderChannelMax || decoder.outChannels < 1 || decoder.outChannels > layoutChannelLimit)
        std::abort();
    int64_t counted = 0;
    for (int64_t frames : decoder.linkFrames)
        counted += frames;
    if (!decoder.linkFrames.empty() && counted != decoder.frames)
        std::abort();
    std::vector<int16_t> buffer(1024 * size_t(decoder.outChannels));
    readAll(&decoder, buffer);
    if (decoderToStart(&decoder))
        readAll(&decoder, buffer);
    decoderClose(&decoder);
    return 0;
}
