#include "platform/music/music.h"

#include "platform/music/decoder.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

constexpr uint32_t blockFrames = 1024;
constexpr double bufferedSeconds = 0.35;
constexpr int maxStreams = 16;
constexpr int outputChannelLimit = 8;

// Position and restart count share one word, so that the output thread never stores a position
// that belongs to the stream before a restart.
constexpr int positionBits = 48;
constexpr uint64_t positionMask = (uint64_t{1} << positionBits) - 1;
static uint64_t packPosition(uint32_t epoch, int64_t frames)
{
    return (uint64_t{epoch & 0xFFFF} << positionBits) | (uint64_t(frames) & positionMask);
}
static uint32_t epochOf(uint64_t packed) { return uint32_t(packed >> positionBits); }
static int64_t framesOf(uint64_t packed) { return int64_t(packed & positionMask); }

struct RingBlock {
    uint32_t epoch;
    uint32_t frames;
    int64_t startFrame;
    bool last;
};

struct MusicStream {
    Decoder decoder{};
    int rate = 0;
    int channels = 0;
    int outChannels = 0;
    int64_t lengthFrames = 0;
    SDL_AudioDeviceID device = 0;
    std::thread decodingThread;
    SDL_sem* wake = nullptr;
    std::atomic<bool> quit{false};

    // Single producer (decoder), single consumer (output callback).
    std::vector<RingBlock> blocks;
    std::vector<int16_t> samples;
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> read{0};

    std::atomic<uint32_t> epoch{0};
    std::atomic<bool> playing{false};
    std::atomic<uint64_t> position{0};
    std::atomic<uint64_t> underruns{0};

    // Caller's thread only.
    bool everPlayed = false;

    // Output callback only.
    uint32_t readOffset = 0;
    uint32_t primedEpoch = ~0u;
    uint32_t endedEpoch = ~0u;

    // Decoder only.
    std::vector<int16_t> decoded;
};

static MusicStream* streams[maxStreams];
static uint32_t generations[maxStreams];
static char lastError[256];
static bool silentOutput = false;

static void setError(const char* text)
{
    std::snprintf(lastError, sizeof lastError, "%s", text);
}

static MusicStream* streamOf(uint32_t handle)
{
    if (handle == 0)
        return nullptr;
    uint32_t slot = (handle - 1) % maxStreams;
    if (generations[slot] != (handle - 1) / maxStreams)
        return nullptr;
    return streams[slot];
}

static void useSilentOutput()
{
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_OVERRIDE);
    SDL_InitSubSystem(SDL_INIT_AUDIO);
    silentOutput = true;
}

static bool anyStreamOpen()
{
    for (MusicStream* s : streams)
        if (s)
            return true;
    return false;
}

static void fillOutput(void* user, Uint8* out, int len)
{
    MusicStream* s = static_cast<MusicStream*>(user);
    const uint32_t channels = uint32_t(s->outChannels);
    const uint32_t want = uint32_t(len) / (channels * 2);
    if (!s->playing.load(std::memory_order_acquire)) {
        std::memset(out, 0, size_t(len));
        return;
    }
    const uint32_t epoch = s->epoch.load(std::memory_order_acquire);
    const uint64_t count = s->blocks.size();
    int16_t* dst = reinterpret_cast<int16_t*>(out);
    uint64_t r = s->read.load(std::memory_order_relaxed);
    const uint64_t w = s->written.load(std::memory_order_acquire);
    uint32_t filled = 0;
    int64_t reached = -1;
    while (filled < want && r != w) {
        const RingBlock& block = s->blocks[r % count];
        if (block.epoch != epoch) {
            // Decoded before a restart: dropped unheard.
            ++r;
            s->readOffset = 0;
            continue;
        }
        const uint32_t take = std::min(block.frames - s->readOffset, want - filled);
        const int16_t* src = &s->samples[((r % count) * blockFrames + s->readOffset) * channels];
        std::memcpy(dst + size_t(filled) * channels, src, size_t(take) * channels * 2);
        filled += take;
        s->readOffset += take;
        reached = block.startFrame + s->readOffset;
        s->primedEpoch = epoch;
        if (s->readOffset == block.frames) {
            if (block.last)
                s->endedEpoch = epoch;
            ++r;
            s->readOffset = 0;
        }
    }
    if (filled < want)
        std::memset(dst + size_t(filled) * channels, 0, size_t(want - filled) * channels * 2);
    s->read.store(r, std::memory_order_release);

    const bool ended = s->endedEpoch == epoch;
    uint64_t current = s->position.load(std::memory_order_relaxed);
    if (epochOf(current) == (epoch & 0xFFFF) && (ended || reached >= 0)) {
        const int64_t frames = ended ? s->lengthFrames : std::min(reached, s->lengthFrames);
        s->position.compare_exchange_strong(current, packPosition(epoch, frames), std::memory_order_release,
                                            std::memory_order_relaxed);
    }
    if (filled < want && !ended && s->primedEpoch == epoch)
        s->underruns.fetch_add(1, std::memory_order_relaxed);
    SDL_SemPost(s->wake);
}

