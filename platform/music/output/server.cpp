// The desktop's sound server through libpulse (PulseAudio, or PipeWire's pipewire-pulse): one
// playback stream at the music's own rate and channel count, paused by corking it and restarted by
// flushing it, so that both act at the server at once. What is heard comes from the server's timing.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "platform/music/output/output.h"

// Measured on a 2-core machine: a plain client needed about 100 ms to ride out two CPU-bound
// processes, where 7 to 17 ms did not. The server keeps the sink's share of this apart, and with
// the software rasteriser busy on both cores 60 ms left at the server still ran dry once in about
// fifteen runs; 200 ms leaves it well over 100.
constexpr pa_usec_t targetLatencyUs = 200'000;
constexpr pa_usec_t startLatencyUs = 5'000;
constexpr pa_usec_t requestUs = 10'000;
constexpr pa_usec_t tickUs = 5'000;
// While the server waits for frames not yet decoded, as right after a restart.
constexpr pa_usec_t hungryTickUs = 1'000;
constexpr pa_usec_t connectTimeoutUs = 500'000;
// How often the server is asked where its read position is, and how long that position may stand
// while the server holds frames to play before the server counts as stalled: no longer than it
// takes to play what it holds.
constexpr int64_t pollNs = 25'000'000;
constexpr int64_t stallNs = int64_t(targetLatencyUs) * 1000;
// A server that does not answer at all; longer, since our own thread may be the one held up. A cork,
// uncork or flush is given longer still: a busy server may be slow to carry it out.
constexpr int64_t noReplyNs = 500'000'000;
constexpr int64_t slowOperationNs = 1'000'000'000;

// Whether the server plays the stream.
enum class Play : uint8_t {
    connecting,  // until the server holds the stream, corked
    paused,      // corked at the server
    // Started in place of another output, but kept corked at the server until its sink has played
    // the silence it had rendered ahead (serverAhead): a sink may take a stream that is ready early
    // in place of that silence, and the music would then be heard ahead of its time.
    takingOver,
    playing,  // uncorked
    failed,   // the server went away, refused the stream, or stalled; for good
};

// How much of the music has been handed to the server.
enum class Feed : uint8_t {
    feeding,   // frames go over as the server asks for them
    draining,  // the last frame is handed over; the server plays out what it holds
    drained,   // the server has played the last frame: all that was handed is heard
};

// What moves the stream from one phase to another; `on` makes every move.
enum class Event : uint8_t {
    ready,       // the server holds the stream
    start,
    pause,
    uncorkDue,   // the sink's own silence is as good as played
    lastHanded,  // the stream's last frame has gone over
    drained,     // the server has played it
    discarded,   // the server was told to drop what it holds (a restart)
    broke,       // the server went away, refused the stream, or stopped playing what it holds
};

struct ServerState {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_time_event* tick = nullptr;
    // Changed by `on` alone, on the server thread or under the loop's lock; read by the supervisor.
    std::atomic<Play> play{Play::connecting};
    Feed feed = Feed::feeding;
    // The rest: the server thread's, or under the loop's lock.
    // Held until its reply, and cancelled when the sound it was for is dropped or the stream closes.
    pa_operation* drain = nullptr;
    // Corks, uncorks and flushes sent whose reply, and the timing asked for after it, are still to
    // come: timing from before would put what is heard where it no longer is.
    int operationsPending = 0;
    int64_t operationSentNs = 0;
    int64_t written = 0;
    int64_t heard = 0;
    // Frames of the sink's own silence counted as written before ours (serverAhead), heard in real
    // time from when the stream first plays, and when the takeover uncorks the stream.
    int64_t ahead = 0;
    int64_t aheadFromNs = 0;
    int64_t uncorkAtNs = 0;
    // Until then the server plays what its sink had already taken: its read position may stand.
    int64_t quietUntilNs = 0;
    bool hungry = false;  // the server waits for frames not yet decoded: the tick comes sooner
    // Whether the server's own read position goes on while it has frames to play.
    bool polling = false;
    int64_t pollSentNs = 0;
    int64_t readIndex = -1;
    int64_t progressNs = 0;
    // Bounded waits of the caller's thread (open, serverAhead).
    bool timedOut = false;
    bool sinkTimed = false;
};

