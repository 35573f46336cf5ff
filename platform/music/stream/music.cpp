// The music service's handle interface: the calls the demo makes, on its own thread. Opening a
// stream decodes its head and starts the threads that serve it: the decoding thread (decoding.cpp),
// the supervisor (supervisor.cpp) and the output's own (output/).
#include "platform/music/music.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/music/stream/stream.h"

constexpr double bufferedSeconds = 0.35;
// The beginning is kept decoded, so that a restart plays at once while the decoder goes back.
constexpr double headSeconds = 0.25;
// What its decode at open may read of the file and decode, so that a hole, junk or a header that
// claims hundreds of channels costs the caller's thread a few milliseconds at most: the head is then
// shorter, and the decoding thread goes back to where it ends.
constexpr int64_t headAllowance = int64_t(2) << 20;
constexpr int maxStreams = 16;
constexpr int64_t frameLimit = int64_t{1} << 48;

static MusicStream* streams[maxStreams];
static uint32_t generations[maxStreams];
static char lastError[256];
static bool serviceReady = false;
static bool serverWanted = false;
static bool soundWanted = true;

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

static void closeStream(MusicStream* s)
{
    s->quit.store(true, std::memory_order_release);
    sem_post(&s->decodeWake);
    sem_post(&s->superviseWake);
    if (s->supervisingThread.joinable())
        s->supervisingThread.join();
    if (Output* output = s->current.load(std::memory_order_relaxed)) {
        output->family->close(output);
        s->retired.push_back(output);
    }
    if (s->decodingThread.joinable())
        s->decodingThread.join();
    freeRetired(s, true);
    sem_destroy(&s->decodeWake);
    sem_destroy(&s->superviseWake);
    decoderClose(&s->decoder);
    delete s;
}

bool musicInit(int device, uint32_t, uint32_t, void*, const void*)
{
    // A driver named in the environment is a choice: SDL's audio with it, not the sound server.
    soundWanted = device != 0;
    serverWanted = soundWanted && !std::getenv("SDL_AUDIODRIVER");
    // HACK: SDL 2.26's SDL_InitSubSystem connects to the session bus and, once it has it, to the
    // system bus, through libdbus's dbus_bus_get_private: a bus that hangs holds it (and libdbus's
    // global bus lock) for good, and where no bus is named D-Bus forks to launch one. Its audio needs
    // neither, so no session bus is named to the process; the screen keeper took the address before.
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    serviceReady = true;
    return true;
}

