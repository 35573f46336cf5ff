// Records the private sound server's monitor as a person would hear it, and when each frame was
// heard: raw 16-bit stereo at 44.1 kHz to OUT, and to TIMES a line "FRAMES REALTIME_NS" after every
// read, the realtime at which the last of those frames was heard. Runs until SIGINT or SIGTERM.
//   quillvane-record OUT TIMES
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

// What was recorded is written as it comes, so a stop ends at once: a read, or the end of a connection
// whose server was killed, can wait in libpulse for ever.
static void onStop(int)
{
    _exit(0);
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: quillvane-record OUT TIMES\n");
        return 2;
    }
    const pa_sample_spec format{PA_SAMPLE_S16LE, 44100, 2};
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.fragsize = 4 * 128;  // about 3 ms a read
    int error = 0;
    pa_simple* in = pa_simple_new(nullptr, "quillvane-record", PA_STREAM_RECORD, "heard.monitor", "heard", &format,
                                  nullptr, &attr, &error);
    if (!in) {
        std::fprintf(stderr, "quillvane-record: %s\n", pa_strerror(error));
        return 1;
    }
    FILE* out = std::fopen(argv[1], "wb");
    FILE* times = std::fopen(argv[2], "w");
    // Readable while it records: a test finds where the music is before the run ends.
    setvbuf(out, nullptr, _IONBF, 0);
    setvbuf(times, nullptr, _IOLBF, 0);
    signal(SIGINT, onStop);
    signal(SIGTERM, onStop);
    int16_t buffer[128 * 2];
    uint64_t frames = 0;
    while (pa_simple_read(in, buffer, sizeof buffer, &error) == 0) {
        const pa_usec_t latency = pa_simple_get_latency(in, &error);
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        frames += 128;
        std::fwrite(buffer, sizeof buffer, 1, out);
        std::fprintf(times, "%llu %lld\n", static_cast<unsigned long long>(frames),
                     static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec - static_cast<long long>(latency) * 1000);
    }
    // The server went away.
    std::fclose(out);
    std::fclose(times);
    _exit(0);
}