static ServerState* stateOf(Output* output)
{
    return static_cast<ServerState*>(output->handle);
}

static Play playOf(const ServerState* s)
{
    return s->play.load(std::memory_order_acquire);
}

// Server thread, or under the lock: what has been heard, from the server's latency.
static void publishHeard(Output* output)
{
    ServerState* s = stateOf(output);
    if (!s->stream || pa_stream_get_state(s->stream) != PA_STREAM_READY)
        return;
    const Play play = playOf(s);
    const bool settled = play == Play::playing && s->operationsPending == 0;
    pa_usec_t latency = 0;
    int negative = 0;
    // Nothing plays corked or taking over; before the stream first plays, nothing has been heard.
    if (settled && pa_stream_get_latency(s->stream, &latency, &negative) == 0) {
        const int64_t pending = negative ? 0 : int64_t(latency * pa_usec_t(output->rate) / PA_USEC_PER_SEC);
        // The server counts only what it was given: before the first of it is played, its latency
        // says nothing of the sink's own silence ahead of it.
        const int64_t played = s->written - s->ahead - pending;
        if (played > 0)
            s->heard = std::max(s->heard, s->ahead + played);
    }
    if ((play == Play::playing || play == Play::takingOver) && s->aheadFromNs) {
        const double aheadHeard = double(monotonicNs() - s->aheadFromNs) * output->rate / 1e9;
        s->heard = std::max(s->heard, std::min(s->ahead, int64_t(aheadHeard)));
    }
    if (s->feed == Feed::drained)
        s->heard = s->written;
    const pa_timing_info* timing = pa_stream_get_timing_info(s->stream);
    const bool running = settled && s->feed != Feed::drained && timing && timing->playing;
    heardClockPublish(output, std::min(s->heard, s->written), s->written, running);
}

// Server thread, or under the lock: a cancelled operation never calls back.
static void cancelDrain(ServerState* s)
{
    if (s->drain) {
        pa_operation_cancel(s->drain);
        pa_operation_unref(s->drain);
        s->drain = nullptr;
    }
}

static void fill(Output* output);
static void onDrained(pa_stream*, int success, void* user);
static void onCarriedOut(pa_stream* stream, int, void* user);

// Server thread, or under the lock: a cork, uncork or flush sent, whose reply and fresh timing are
// waited for.
static void operationSent(ServerState* s)
{
    const int64_t now = monotonicNs();
    if (s->operationsPending++ == 0)
        s->operationSentNs = now;
    s->progressNs = now;
}

static void sendCork(Output* output, bool corked)
{
    ServerState* s = stateOf(output);
    operationSent(s);
    if (pa_operation* op = pa_stream_cork(s->stream, corked ? 1 : 0, onCarriedOut, output))
        pa_operation_unref(op);
    if (!corked)
        fill(output);
    publishHeard(output);
}

