#include "platform/music/music.h"

#include <semaphore.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/music/decoder.h"
#include "platform/music/output.h"

constexpr uint32_t blockFrames = 1024;
constexpr double bufferedSeconds = 0.35;
// The beginning is kept decoded, so that a restart plays at once while the decoder goes back.
constexpr double headSeconds = 0.25;
constexpr int maxStreams = 16;
constexpr int64_t frameLimit = int64_t{1} << 48;
// An output that has played nothing for this long while it should is taken as gone.
constexpr int64_t stallNs = 150'000'000;
// How often a sound server that was not there is looked for again.
constexpr int64_t serverRetryNs = 700'000'000;

struct RingBlock {
    uint32_t epoch;
    uint32_t frames;
    bool last;
};

// What the pulling side has handed to the current output, in the output's own count of frames.
struct PullState {
    uint32_t epoch;
    bool ended;          // the epoch's last frame has been handed over
    int64_t origin;      // where in the output's count the epoch's frame 0 was handed over
    int64_t pulledInEpoch;
    int64_t handed;
    Output* output;
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

    // Single producer (decoder), single consumer (whichever output is current). Blocks of an epoch
    // start where the head ends.
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
    std::vector<Output*> retired;  // kept until the stream is freed: a reader may still hold one

    // Written by the current output's thread, or by the supervisor while no output runs.
    std::atomic<uint32_t> pullSequence{0};
    std::atomic<uint32_t> pullEpoch{~0u};
    std::atomic<bool> pullEnded{false};
    std::atomic<int64_t> pullOrigin{0};
    std::atomic<int64_t> pullInEpoch{0};
    std::atomic<int64_t> pullHanded{0};
    std::atomic<Output*> pullOutput{nullptr};

    // Current output's thread only.
    uint32_t readOffset = 0;
    uint32_t primedEpoch = ~0u;

    // Caller's thread only.
    bool everPlayed = false;
    uint32_t reportedEpoch = ~0u;
    int64_t reportedFrames = 0;

    // Decoder only.
    std::vector<int16_t> decoded;
};

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

// Both records below are seqlocks: the fields are stored with release and loaded with acquire, so a
// reader that sees a field of a newer record also sees its newer sequence and reads again.
int64_t monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void heardClockPublish(HeardClock* clock, int64_t heard, int64_t handed, bool running)
{
    const uint32_t sequence = clock->sequence.load(std::memory_order_relaxed);
    clock->sequence.store(sequence + 1, std::memory_order_relaxed);
    clock->heard.store(heard, std::memory_order_release);
    clock->handed.store(handed, std::memory_order_release);
    clock->stampNs.store(monotonicNs(), std::memory_order_release);
    clock->running.store(running, std::memory_order_release);
    clock->sequence.store(sequence + 2, std::memory_order_release);
}

int64_t heardClockRead(const HeardClock* clock, int rate)
{
    int64_t heard = 0, handed = 0, stamp = 0;
    bool running = false;
    for (;;) {
        const uint32_t before = clock->sequence.load(std::memory_order_acquire);
        heard = clock->heard.load(std::memory_order_acquire);
        handed = clock->handed.load(std::memory_order_acquire);
        stamp = clock->stampNs.load(std::memory_order_acquire);
        running = clock->running.load(std::memory_order_acquire);
        if (!(before & 1) && clock->sequence.load(std::memory_order_relaxed) == before)
            break;
    }
    if (running)
        heard += int64_t(std::min(double(monotonicNs() - stamp) * rate / 1e9, double(handed - heard)));
    return std::min(heard, handed);
}

static void publishPull(MusicStream* s, const PullState& p)
{
    const uint32_t sequence = s->pullSequence.load(std::memory_order_relaxed);
    s->pullSequence.store(sequence + 1, std::memory_order_relaxed);
    s->pullEpoch.store(p.epoch, std::memory_order_release);
    s->pullEnded.store(p.ended, std::memory_order_release);
    s->pullOrigin.store(p.origin, std::memory_order_release);
    s->pullInEpoch.store(p.pulledInEpoch, std::memory_order_release);
    s->pullHanded.store(p.handed, std::memory_order_release);
    s->pullOutput.store(p.output, std::memory_order_release);
    s->pullSequence.store(sequence + 2, std::memory_order_release);
}

static PullState readPull(const MusicStream* s)
{
    PullState p{};
    for (;;) {
        const uint32_t before = s->pullSequence.load(std::memory_order_acquire);
        p.epoch = s->pullEpoch.load(std::memory_order_acquire);
        p.ended = s->pullEnded.load(std::memory_order_acquire);
        p.origin = s->pullOrigin.load(std::memory_order_acquire);
        p.pulledInEpoch = s->pullInEpoch.load(std::memory_order_acquire);
        p.handed = s->pullHanded.load(std::memory_order_acquire);
        p.output = s->pullOutput.load(std::memory_order_acquire);
        if (!(before & 1) && s->pullSequence.load(std::memory_order_relaxed) == before)
            return p;
    }
}

