// The music service's open-and-decode path on mutated audio files: every file either is refused
// with handle 0, or plays from 0 to exactly its length without the position ever passing it.
// Runs on SDL's disk driver writing to /dev/null with no delay, so a track plays at decoding speed.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/music/music.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("SDL_DISKAUDIODELAY", "0", 1);
    musicInit(1, 44100, 0, nullptr, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/dev/shm/quillvane-music-fuzz-" + std::to_string(getpid());
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    const uint32_t handle = musicStreamCreateFile(false, path.c_str(), 0, 0, 0);
    if (handle == 0)
        return 0;
    const uint64_t length = musicChannelGetLength(handle, musicPosByte);
    musicChannelPlay(handle, true);
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const uint64_t position = musicChannelGetPosition(handle, musicPosByte);
        if (position > length)
            std::abort();
        if (position == length)
            break;
        // Mutated headers can announce hours; a few seconds of decoding is enough to judge.
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(3))
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    musicStreamFree(handle);
    return 0;
}
