// Sound outputs of the music service, behind one small interface: the desktop's sound server, SDL's
// audio, and a silent clock. Each output plays on a thread of its own, from which it asks the stream
// for frames (streamPull) and publishes what has been heard (heardClockPublish). Its control calls
// come from one thread at a time, under the stream's control lock.
#pragma once

#include <cstdint>

#include "platform/music/decode/decoder.h"
#include "platform/music/stream/seqlock.h"

struct MusicStream;
struct OutputFamily;

// How many of the frames an output was handed have been heard, and when that was true.
struct HeardRecord {
    int64_t heard;
    int64_t handed;
    int64_t stampNs;
    int64_t running;  // readers extrapolate in real time from the stamp, never beyond what was handed
};

struct Output {
    const OutputFamily* family;
    void* handle;
    MusicStream* stream;
    int rate;
    int channels;
    Speaker layout[layoutChannelLimit];  // where each channel is meant to be heard
    Seqlock<HeardRecord> clock;
};

struct OutputFamily {
    const char* name;
    // Ready to play at the output's rate and channel count, paused. False when it cannot be had.
    bool (*open)(Output* output);
    void (*start)(Output* output);
    void (*pause)(Output* output);
    // Drops what it holds unheard, so that what is pulled next is heard at once.
    void (*discard)(Output* output);
    // Before it first plays, in place of another: frames of its own (silence) that will play before
    // the first it is then handed is heard, at most `most`, counted in its clock as handed and heard
    // in real time. Null where what it is handed is heard at once.
    int64_t (*ahead)(Output* output, int64_t most);
    // True once it can no longer play: its server went away or refused it, or its own read position
    // stopped while it had frames to play.
    bool (*failed)(Output* output);
    // No call of the output's thread into the stream runs any more once this returns.
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
// Output thread: the output has failed; the supervisor looks at once.
void streamOutputFailed(Output* self);

// Ends SDL's audio, once no stream uses it.
void sdlOutputQuit();

// Output thread: frames heard and handed over until now.
void heardClockPublish(Output* output, int64_t heard, int64_t handed, bool running);
// Any thread: frames heard by now.
int64_t heardClockRead(const Output* output);
int64_t monotonicNs();