// More channels than the output takes: even ones to the left, odd ones to the right, each side the
// average of its channels so that nothing clips.
static void mixToStereo(const int16_t* in, int inChannels, int16_t* out, int64_t frames)
{
    for (int64_t f = 0; f < frames; ++f) {
        const int16_t* frame = in + f * inChannels;
        int32_t sum[2] = {0, 0};
        for (int c = 0; c < inChannels; ++c)
            sum[c & 1] += frame[c];
        out[f * 2] = int16_t(sum[0] / ((inChannels + 1) / 2));
        out[f * 2 + 1] = int16_t(sum[1] / (inChannels / 2));
    }
}

static void decodeLoop(MusicStream* s)
{
    const uint64_t count = s->blocks.size();
    const int inChannels = s->channels;
    const int outChannels = s->outChannels;
    uint32_t localEpoch = ~0u;
    bool finished = false;
    bool readable = true;
    int64_t decodedFrames = 0;
    while (!s->quit.load(std::memory_order_acquire)) {
        const uint32_t epoch = s->epoch.load(std::memory_order_acquire);
        if (epoch != localEpoch) {
            const bool atStart = localEpoch == ~0u;
            localEpoch = epoch;
            decodedFrames = 0;
            finished = false;
            // A stream that cannot go back to its beginning ends at once, rather than never; the file
            // is never opened again, since its path may now name another.
            readable = atStart || s->decoder.family->toStart(&s->decoder);
        }
        while (!finished && s->epoch.load(std::memory_order_acquire) == epoch) {
            const uint64_t w = s->written.load(std::memory_order_relaxed);
            if (w - s->read.load(std::memory_order_acquire) >= count)
                break;
            int64_t got = readable ? s->decoder.family->read(&s->decoder, s->decoded.data(), blockFrames) : 0;
            // Never beyond the announced length: the position must meet it exactly at the end.
            got = std::min<int64_t>(got, s->lengthFrames - decodedFrames);
            int16_t* dst = &s->samples[(w % count) * blockFrames * size_t(outChannels)];
            if (inChannels == outChannels)
                std::memcpy(dst, s->decoded.data(), size_t(got) * size_t(outChannels) * 2);
            else
                mixToStereo(s->decoded.data(), inChannels, dst, got);
            RingBlock& block = s->blocks[w % count];
            block.epoch = epoch;
            block.frames = uint32_t(got);
            block.startFrame = decodedFrames;
            decodedFrames += got;
            block.last = got < int64_t(blockFrames) || decodedFrames >= s->lengthFrames;
            finished = block.last;
            s->written.store(w + 1, std::memory_order_release);
        }
        SDL_SemWaitTimeout(s->wake, 100);
    }
}

static void closeStream(MusicStream* s)
{
    if (s->device)
        SDL_CloseAudioDevice(s->device);
    if (s->decodingThread.joinable()) {
        s->quit.store(true, std::memory_order_release);
        SDL_SemPost(s->wake);
        s->decodingThread.join();
    }
    if (s->wake)
        SDL_DestroySemaphore(s->wake);
    decoderClose(&s->decoder);
    delete s;
}

static SDL_AudioDeviceID openOutput(MusicStream* s)
{
    SDL_AudioSpec want{};
    want.freq = s->rate;
    want.format = AUDIO_S16SYS;
    want.channels = Uint8(s->outChannels);
    want.samples = s->rate > 48000 ? 2048 : 1024;
    want.callback = fillOutput;
    want.userdata = s;
    SDL_AudioSpec have{};
    if (!SDL_WasInit(SDL_INIT_AUDIO) && SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        useSilentOutput();
    // No change allowed: SDL converts to whatever the device takes, so the callback deals in the
    // file's own frames and the position counts them exactly.
    SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (device == 0 && !silentOutput && !anyStreamOpen()) {
        useSilentOutput();
        device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    }
    if (device == 0)
        std::snprintf(lastError, sizeof lastError, "no sound output: %s", SDL_GetError());
    return device;
}

bool musicInit(int device, uint32_t, uint32_t, void*, const void*)
{
    // SDL asks D-Bus for a session bus; where there is none, D-Bus would fork to launch one, costing
    // the first frame about 80 ms and possibly leaving a bus daemon behind. The demo needs no bus.
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 0);
    // SDL would take Ctrl+C and kill for events of its own that nobody reads.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (device == 0) {
        useSilentOutput();
        return true;
    }
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        useSilentOutput();
    return SDL_WasInit(SDL_INIT_AUDIO) != 0;
}

