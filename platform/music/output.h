// Sound outputs of the music service, behind one small interface: the desktop's sound server, SDL's
// audio, and a silent clock. Each output plays on a thread of its own, from which it asks the stream
// for frames (streamPull). Its control calls come from one thread at a time, under the stream's
// control lock; framesHeard may be called from any thread and never waits.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/music/decoder.h"

struct MusicStream;
struct OutputFamily;

// How many frames an output has had heard, published by its thread and read by any other.
struct HeardClock {
    std::atomic<uint32_t> sequence{0};
    std::atomic<int64_t> heard{0};
    std::atomic<int64_t> handed{0};
    std::atomic<int64_t> stampNs{0};
    std::atomic<bool> running{false};
};

struct Output {
    const OutputFamily* family;
    void* handle;
    MusicStream* stream;
    int rate;
    int channels;
    Speaker layout[layoutChannelLimit];  // where each channel is meant to be heard
    HeardClock clock;
};

struct OutputFamily {
    const char* name;
    // Ready to play at the output's rate and channel count, paused. False when it cannot be had.
    bool (*open)(Output* output);
    void (*start)(Output* output);
    void (*pause)(Output* output);
    // Drops what it holds unheard, so that what is pulled next is heard at once.
    void (*discard)(Output* output);
    // Frames pulled since open that have been heard or discarded.
    int64_t (*framesHeard)(Output* output);
    // True once it can no longer play: its server went away, or it was refused.
    bool (*failed)(Output* output);
    void (*close)(Output* output);
};

extern const OutputFamily serverOutput;
extern const OutputFamily sdlOutput;
extern const OutputFamily silentOutput;

// Output thread: up to `frames` frames of what is to be played next, fewer when no more is decoded
// yet; *atEnd is set once the stream's last frame has been given. An output that must fill a device
// buffer whole says so, and a shortfall in the middle of the music counts as an underrun.
int64_t streamPull(Output* self, int16_t* out, int64_t frames, bool* atEnd, bool mustFill);
// Output thread: a gap in the sound that the stream did not mean.
void streamUnderrun(Output* self);

// Ends SDL's audio, once no stream uses it.
void sdlOutputQuit();

// Output thread: publishes frames heard and handed over; between publications readers extrapolate
// while running, never beyond what was handed over.
void heardClockPublish(HeardClock* clock, int64_t heard, int64_t handed, bool running);
int64_t heardClockRead(const HeardClock* clock, int rate);
int64_t monotonicNs();
