// The silent clock: takes the music in real time and plays it to no one, so that the run lasts as
// long as the music wherever no sound can be had.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/music/output/output.h"

struct SilentState {
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    bool quit = false;
    bool running = false;
    bool discarded = false;
};

// Silent clock thread.
static void silentLoop(Output* output)
{
    SilentState* state = static_cast<SilentState*>(output->handle);
    std::vector<int16_t> scratch(size_t(1024) * size_t(output->channels));
    int64_t handed = 0;
    int64_t last = monotonicNs();
    double owed = 0.0;
    std::unique_lock<std::mutex> lock(state->lock);
    while (!state->quit) {
        state->wake.wait_for(lock, std::chrono::milliseconds(5));
        const bool running = state->running;
        const bool discarded = state->discarded;
        state->discarded = false;
        lock.unlock();
        const int64_t now = monotonicNs();
        // Time owed is paid in frames as soon as they are decoded, so that the clock keeps real time
        // however late this thread or the decoder runs; a second behind at most, and nothing owed
        // across a restart.
        owed = running && !discarded ? std::min(owed + double(now - last) * output->rate / 1e9, double(output->rate))
                                     : 0.0;
        last = now;
        while (owed >= 1.0) {
            const int64_t want = std::min<int64_t>(int64_t(owed), 1024);
            bool atEnd = false;
            const int64_t got = streamPull(output, scratch.data(), want, &atEnd, false);
            handed += got;
            owed -= double(got);
            if (got < want)
                break;
        }
        heardClockPublish(output, handed, handed, false);
        lock.lock();
    }
}

static bool silentOpen(Output* output)
{
    SilentState* state = new SilentState;
    output->handle = state;
    state->thread = std::thread(silentLoop, output);
    return true;
}

static void silentSetRunning(Output* output, bool running)
{
    SilentState* state = static_cast<SilentState*>(output->handle);
    std::lock_guard<std::mutex> lock(state->lock);
    state->running = running;
    state->wake.notify_one();
}

static void silentStart(Output* output)
{
    silentSetRunning(output, true);
}

static void silentPause(Output* output)
{
    silentSetRunning(output, false);
}

// Nothing is held: what was taken counts as heard at once. The restart owes no time of the old run.
static void silentDiscard(Output* output)
{
    SilentState* state = static_cast<SilentState*>(output->handle);
    std::lock_guard<std::mutex> lock(state->lock);
    state->discarded = true;
}

static bool silentFailed(Output*)
{
    return false;
}

static void silentClose(Output* output)
{
    SilentState* state = static_cast<SilentState*>(output->handle);
    {
        std::lock_guard<std::mutex> lock(state->lock);
        state->quit = true;
        state->wake.notify_one();
    }
    state->thread.join();
    delete state;
    output->handle = nullptr;
}

const OutputFamily silentOutput = {"silent",      silentOpen,   silentStart, silentPause,
                                   silentDiscard, nullptr,      silentFailed, silentClose};
