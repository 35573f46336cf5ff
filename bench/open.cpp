// Prints the milliseconds musicStreamCreateFile takes for each file named, one line each, refused or not.
#include <time.h>

#include <cstdio>

#include "platform/music/music.h"

static double nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

int main(int argc, char** argv)
{
    musicInit(1, 44100, 0, nullptr, nullptr);
    for (int i = 1; i < argc; ++i) {
        const double start = nowMs();
        const uint32_t handle = musicStreamCreateFile(false, argv[i], 0, 0, 0);
        const double took = nowMs() - start;
        // A refused file's time counts as much: it is how long the refusal took.
        std::printf("%s %.2f%s\n", argv[i], took, handle ? "" : " refused");
        if (handle == 0)
            std::fprintf(stderr, "open: %s: %s\n", argv[i], musicLastError());
        else
            musicStreamFree(handle);
    }
    return 0;
}