// Server thread, or under the lock: every change of phase, and what the server is told for it.
static void on(Output* output, Event event)
{
    ServerState* s = stateOf(output);
    const Play play = playOf(s);
    // A failed server stays failed; what it is still told does no harm.
    auto enter = [s](Play next) {
        if (playOf(s) != Play::failed)
            s->play.store(next, std::memory_order_release);
    };
    switch (event) {
    case Event::ready:
        enter(Play::paused);
        break;
    case Event::start:
        if (play != Play::paused)
            break;
        if (s->ahead > 0 && !s->aheadFromNs) {
            // Uncorked by the tick once the sink's silence is as good as played.
            enter(Play::takingOver);
            s->aheadFromNs = monotonicNs();
            s->uncorkAtNs = s->aheadFromNs + int64_t(s->ahead * 1'000'000'000 / output->rate) -
                            int64_t(startLatencyUs) * 1000;
            fill(output);
            publishHeard(output);
        } else {
            enter(Play::playing);
            sendCork(output, false);
        }
        break;
    case Event::pause:
        if (play == Play::takingOver) {
            // Paused before the server was ever told to play: it stays corked.
            enter(Play::paused);
            publishHeard(output);
        } else if (play == Play::playing) {
            enter(Play::paused);
            sendCork(output, true);
        }
        break;
    case Event::uncorkDue:
        if (play == Play::takingOver) {
            enter(Play::playing);
            sendCork(output, false);
        }
        break;
    case Event::lastHanded:
        if (s->feed == Feed::feeding) {
            s->feed = Feed::draining;
            cancelDrain(s);
            s->drain = pa_stream_drain(s->stream, onDrained, output);
        }
        break;
    case Event::drained:
        if (s->feed == Feed::draining) {
            s->feed = Feed::drained;
            publishHeard(output);
        }
        break;
    case Event::discarded:
        operationSent(s);
        if (pa_operation* op = pa_stream_flush(s->stream, onCarriedOut, output))
            pa_operation_unref(op);
        // What was dropped counts as heard; a drain asked for before belongs to the old sound.
        s->heard = s->written;
        s->feed = Feed::feeding;
        cancelDrain(s);
        fill(output);
        publishHeard(output);
        break;
    case Event::broke:
        if (play != Play::failed) {
            enter(Play::failed);
            streamOutputFailed(output);
        }
        break;
    }
}

// Server thread: the last frame has been played.
static void onDrained(pa_stream*, int success, void* user)
{
    Output* output = static_cast<Output*>(user);
    ServerState* s = stateOf(output);
    if (s->drain) {
        pa_operation_unref(s->drain);
        s->drain = nullptr;
    }
    if (success)
        on(output, Event::drained);
}

// Server thread: timing asked for after a cork, uncork or flush.
static void onTimingUpdated(pa_stream*, int, void* user)
{
    Output* output = static_cast<Output*>(user);
    --stateOf(output)->operationsPending;
    publishHeard(output);
}

// Server thread: a cork, uncork or flush has been carried out at the server. Where timing cannot be
// asked for, the operation stays pending, and the watch fails the server once it has waited too long.
static void onCarriedOut(pa_stream* stream, int, void* user)
{
    if (pa_operation* op = pa_stream_update_timing_info(stream, onTimingUpdated, user))
        pa_operation_unref(op);
}

// Server thread: where the server's read position is. It counts as moving while it has nothing to
// play (we starved it, or it has played the end), while it is told to wait, or while it is corked.
static void onPolled(pa_stream* stream, int success, void* user)
{
    Output* output = static_cast<Output*>(user);
    ServerState* s = stateOf(output);
    s->polling = false;
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (!success || !timing)
        return;
    const int64_t now = monotonicNs();
    if (playOf(s) != Play::playing || s->operationsPending > 0 || !timing->playing ||
        timing->write_index <= timing->read_index || timing->read_index != s->readIndex || now < s->quietUntilNs)
        s->progressNs = now;
    s->readIndex = timing->read_index;
    publishHeard(output);
    if (now - s->progressNs > stallNs)
        on(output, Event::broke);
}

// Server thread: asks where the server's read position is, and judges whether it has stalled.
static void watchServer(Output* output)
{
    ServerState* s = stateOf(output);
    const int64_t now = monotonicNs();
    const Play play = playOf(s);
    if (play != Play::playing && play != Play::takingOver) {
        s->progressNs = now;
        return;
    }
    if (s->operationsPending > 0 ? now - s->operationSentNs > slowOperationNs
                                 : s->polling && now - s->pollSentNs > noReplyNs) {
        on(output, Event::broke);
        return;
    }
    if (!s->polling && now - s->pollSentNs >= pollNs) {
        if (pa_operation* op = pa_stream_update_timing_info(s->stream, onPolled, output)) {
            pa_operation_unref(op);
            s->polling = true;
            s->pollSentNs = now;
        }
    }
}

// Server thread, or under the lock: as much as the server takes, as far as it is decoded.
static void fill(Output* output)
{
    ServerState* s = stateOf(output);
    if (!s->stream || pa_stream_get_state(s->stream) != PA_STREAM_READY)
        return;
    const size_t frameBytes = size_t(output->channels) * 2;
    size_t writable = pa_stream_writable_size(s->stream);
    while (writable >= frameBytes && s->feed == Feed::feeding) {
        void* data = nullptr;
        size_t bytes = writable;
        if (pa_stream_begin_write(s->stream, &data, &bytes) < 0 || !data || bytes < frameBytes)
            break;
        const int64_t frames = int64_t(bytes / frameBytes);
        bool atEnd = false;
        const int64_t got = streamPull(output, static_cast<int16_t*>(data), frames, &atEnd, false);
        if (got > 0) {
            pa_stream_write(s->stream, data, size_t(got) * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
            s->written += got;
        } else {
            pa_stream_cancel_write(s->stream);
        }
        if (atEnd)
            on(output, Event::lastHanded);
        if (got < frames) {
            s->hungry = !atEnd;
            return;
        }
        writable = pa_stream_writable_size(s->stream);
    }
    s->hungry = false;
}

// Server thread.
static void onWritable(pa_stream*, size_t, void* user)
{
    fill(static_cast<Output*>(user));
}

// Server thread: the server ran dry in the middle of the music.
// HACK: PulseAudio 16 also reports the emptiness a flush leaves; what it reports before the flush
// has come back does not count.
static void onUnderflow(pa_stream*, void* user)
{
    Output* output = static_cast<Output*>(user);
    ServerState* s = stateOf(output);
    if (s->feed == Feed::feeding && playOf(s) == Play::playing && s->operationsPending == 0)
        streamUnderrun(output);
}

// Server thread: decoded frames that arrived since the server last asked, and a fresh position.
static void onTick(pa_mainloop_api*, pa_time_event* event, const timeval*, void* user)
{
    Output* output = static_cast<Output*>(user);
    ServerState* s = stateOf(output);
    if (playOf(s) == Play::takingOver && monotonicNs() >= s->uncorkAtNs)
        on(output, Event::uncorkDue);
    fill(output);
    publishHeard(output);
    if (s->stream && pa_stream_get_state(s->stream) == PA_STREAM_READY)
        watchServer(output);
    pa_context_rttime_restart(s->context, event, pa_rtclock_now() + (s->hungry ? hungryTickUs : tickUs));
}

// Server thread.
static void onContextState(pa_context* context, void* user)
{
    Output* output = static_cast<Output*>(user);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
        on(output, Event::broke);
    pa_threaded_mainloop_signal(stateOf(output)->loop, 0);
}

// Server thread.
static void onStreamState(pa_stream* stream, void* user)
{
    Output* output = static_cast<Output*>(user);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED)
        on(output, Event::broke);
    pa_threaded_mainloop_signal(stateOf(output)->loop, 0);
}

// Server thread.
static void onTimeout(pa_mainloop_api*, pa_time_event*, const timeval*, void* user)
{
    ServerState* s = stateOf(static_cast<Output*>(user));
    s->timedOut = true;
    pa_threaded_mainloop_signal(s->loop, 0);
}

// Under the lock: waits, with a bound, until `ready` says yes or the server has said no.
template <typename Ready>
static bool waitUntil(Output* output, Ready ready)
{
    ServerState* s = stateOf(output);
    s->timedOut = false;
    pa_time_event* timeout = pa_context_rttime_new(s->context, pa_rtclock_now() + connectTimeoutUs, onTimeout, output);
    while (!ready() && playOf(s) != Play::failed && !s->timedOut)
        pa_threaded_mainloop_wait(s->loop);
    if (timeout)
        pa_threaded_mainloop_get_api(s->loop)->time_free(timeout);
    return ready();
}

// The one owner of the library's handles: the stream, its context and the loop's thread, in that
// order, whatever was made of them.
static void releaseServer(ServerState* s)
{
    if (s->loop) {
        pa_threaded_mainloop_lock(s->loop);
        if (s->tick)
            pa_threaded_mainloop_get_api(s->loop)->time_free(s->tick);
        cancelDrain(s);
        if (s->stream) {
            pa_stream_set_state_callback(s->stream, nullptr, nullptr);
            pa_stream_set_write_callback(s->stream, nullptr, nullptr);
            pa_stream_set_underflow_callback(s->stream, nullptr, nullptr);
            pa_stream_disconnect(s->stream);
            pa_stream_unref(s->stream);
        }
        if (s->context) {
            pa_context_set_state_callback(s->context, nullptr, nullptr);
            pa_context_disconnect(s->context);
            pa_context_unref(s->context);
        }
        pa_threaded_mainloop_unlock(s->loop);
        pa_threaded_mainloop_stop(s->loop);
        pa_threaded_mainloop_free(s->loop);
    }
    delete s;
}

using ServerHandle = std::unique_ptr<ServerState, void (*)(ServerState*)>;

// The callbacks find the state through the output until the loop's thread has ended.
static void serverClose(Output* output)
{
    if (ServerState* s = stateOf(output))
        releaseServer(s);
    output->handle = nullptr;
}

static pa_buffer_attr bufferFor(const pa_sample_spec& format)
{
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(pa_usec_to_bytes(targetLatencyUs, &format));
    attr.prebuf = uint32_t(pa_usec_to_bytes(startLatencyUs, &format));
    attr.minreq = uint32_t(pa_usec_to_bytes(requestUs, &format));
    attr.fragsize = uint32_t(-1);
    return attr;
}

// The stream's own speakers, heights included: the server mixes them to its sink as the desktop is
// set up. The stream holds no speaker the server cannot name (streamLayout).
static bool channelMapOf(const Output* output, pa_channel_map* map)
{
    static const pa_channel_position_t positions[speakerFirstUnplayable] = {
        PA_CHANNEL_POSITION_MONO,           PA_CHANNEL_POSITION_FRONT_LEFT,
        PA_CHANNEL_POSITION_FRONT_RIGHT,    PA_CHANNEL_POSITION_FRONT_CENTER,
        PA_CHANNEL_POSITION_LFE,            PA_CHANNEL_POSITION_REAR_LEFT,
        PA_CHANNEL_POSITION_REAR_RIGHT,     PA_CHANNEL_POSITION_REAR_CENTER,
        PA_CHANNEL_POSITION_SIDE_LEFT,      PA_CHANNEL_POSITION_SIDE_RIGHT,
        PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER,
        PA_CHANNEL_POSITION_TOP_CENTER,     PA_CHANNEL_POSITION_TOP_FRONT_LEFT,
        PA_CHANNEL_POSITION_TOP_FRONT_CENTER, PA_CHANNEL_POSITION_TOP_FRONT_RIGHT,
        PA_CHANNEL_POSITION_TOP_REAR_LEFT,  PA_CHANNEL_POSITION_TOP_REAR_CENTER,
        PA_CHANNEL_POSITION_TOP_REAR_RIGHT,
    };
    pa_channel_map_init(map);
    if (output->channels > layoutChannelLimit)
        return false;
    map->channels = uint8_t(output->channels);
    for (int c = 0; c < output->channels; ++c)
        map->map[c] = output->layout[c] < speakerFirstUnplayable ? positions[output->layout[c]] : PA_CHANNEL_POSITION_INVALID;
    return pa_channel_map_valid(map);
}

// Under the lock: connects, and waits for the server to hold the stream, corked.
static bool connect(Output* output)
{
    ServerState* s = stateOf(output);
    const pa_sample_spec format{PA_SAMPLE_S16NE, uint32_t(output->rate), uint8_t(output->channels)};
    pa_channel_map map{};
    if (!pa_sample_spec_valid(&format) || !channelMapOf(output, &map))
        return false;
    pa_context_set_state_callback(s->context, onContextState, output);
    // Never start a server of our own: where none runs, the next output serves.
    if (pa_context_connect(s->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        !waitUntil(output, [s] { return pa_context_get_state(s->context) == PA_CONTEXT_READY; }) ||
        !(s->stream = pa_stream_new(s->context, "Music", &format, &map)))
        return false;
    pa_stream_set_state_callback(s->stream, onStreamState, output);
    pa_stream_set_write_callback(s->stream, onWritable, output);
    pa_stream_set_underflow_callback(s->stream, onUnderflow, output);
    const pa_buffer_attr attr = bufferFor(format);
    const pa_stream_flags_t flags = pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    return pa_stream_connect_playback(s->stream, nullptr, &attr, flags, nullptr, nullptr) == 0 &&
           waitUntil(output, [s] { return pa_stream_get_state(s->stream) == PA_STREAM_READY; }) &&
           (s->tick = pa_context_rttime_new(s->context, pa_rtclock_now() + tickUs, onTick, output));
}

static bool serverOpen(Output* output)
{
    ServerHandle owned(new ServerState, releaseServer);
    ServerState* s = owned.get();
    // The callbacks find the state through the output from the start.
    output->handle = s;
    bool ready = (s->loop = pa_threaded_mainloop_new()) &&
                 (s->context = pa_context_new(pa_threaded_mainloop_get_api(s->loop), "Quillvane")) &&
                 pa_threaded_mainloop_start(s->loop) == 0;
    if (ready) {
        pa_threaded_mainloop_lock(s->loop);
        ready = connect(output);
        if (ready)
            on(output, Event::ready);
        pa_threaded_mainloop_unlock(s->loop);
    }
    if (!ready) {
        owned.reset();
        output->handle = nullptr;
        return false;
    }
    owned.release();
    return true;
}

static void serverStart(Output* output)
{
    ServerState* s = stateOf(output);
    pa_threaded_mainloop_lock(s->loop);
    on(output, Event::start);
    pa_threaded_mainloop_unlock(s->loop);
}

// Kept at the server, to go on with the very next frame.
static void serverPause(Output* output)
{
    ServerState* s = stateOf(output);
    pa_threaded_mainloop_lock(s->loop);
    on(output, Event::pause);
    pa_threaded_mainloop_unlock(s->loop);
}

static void serverDiscard(Output* output)
{
    ServerState* s = stateOf(output);
    pa_threaded_mainloop_lock(s->loop);
    on(output, Event::discarded);
    pa_threaded_mainloop_unlock(s->loop);
}

// Server thread.
static void onSinkTimed(pa_stream*, int, void* user)
{
    Output* output = static_cast<Output*>(user);
    stateOf(output)->sinkTimed = true;
    pa_threaded_mainloop_signal(stateOf(output)->loop, 0);
}

// HACK: PulseAudio 16's sinks (and PipeWire's pulse server) hold much of their own ahead of what a
// stream gives them: a server just started renders up to two seconds of silence before any client
// asks for less, and plays what it is given after it. Taking over, the music goes on from where the
// wall clock will be when it is heard; the sink's latency in the timing says how far that is.
static int64_t serverAhead(Output* output, int64_t most)
{
    ServerState* s = stateOf(output);
    pa_threaded_mainloop_lock(s->loop);
    int64_t ahead = 0;
    s->sinkTimed = false;
    if (pa_operation* op = pa_stream_update_timing_info(s->stream, onSinkTimed, output)) {
        pa_operation_unref(op);
        const pa_timing_info* timing = nullptr;
        if (waitUntil(output, [s] { return s->sinkTimed; }) && (timing = pa_stream_get_timing_info(s->stream))) {
            const pa_usec_t us = timing->sink_usec + timing->transport_usec;
            ahead = std::min(most, int64_t(us * pa_usec_t(output->rate) / PA_USEC_PER_SEC));
            s->written = ahead;
            s->ahead = ahead;
            s->quietUntilNs = monotonicNs() + int64_t(us) * 1000;
        }
    }
    pa_threaded_mainloop_unlock(s->loop);
    return ahead;
}

static bool serverFailed(Output* output)
{
    return playOf(stateOf(output)) == Play::failed;
}

const OutputFamily serverOutput = {"server",      serverOpen,  serverStart,  serverPause,
                                   serverDiscard, serverAhead, serverFailed, serverClose};