// Output thread.
int64_t streamPull(Output* self, int16_t* out, int64_t frames, bool* atEnd, bool mustFill)
{
    MusicStream* s = self->stream;
    // An output being opened, or one being replaced, takes nothing.
    if (s->current.load(std::memory_order_acquire) != self) {
        *atEnd = false;
        return 0;
    }
    PullState p = readPull(s);
    const uint32_t epoch = s->epoch.load(std::memory_order_acquire);
    if (p.epoch != epoch) {
        p.epoch = epoch;
        p.ended = false;
        p.origin = p.handed;
        p.pulledInEpoch = 0;
    }
    const uint32_t channels = uint32_t(s->outChannels);
    const uint64_t count = s->blocks.size();
    uint64_t r = s->read.load(std::memory_order_relaxed);
    const uint64_t w = s->written.load(std::memory_order_acquire);
    int64_t filled = 0;
    if (p.pulledInEpoch < s->headFrames) {
        filled = std::min(s->headFrames - p.pulledInEpoch, frames);
        std::memcpy(out, &s->head[size_t(p.pulledInEpoch) * channels], size_t(filled) * channels * 2);
    }
    while (r != w && !p.ended) {
        const RingBlock& block = s->blocks[r % count];
        if (block.epoch != epoch) {
            // Decoded before a restart: dropped unheard.
            ++r;
            s->readOffset = 0;
            continue;
        }
        if (filled == frames)
            break;
        const uint32_t take = uint32_t(std::min<int64_t>(block.frames - s->readOffset, frames - filled));
        const int16_t* src = &s->samples[((r % count) * blockFrames + s->readOffset) * channels];
        std::memcpy(out + filled * channels, src, size_t(take) * channels * 2);
        filled += take;
        s->readOffset += take;
        if (s->readOffset == block.frames) {
            p.ended = block.last;
            ++r;
            s->readOffset = 0;
        }
    }
    s->read.store(r, std::memory_order_release);
    if (mustFill && filled < frames && !p.ended && s->primedEpoch == epoch)
        streamUnderrun(self);
    if (filled > 0)
        s->primedEpoch = epoch;
    p.pulledInEpoch += filled;
    p.handed += filled;
    p.output = self;
    publishPull(s, p);
    sem_post(&s->decodeWake);
    *atEnd = p.ended;
    return filled;
}

void streamUnderrun(Output* self)
{
    self->stream->underruns.fetch_add(1, std::memory_order_relaxed);
}

static void waitFor(sem_t* wake, int64_t ns)
{
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    const int64_t end = until.tv_nsec + ns;
    until.tv_sec += end / 1'000'000'000;
    until.tv_nsec = end % 1'000'000'000;
    while (sem_timedwait(wake, &until) != 0 && errno == EINTR) {
    }
}

// Decoding thread, or the caller's while the stream opens: the next frames of the file, converted by
// the decoder to the output's rate, channels and speakers.
static int64_t decodeInto(MusicStream* s, int16_t* out, int64_t frames)
{
    return decoderRead(&s->decoder, out, frames);
}

// Decoding thread: back to where the head ends, by the decoder's own return to frame 0.
static bool backToHeadEnd(MusicStream* s)
{
    if (!decoderToStart(&s->decoder))
        return false;
    for (int64_t skipped = 0; skipped < s->headFrames;) {
        const int64_t got = decoderRead(&s->decoder, s->decoded.data(),
                                        std::min<int64_t>(blockFrames, s->headFrames - skipped));
        if (got <= 0)
            return false;
        skipped += got;
    }
    return true;
}

// Decoding thread.
static void decodeLoop(MusicStream* s)
{
    const uint64_t count = s->blocks.size();
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
            decodedFrames = s->headFrames;
            finished = false;
            // A stream that cannot go back ends once its head has played, rather than never; the file
            // is never opened again, since its path may now name another.
            readable = s->headFrames < s->lengthFrames && (atStart || backToHeadEnd(s));
        }
        while (!finished && s->epoch.load(std::memory_order_acquire) == epoch) {
            const uint64_t w = s->written.load(std::memory_order_relaxed);
            if (w - s->read.load(std::memory_order_acquire) >= count)
                break;
            int16_t* dst = &s->samples[(w % count) * blockFrames * size_t(outChannels)];
            // Never beyond the announced length: the position must meet it exactly at the end.
            const int64_t want = std::min<int64_t>(blockFrames, s->lengthFrames - decodedFrames);
            const int64_t got = readable && want > 0 ? decodeInto(s, dst, want) : 0;
            RingBlock& block = s->blocks[w % count];
            block.epoch = epoch;
            block.frames = uint32_t(got);
            decodedFrames += got;
            block.last = got < want || decodedFrames >= s->lengthFrames;
            finished = block.last;
            s->written.store(w + 1, std::memory_order_release);
        }
        waitFor(&s->decodeWake, 100'000'000);
    }
}

static Output* openOutput(MusicStream* s, const OutputFamily* family)
{
    Output* output = new Output{};
    output->family = family;
    output->stream = s;
    output->rate = s->rate;
    output->channels = s->outChannels;
    std::copy(s->decoder.layout, s->decoder.layout + layoutChannelLimit, output->layout);
    if (family->open(output))
        return output;
    delete output;
    return nullptr;
}

