// SDL's audio: the fallback where no sound server answers (ALSA and the rest), or the driver named by
// SDL_AUDIODRIVER. SDL converts to whatever the device takes, so the stream deals in its own frames.
#include <SDL2/SDL.h>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "platform/music/decode/convert.h"
#include "platform/music/output/output.h"

struct SdlState {
    SDL_AudioDeviceID device = 0;
    // Set under the device's lock, so that no callback reads the ring once the output is closed.
    bool detached = false;
    std::atomic<int64_t> lastCallbackNs{0};
    std::atomic<bool> unpaused{false};
    int64_t stuckNs = 0;  // no call for this long while playing: the driver has stopped calling back
    int deviceChannels = 0;
    ChannelMix toSdlOrder{};  // the stream's speakers to the SDL order of deviceChannels
    // A callback's frames at the stream's channels, before the mix; as many as SDL's buffer holds.
    std::unique_ptr<int16_t[]> pulled;
    int64_t pulledFrames = 0;
    // SDL's audio thread only.
    int64_t handed = 0;
    int64_t handedBefore = 0;
};

// SDL's audio thread.
// HACK: SDL 2.26's audio thread calls back, plays what it was given, then waits on the device: when
// this is called, the buffer filled last time has started to play.
static void fillDevice(void* user, Uint8* out, int len)
{
    Output* output = static_cast<Output*>(user);
    SdlState* state = static_cast<SdlState*>(output->handle);
    state->lastCallbackNs.store(monotonicNs(), std::memory_order_relaxed);
    const int64_t want = std::min<int64_t>(len / (state->deviceChannels * 2), state->pulledFrames);
    if (state->detached) {
        std::memset(out, 0, size_t(len));
        return;
    }
    const int64_t heard = state->handedBefore;
    bool atEnd = false;
    const int64_t got = streamPull(output, state->pulled.get(), want, &atEnd, true);
    channelMixApply(&state->toSdlOrder, state->pulled.get(), reinterpret_cast<int16_t*>(out), got);
    std::memset(out + got * state->deviceChannels * 2, 0, size_t(len - got * state->deviceChannels * 2));
    state->handedBefore = state->handed;
    state->handed += got;
    // Running to the end as well: the last two buffers are heard in real time, as the others are.
    heardClockPublish(output, heard, state->handedBefore, true);
}

static void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

// The one owner of the device: closed, where it was opened, before its state goes.
static void releaseSdl(SdlState* state)
{
    if (state->device != 0)
        SDL_CloseAudioDevice(state->device);
    delete state;
}

