// The decoding layer alone on mutated audio files: every family is chosen by content, opened, read
// to its end, taken back to the start and read again. No output, no threads. A file is either
// refused or keeps to a format that can be played, its reads end, a length said to be exact is the
// frames delivered from the start, the same frames come again after the return to the start, and no
// input makes the memory peak much higher.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/music/decode/decoder.h"

// A few bytes of some formats decode to hours; this many frames of each pass are enough to judge.
constexpr int64_t readLimit = int64_t{1} << 20;

struct Pass {
    int64_t frames;
    uint64_t hash;
};

static void check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "decoder_fuzz: %s\n", what);
        std::abort();
    }
}

// The highest the process's resident memory has been, in KiB.
static long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

static Pass readAll(Decoder* decoder, std::vector<int16_t>& buffer)
{
    Pass pass{0, 1469598103934665603ull};
    // To the stream's own end, whatever the length said.
    for (int64_t got = 1; got > 0 && pass.frames < readLimit;) {
        got = decoderRead(decoder, buffer.data(), std::min<int64_t>(1024, readLimit - pass.frames));
        check(got >= 0 && got <= 1024, "a read out of its bounds");
        for (int64_t i = 0; i < got * decoder->outChannels; ++i)
            pass.hash = (pass.hash ^ uint16_t(buffer[size_t(i)])) * 1099511628211ull;
        pass.frames += got;
    }
    return pass;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/dev/shm/quillvane-decoder-fuzz-" + std::to_string(getpid());
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    // What a few crafted bytes make a library allocate is bounded too: a new peak of 256 MiB is not.
    const long peakBefore = peakKiB();
    Decoder decoder{};
    if (!decoderOpen(&decoder, path.c_str())) {
        check(peakKiB() - peakBefore < 256 * 1024, "memory beyond its bound");
        return 0;
    }
    check(decoder.rate >= decoderRateMin && decoder.rate <= decoderRateMax && decoder.channels >= 1 &&
              decoder.channels <= decoderChannelMax && decoder.outChannels >= 1 &&
              decoder.outChannels <= layoutChannelLimit,
          "a format that cannot be played");
    check(decoder.length.frames >= 0, "a length below 0");
    std::vector<int16_t> buffer(1024 * size_t(decoder.outChannels));
    const Pass first = readAll(&decoder, buffer);
    check(!decoder.length.exact || first.frames == std::min(decoder.length.frames, readLimit),
          "frames delivered differ from the exact length announced");
    if (decoderToStart(&decoder)) {
        const Pass second = readAll(&decoder, buffer);
        check(second.frames == first.frames && second.hash == first.hash,
              "the pass after the return to the start differs from the first");
    }
    decoderClose(&decoder);
    check(peakKiB() - peakBefore < 256 * 1024, "memory beyond its bound");
    return 0;
}
