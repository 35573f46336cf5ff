// The record of one open stream, shared by the threads that serve it: the caller's (music.cpp,
// position.cpp), the decoding thread (decoding.cpp), the current output's thread (ring.cpp) and the
// supervisor (supervisor.cpp). Each field says who writes it.
#pragma once

#include <semaphore.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/music/decode/decoder.h"
#include "platform/music/output/output.h"
#include "platform/music/stream/seqlock.h"

constexpr uint32_t blockFrames = 1024;
// Blocks the decoder leaves alone behind the read position: what an output may hold unheard (SDL's
// two device buffers of up to 2048 frames, and a partial block), for the next one to play again.
constexpr uint64_t keptBlocks = 5;

struct RingBlock {
    uint32_t epoch;
    uint32_t frames;
    int64_t start;  // the epoch's frame that is the block's first
    bool last;
};

// What the pulling side has handed to the current output, in the output's own count of frames.
struct PullRecord {
    uint32_t epoch;
    uint32_t ended;         // the epoch's last frame has been taken from the ring
    int64_t origin;         // where in the output's count the epoch's frame 0 was (or would have been) handed over
    int64_t pulledInEpoch;  // frames of the epoch taken from the ring
    int64_t handed;
    // Frames a new output hands over again before the ring's next: what the old one held unheard.
    int64_t replay;
    // Frames of the epoch a new output passes over: its own silence plays while the wall clock passes them.
    int64_t skip;
    Output* output;
};

// Caller's thread only: the last position worked out, and how many calls may give it again before
// the clock is read (position.cpp).
struct PositionCache {
    uint32_t epoch = ~0u;
    uint32_t pullVersion = 1;
    uint32_t clockVersion = 1;
    const Output* output = nullptr;
    bool moving = false;
    int64_t frames = 0;
    uint32_t callsLeft = 0;
    uint32_t callsSinceRead = 0;
    int64_t readNs = 0;
};

struct MusicStream {
    Decoder decoder{};
    int rate = 0;
    int channels = 0;
    int outChannels = 0;
    int64_t lengthFrames = 0;
    bool serverWanted = false;
    std::thread decodingThread;
    std::thread supervisingThread;
    sem_t decodeWake;
    sem_t superviseWake;
    std::atomic<bool> quit{false};

    // The first frames, decoded once at open; read by the outputs, never written again.
    std::vector<int16_t> head;
    int64_t headFrames = 0;
    bool headEnded = false;  // the file's frames end within the head
    bool headCut = false;    // its allowance ended it: the decoder is past where it ends

    // Single producer (decoder), single consumer (whichever output is current). Blocks of an epoch
    // start where the head ends; the last keptBlocks taken stay as they are.
    std::vector<RingBlock> blocks;
    std::vector<int16_t> samples;
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> read{0};

    // Changed by the caller's thread only; read everywhere.
    std::atomic<uint32_t> epoch{0};
    std::atomic<bool> playing{false};
    std::atomic<uint64_t> underruns{0};

    // Control calls on the output, and the change of output, one at a time.
    std::mutex control;
    std::atomic<Output*> current{nullptr};
    // Replaced outputs, freed by the supervisor once the caller's thread does not hold them.
    std::vector<Output*> retired;
    std::atomic<uint32_t> outputsKept{0};
    // The output whose clock the caller's thread may read (position.cpp): set before it is read, and
    // kept while the position cache names it.
    std::atomic<const Output*> held{nullptr};

    // Written by the current output's thread, or by the supervisor while it changes the output.
    Seqlock<PullRecord> pull;

    // Current output's thread only.
    uint32_t readOffset = 0;
    uint32_t primedEpoch = ~0u;

    // Caller's thread only.
    bool everPlayed = false;
    PositionCache position;
    uint64_t secondsAskedBytes = ~uint64_t{0};
    double secondsAsked = 0.0;

    // Decoder only.
    std::vector<int16_t> decoded;
};

// Decoding thread, or the caller's while the stream opens (decoding.cpp).
int64_t decodeInto(MusicStream* s, int16_t* out, int64_t frames);
void decodeLoop(MusicStream* s);
// Supervising thread (supervisor.cpp).
void superviseLoop(MusicStream* s);
Output* openOutput(MusicStream* s, const OutputFamily* family);
// Supervising thread, or the caller's once the supervisor has ended: frees what no reader can hold.
void freeRetired(MusicStream* s, bool all);
// Caller's thread (position.cpp): frames of the epoch heard by now.
int64_t streamPosition(MusicStream* s);

// Any of the stream's threads: waits for a post, or `ns` on the monotonic clock, so that a step of
// the wall clock neither stops nor hurries the wait.
inline void waitFor(sem_t* wake, int64_t ns)
{
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const int64_t end = until.tv_nsec + ns;
    until.tv_sec += end / 1'000'000'000;
    until.tv_nsec = end % 1'000'000'000;
    while (sem_clockwait(wake, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
    }
}