uint32_t musicStreamCreateFile(bool fromMemory, const void* file, uint64_t offset, uint64_t length, uint32_t)
{
    if (!serviceReady) {
        setError("the music service is not initialised");
        return 0;
    }
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
    sem_init(&s->decodeWake, 0, 0);
    sem_init(&s->superviseWake, 0, 0);
    if (!decoderOpen(&s->decoder, path)) {
        setError(s->decoder.error);
        closeStream(s);
        return 0;
    }
    s->rate = s->decoder.rate;
    s->channels = s->decoder.channels;
    s->outChannels = s->decoder.outChannels;
    const uint64_t blockCount =
        std::max<uint64_t>(4, uint64_t(bufferedSeconds * s->rate / blockFrames) + 1) + keptBlocks;
    s->blocks.assign(blockCount, RingBlock{~0u, 0, 0, false});
    s->samples.assign(blockCount * blockFrames * size_t(s->outChannels), 0);
    s->decoded.assign(size_t(blockFrames) * size_t(s->outChannels), 0);
    s->serverWanted = serverWanted;
    const int64_t headWanted = int64_t(headSeconds * s->rate);
    s->head.assign(size_t(headWanted) * size_t(s->outChannels), 0);
    s->decoder.allowance = {true, headAllowance};
    while (s->headFrames < headWanted) {
        const int64_t got = decodeInto(s, &s->head[size_t(s->headFrames) * size_t(s->outChannels)],
                                       std::min<int64_t>(blockFrames, headWanted - s->headFrames));
        // The read that spent it may have ended where the allowance did, not the file: left out.
        s->headCut = allowanceLeft(&s->decoder.allowance) == 0;
        if (got <= 0 || s->headCut)
            break;
        s->headFrames += got;
    }
    s->decoder.allowance = {};
    s->headEnded = !s->headCut && s->headFrames < headWanted;
    // A file of which nothing decodes is damage, not a track of no frames.
    if (s->headEnded && s->headFrames == 0 && s->decoder.length.frames > 0) {
        setError("no audio in it decodes");
        closeStream(s);
        return 0;
    }
    // The length is shown and ends the position, never the music: a stream that ended within its
    // head is that long, and one that goes on is at least as long as its head, and a frame.
    const int64_t probed = std::min(s->decoder.length.frames, frameLimit);
    s->lengthFrames = s->headEnded ? s->headFrames : std::max({probed, s->headFrames, int64_t(1)});

    // The sound server first, SDL's audio where none answers, and a silent clock as the last resort.
    Output* output = serverWanted ? openOutput(s, &serverOutput) : nullptr;
    if (!output && soundWanted)
        output = openOutput(s, &sdlOutput);
    if (!output)
        output = openOutput(s, &silentOutput);
    if (!output) {
        setError("no sound output");
        closeStream(s);
        return 0;
    }
    s->current.store(output, std::memory_order_release);
    s->decodingThread = std::thread(decodeLoop, s);
    s->supervisingThread = std::thread(superviseLoop, s);
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

// The frame being heard now (position.cpp).
uint64_t musicChannelGetPosition(uint32_t handle, uint32_t mode)
{
    MusicStream* s = streamOf(handle);
    if (!s || mode != musicPosByte)
        return musicErrorValue;
    return uint64_t(streamPosition(s)) * uint64_t(s->channels) * 2;
}

double musicChannelBytesToSeconds(uint32_t handle, uint64_t bytes)
{
    MusicStream* s = streamOf(handle);
    if (!s)
        return -1.0;
    // Asked on every turn of the loop, mostly for the position it was last asked for: a division saved.
    if (bytes != s->secondsAskedBytes) {
        s->secondsAskedBytes = bytes;
        s->secondsAsked = double(bytes) / (double(s->rate) * s->channels * 2);
    }
    return s->secondsAsked;
}

bool musicChannelPlay(uint32_t handle, bool restart)
{
    MusicStream* s = streamOf(handle);
    if (!s)
        return false;
    // Before the first play nothing was consumed, so what the decoder holds is the beginning.
    if (restart && s->everPlayed) {
        std::lock_guard<std::mutex> lock(s->control);
        s->epoch.fetch_add(1, std::memory_order_acq_rel);
        Output* output = s->current.load(std::memory_order_relaxed);
        output->family->discard(output);
        sem_post(&s->decodeWake);
    }
    s->everPlayed = true;
    // Every running frame calls this: the output is told only of a change.
    if (!s->playing.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(s->control);
        s->playing.store(true, std::memory_order_release);
        Output* output = s->current.load(std::memory_order_relaxed);
        output->family->start(output);
    }
    return true;
}

bool musicChannelPause(uint32_t handle)
{
    MusicStream* s = streamOf(handle);
    if (!s)
        return false;
    if (s->playing.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(s->control);
        s->playing.store(false, std::memory_order_release);
        Output* output = s->current.load(std::memory_order_relaxed);
        output->family->pause(output);
    }
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

const char* musicOutputName(uint32_t handle)
{
    MusicStream* s = streamOf(handle);
    if (!s)
        return "";
    // Under the lock, so that the output is not replaced and freed while it is asked.
    std::lock_guard<std::mutex> lock(s->control);
    return s->current.load(std::memory_order_acquire)->family->name;
}

uint32_t musicOutputsKept(uint32_t handle)
{
    MusicStream* s = streamOf(handle);
    return s ? s->outputsKept.load(std::memory_order_relaxed) : 0;
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
    sdlOutputQuit();
    serviceReady = false;
}
