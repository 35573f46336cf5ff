// Says what a recording of the sound holds, against the track that was played: runs of the track
// (where in the recording, where in the track, how long), runs of silence, and anything else.
// Both files are raw 16-bit stereo at one rate. Every figure is in frames.
//   heard TRACK.raw RECORDING.raw
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <unordered_map>
#include <vector>

using Frame = uint32_t;  // both channels of one frame

static std::vector<Frame> load(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Frame> frames(bytes.size() / 4);
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = Frame(uint8_t(bytes[i * 4])) | Frame(uint8_t(bytes[i * 4 + 1])) << 8 |
                    Frame(uint8_t(bytes[i * 4 + 2])) << 16 | Frame(uint8_t(bytes[i * 4 + 3])) << 24;
    return frames;
}

constexpr size_t window = 16;

static uint64_t hashAt(const std::vector<Frame>& v, size_t at)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < window; ++i)
        h = (h ^ v[at + i]) * 1099511628211ull;
    return h;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: heard TRACK.raw RECORDING.raw\n");
        return 2;
    }
    const std::vector<Frame> track = load(argv[1]);
    const std::vector<Frame> heard = load(argv[2]);
    std::unordered_map<uint64_t, size_t> where;
    for (size_t j = 0; j + window <= track.size(); ++j)
        where.emplace(hashAt(track, j), j);

    size_t i = 0;
    size_t otherStart = 0, otherLength = 0;
    auto flushOther = [&] {
        if (otherLength)
            std::printf("other %zu %zu\n", otherStart, otherLength);
        otherLength = 0;
    };
    while (i < heard.size()) {
        if (heard[i] == 0) {
            flushOther();
            size_t n = 0;
            while (i + n < heard.size() && heard[i + n] == 0)
                ++n;
            std::printf("silence %zu %zu\n", i, n);
            i += n;
            continue;
        }
        auto found = i + window <= heard.size() ? where.find(hashAt(heard, i)) : where.end();
        if (found == where.end()) {
            if (!otherLength)
                otherStart = i;
            ++otherLength;
            ++i;
            continue;
        }
        flushOther();
        const size_t j = found->second;
        size_t n = 0;
        while (i + n < heard.size() && j + n < track.size() && heard[i + n] == track[j + n])
            ++n;
        std::printf("music %zu %zu %zu\n", i, j, n);
        i += n;
    }
    flushOther();
    return 0;
}