// Supervising thread: puts a fresh output in place of the current one, the position going on from
// where the stream is.
static void switchOutput(MusicStream* s, Output* fresh)
{
    std::lock_guard<std::mutex> lock(s->control);
    Output* old = s->current.load(std::memory_order_relaxed);
    old->family->close(old);
    s->retired.push_back(old);
    // What the old output held unheard is lost; the new one counts from where the stream is.
    PullState p = readPull(s);
    p.origin = -p.pulledInEpoch;
    p.handed = 0;
    p.output = fresh;
    publishPull(s, p);
    s->current.store(fresh, std::memory_order_release);
    if (s->playing.load(std::memory_order_relaxed))
        fresh->family->start(fresh);
}

// Supervising thread: whatever the output does, the clock goes on; a sound server that appears or
// comes back is used again.
static void superviseLoop(MusicStream* s)
{
    int64_t lastHeard = -1;
    int64_t lastProgressNs = monotonicNs();
    int64_t nextServerTryNs = monotonicNs() + serverRetryNs;
    while (!s->quit.load(std::memory_order_acquire)) {
        waitFor(&s->superviseWake, 50'000'000);
        const int64_t now = monotonicNs();
        Output* output = s->current.load(std::memory_order_acquire);
        const int64_t heard = output->family->framesHeard(output);
        const PullState p = readPull(s);
        const bool playing = s->playing.load(std::memory_order_acquire);
        if (heard != lastHeard || !playing || (p.ended && heard >= p.handed)) {
            lastHeard = heard;
            lastProgressNs = now;
        }
        const bool stalled = now - lastProgressNs > stallNs;
        if (output->family->failed(output) || stalled) {
            if (output->family != &silentOutput) {
                switchOutput(s, openOutput(s, &silentOutput));
                lastHeard = -1;
                lastProgressNs = now;
                nextServerTryNs = now + serverRetryNs;
            }
            continue;
        }
        if (s->serverWanted && output->family != &serverOutput && now >= nextServerTryNs) {
            if (Output* server = openOutput(s, &serverOutput)) {
                switchOutput(s, server);
                lastHeard = -1;
                lastProgressNs = now;
            }
            nextServerTryNs = monotonicNs() + serverRetryNs;
        }
    }
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
    // An output whose thread could not be ended keeps what it may still touch.
    for (Output* output : s->retired)
        if (!output->handle)
            delete output;
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
    // SDL asks D-Bus for a session bus; where there is none, D-Bus would fork to launch one, costing
    // the first frame about 80 ms and possibly leaving a bus daemon behind. The service needs no bus.
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 0);
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
    if (s->decoder.frames >= frameLimit) {
        setError("unusable stream format");
        closeStream(s);
        return 0;
    }
    s->lengthFrames = s->decoder.frames;
    s->outChannels = s->decoder.outChannels;
    const uint64_t blockCount = std::max<uint64_t>(4, uint64_t(bufferedSeconds * s->rate / blockFrames) + 1);
    s->blocks.assign(blockCount, RingBlock{~0u, 0, false});
    s->samples.assign(blockCount * blockFrames * size_t(s->outChannels), 0);
    s->decoded.assign(size_t(blockFrames) * size_t(s->outChannels), 0);
    s->serverWanted = serverWanted;
    const int64_t headWanted = std::min<int64_t>(s->lengthFrames, int64_t(headSeconds * s->rate));
    s->head.assign(size_t(headWanted) * size_t(s->outChannels), 0);
    while (s->headFrames < headWanted) {
        const int64_t got = decodeInto(s, &s->head[size_t(s->headFrames) * size_t(s->outChannels)],
                                       std::min<int64_t>(blockFrames, headWanted - s->headFrames));
        if (got <= 0)
            break;
        s->headFrames += got;
    }

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

// The frame being heard now: what was handed to the output, less what it has not played yet.
uint64_t musicChannelGetPosition(uint32_t handle, uint32_t mode)
{
    MusicStream* s = streamOf(handle);
    if (!s || mode != musicPosByte)
        return musicErrorValue;
    const uint32_t epoch = s->epoch.load(std::memory_order_relaxed);
    const PullState p = readPull(s);
    int64_t frames = 0;
    if (p.epoch == epoch && p.output) {
        const int64_t heard = p.output->family->framesHeard(p.output);
        if (p.ended && heard >= p.handed)
            frames = s->lengthFrames;
        else
            frames = std::clamp<int64_t>(heard - p.origin, 0,
                                         std::max<int64_t>(0, std::min(p.pulledInEpoch, s->lengthFrames - 1)));
    }
    // Never back within one run from the start.
    if (epoch == s->reportedEpoch)
        frames = std::max(frames, s->reportedFrames);
    s->reportedEpoch = epoch;
    s->reportedFrames = frames;
    return uint64_t(frames) * uint64_t(s->channels) * 2;
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
    return s ? s->current.load(std::memory_order_acquire)->family->name : "";
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