static bool sdlOpen(Output* output)
{
    // SDL's ALSA driver would have the ALSA library report to stderr what it cannot open; the
    // service has its own word for that.
    snd_lib_error_set_handler(quietAlsa);
    // SDL would take Ctrl+C and kill for events of its own that nobody reads.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (!SDL_WasInit(SDL_INIT_AUDIO) && SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return false;
    std::unique_ptr<SdlState, void (*)(SdlState*)> owned(new SdlState, releaseSdl);
    SdlState* state = owned.get();
    // HACK: SDL 2.26's PulseAudio backend names the channels of any count in PulseAudio's WAVEEX
    // order, which is SDL's own only for 1, 2 and 6 (its 3, 4, 5 and 7 put speakers on the centre
    // and the LFE; of 8 it names the sides front-left and -right of centre, where its ALSA backend
    // reorders them right). So SDL is given mono, stereo, 5.1 or 7.1: the smallest that holds the
    // stream's speakers, heights aside, which go to those under them.
    static const Speaker mono[1] = {speakerMono};
    static const Speaker stereo[2] = {speakerFrontLeft, speakerFrontRight};
    static const Speaker surround51[6] = {speakerFrontLeft, speakerFrontRight, speakerFrontCenter,
                                          speakerLfe,       speakerRearLeft,   speakerRearRight};
    static const Speaker surround71[8] = {speakerFrontLeft, speakerFrontRight, speakerFrontCenter, speakerLfe,
                                          speakerRearLeft,  speakerRearRight,  speakerSideLeft,    speakerSideRight};
    bool allMono = true, beyondFronts = false, rears = false, sides = false;
    for (int c = 0; c < output->channels; ++c) {
        const Speaker s = output->layout[c];
        allMono = allMono && s == speakerMono;
        if (s == speakerMono || s == speakerFrontLeft || s == speakerFrontRight || s >= speakerTopCenter)
            continue;
        beyondFronts = true;
        rears = rears || s == speakerRearLeft || s == speakerRearRight;
        sides = sides || s == speakerSideLeft || s == speakerSideRight;
    }
    const Speaker* order = allMono ? mono : !beyondFronts ? stereo : rears && sides ? surround71 : surround51;
    state->deviceChannels = allMono ? 1 : !beyondFronts ? 2 : rears && sides ? 8 : 6;
    channelMixPlan(&state->toSdlOrder, output->layout, output->channels, order, state->deviceChannels);
    SDL_AudioSpec want{};
    want.freq = output->rate;
    want.format = AUDIO_S16SYS;
    want.channels = Uint8(state->deviceChannels);
    want.samples = output->rate > 48000 ? 2048 : 1024;
    want.callback = fillDevice;
    want.userdata = output;
    SDL_AudioSpec have{};
    // The callback finds the state through the output; it is not called before the device starts.
    output->handle = state;
    state->device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (state->device == 0) {
        owned.reset();
        output->handle = nullptr;
        return false;
    }
    state->stuckNs = int64_t(have.samples) * 1'000'000'000 / output->rate + 150'000'000;
    state->pulledFrames = int64_t(have.size) / (state->deviceChannels * 2);
    state->pulled.reset(new int16_t[size_t(state->pulledFrames) * size_t(output->channels)]);
    owned.release();
    return true;
}

static void sdlStart(Output* output)
{
    SdlState* state = static_cast<SdlState*>(output->handle);
    state->lastCallbackNs.store(monotonicNs(), std::memory_order_relaxed);
    state->unpaused.store(true, std::memory_order_relaxed);
    SDL_PauseAudioDevice(state->device, 0);
}

static void sdlPause(Output* output)
{
    SdlState* state = static_cast<SdlState*>(output->handle);
    state->unpaused.store(false, std::memory_order_relaxed);
    SDL_PauseAudioDevice(state->device, 1);
    // The device stops calling back: what it was given is as heard as it will be.
    SDL_LockAudioDevice(state->device);
    heardClockPublish(output, state->handed, state->handed, false);
    SDL_UnlockAudioDevice(state->device);
}

// SDL cannot take back a buffer it was given; at most one buffer of the old sound is heard.
static void sdlDiscard(Output*) {}

// A driver that stops calling back while it plays (SDL's own on a server that froze) is as good as gone.
static bool sdlFailed(Output* output)
{
    const SdlState* state = static_cast<const SdlState*>(output->handle);
    return state->unpaused.load(std::memory_order_relaxed) &&
           monotonicNs() - state->lastCallbackNs.load(std::memory_order_relaxed) > state->stuckNs;
}

static void sdlClose(Output* output)
{
    SdlState* state = static_cast<SdlState*>(output->handle);
    if (!state)
        return;
    // A driver that stopped calling back may never return: its thread is left alone, and the
    // device with it.
    const bool stuck = sdlFailed(output);
    // HACK: SDL 2.26's audio thread waits on a stuck device outside the device's lock, so taking the
    // lock does not wait on it.
    SDL_LockAudioDevice(state->device);
    state->detached = true;
    SDL_UnlockAudioDevice(state->device);
    if (stuck)
        return;
    releaseSdl(state);
    output->handle = nullptr;
}

void sdlOutputQuit()
{
    if (SDL_WasInit(SDL_INIT_AUDIO))
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

const OutputFamily sdlOutput = {"sdl", sdlOpen, sdlStart, sdlPause, sdlDiscard, nullptr, sdlFailed, sdlClose};