uint32_t musicStreamCreateFile(bool fromMemory, const void* file, uint64_t offset, uint64_t length, uint32_t)
{
    if (fromMemory || offset != 0 || length != 0 || !file) {
        setError("only whole files are supported");
        return 0;
    }
    const char* path = static_cast<const char*>(file);
    int slot = 0;
    while (slot < maxStreams && streams[slot])
        ++slot;
    if (slot == maxStreams) {
        setError("too many streams");
        return 0;
    }
    MusicStream* s = new MusicStream;
    if (!decoderOpen(&s->decoder, path)) {
        setError(s->decoder.error);
        delete s;
        return 0;
    }
    s->rate = s->decoder.rate;
    s->channels = s->decoder.channels;
    if (s->decoder.frames >= int64_t(positionMask / uint64_t(s->channels * 2))) {
        setError("unusable stream format");
        closeStream(s);
        return 0;
    }
    s->lengthFrames = s->decoder.frames;
    s->outChannels = s->channels <= outputChannelLimit ? s->channels : 2;
    const uint64_t blockCount = std::max<uint64_t>(4, uint64_t(bufferedSeconds * s->rate / blockFrames) + 1);
    s->blocks.assign(blockCount, RingBlock{~0u, 0, 0, false});
    s->samples.assign(blockCount * blockFrames * size_t(s->outChannels), 0);
    s->decoded.assign(size_t(blockFrames) * size_t(s->channels), 0);
    s->wake = SDL_CreateSemaphore(0);
    s->decodingThread = std::thread(decodeLoop, s);
    s->device = openOutput(s);
    if (!s->device) {
        closeStream(s);
        return 0;
    }
    SDL_PauseAudioDevice(s->device, 0);
    streams[slot] = s;
    return uint32_t(slot + 1) + generations[slot] * maxStreams;
}

uint64_t musicChannelGetLength(uint32_t handle, uint32_t mode)
{
    MusicStream* s = streamOf(handle);
    if (!s || mode != musicPosByte)
        return musicErrorValue;
    return uint64_t(s->lengthFrames) * uint64_t(s->channels) * 2;
}

uint64_t musicChannelGetPosition(uint32_t handle, uint32_t mode)
{
    MusicStream* s = streamOf(handle);
    if (!s || mode != musicPosByte)
        return musicErrorValue;
    return uint64_t(framesOf(s->position.load(std::memory_order_acquire))) * uint64_t(s->channels) * 2;
}

double musicChannelBytesToSeconds(uint32_t handle, uint64_t bytes)
{
    MusicStream* s = streamOf(handle);
    if (!s)
        return -1.0;
    return double(bytes) / (double(s->rate) * s->channels * 2);
}

bool musicChannelPlay(uint32_t handle, bool restart)
{
    MusicStream* s = streamOf(handle);
    if (!s)
        return false;
    // Before the first play nothing was consumed, so what the decoder holds is the beginning.
    if (restart && s->everPlayed) {
        const uint32_t epoch = s->epoch.fetch_add(1, std::memory_order_acq_rel) + 1;
        s->position.store(packPosition(epoch, 0), std::memory_order_release);
        SDL_SemPost(s->wake);
    }
    s->everPlayed = true;
    // Every running frame calls this: store only on a change.
    if (!s->playing.load(std::memory_order_relaxed))
        s->playing.store(true, std::memory_order_release);
    return true;
}

bool musicChannelPause(uint32_t handle)
{
    MusicStream* s = streamOf(handle);
    if (!s)
        return false;
    if (s->playing.load(std::memory_order_relaxed))
        s->playing.store(false, std::memory_order_release);
    return true;
}

const char* musicLastError()
{
    return lastError;
}

uint64_t musicChannelUnderruns(uint32_t handle)
{
    MusicStream* s = streamOf(handle);
    return s ? s->underruns.load(std::memory_order_relaxed) : 0;
}

const char* musicOutputDriver()
{
    const char* name = SDL_GetCurrentAudioDriver();
    return name ? name : "";
}

bool musicStreamFree(uint32_t handle)
{
    MusicStream* s = streamOf(handle);
    if (!s)
        return false;
    const uint32_t slot = (handle - 1) % maxStreams;
    streams[slot] = nullptr;
    ++generations[slot];
    closeStream(s);
    return true;
}

void musicFree()
{
    for (int slot = 0; slot < maxStreams; ++slot)
        if (streams[slot])
            musicStreamFree(uint32_t(slot + 1) + generations[slot] * maxStreams);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    SDL_ResetHint(SDL_HINT_AUDIODRIVER);
    silentOutput = false;
}
