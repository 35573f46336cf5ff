// MPEG audio (layers I, II and III) through libmpg123: gapless, with the exact length from the
// Info tag or from a scan of the frames.
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/music/decode/bytes.h"
#include "platform/music/decode/decoder.h"

struct MpegRun {
    int rate;
    int channels;
    int64_t samples;
};

// Reads go through a buffer of our own: a scan touches every frame header, and a system call for
// each would make it slow. What is before the audio (junk) is outside the window.
struct MpegState {
    mpg123_handle* handle;
    // What reads deliver, run by run, whatever the decoder makes of damage: a run it cuts short is
    // made up with silence, and what it gives beyond a run's count is dropped.
    std::vector<MpegRun> runs;
    size_t run;
    int64_t runDelivered;
    bool runStarted;  // the decoder has given frames of this run's format
    bool decoderDone;
    bool gapless;
    FileWindow window;
    unsigned char buffer[120 * 1024];  // under the size allocators map afresh on every open
};

static ssize_t bufferedRead(void* source, void* out, size_t bytes)
{
    return fileWindowRead(&static_cast<MpegState*>(source)->window, out, bytes);
}

static off_t bufferedSeek(void* source, off_t offset, int whence)
{
    FileWindow& w = static_cast<MpegState*>(source)->window;
    return off_t(seekWithin(&w.position, w.size, offset, whence));
}

static void mpegFree(MpegState* s)
{
    mpg123_delete(s->handle);
    delete s;
}

// Both passes start from a fresh open: after a seek to 0 the decoder's state (a join's format
// changes, its resync in damage) is not that of the first pass.
static bool mpegConfigure(MpegState* s)
{
    mpg123_param(s->handle, s->gapless ? MPG123_ADD_FLAGS : MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
    mpg123_param(s->handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
    // Every rate the format has, as 16-bit samples at the stream's own channel count.
    mpg123_format_none(s->handle);
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(s->handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    return mpg123_replace_reader_handle(s->handle, bufferedRead, bufferedSeek, nullptr) == MPG123_OK;
}

// A new decoder, not the old one reopened: a reopened one keeps its synthesis history.
static bool mpegRestart(MpegState* s)
{
    mpg123_delete(s->handle);
    s->handle = mpg123_new(nullptr, nullptr);
    if (!s->handle || !mpegConfigure(s))
        return false;
    bufferedSeek(s, 0, SEEK_SET);
    s->run = 0;
    s->runDelivered = 0;
    s->runStarted = s->decoderDone = false;
    return mpg123_open_handle(s->handle, s) == MPG123_OK;
}

// What a walk of the frame headers found: the runs of one rate and channel count (two files joined
// with `cat` make two; A-B-A makes three, its first and last frames alike), and the frames walked.
struct MpegWalk {
    std::vector<MpegFrame> runs;  // `samples` counts the run's samples, `bytes` its bytes
    int64_t firstAt;              // in the file; -1 where no two frames in a row start it
    int64_t frames;
    bool complete;                // to the end, rather than stopped at the bound
};

// Every file may be a join, whatever its first Info tag says, so the frames are walked. About an
// hour's frames, or as many bytes, are walked at most: beyond, the walk would delay the start, and
// the rest is taken to be of the last run's format and rate of bytes.
static MpegWalk mpegWalk(MpegState* s)
{
    constexpr int walkFrameLimit = 150000;
    constexpr off_t walkByteLimit = off_t(256) << 20;
    MpegWalk walk{{}, -1, 0, false};
    unsigned char h[id3v2HeaderBytes];
    off_t at = 0;
    if (bufferedSeek(s, 0, SEEK_SET) == 0 && bufferedRead(s, h, sizeof h) == sizeof h)
        at = off_t(id3v2Bytes(h, sizeof h));
    walk.firstAt = mpegFindFramePair(s->window.fd, s->window.base + at, 64 * 1024);
    if (walk.firstAt < 0)
        return walk;
    at = off_t(walk.firstAt) - s->window.base;
    const off_t walkEnd = std::min<off_t>(s->window.size, at + walkByteLimit);
    constexpr off_t searchByteLimit = off_t(4) << 20;
    off_t searched = 0;
    walk.complete = true;
    for (; at + 4 <= s->window.size; ++walk.frames) {
        MpegFrame frame{};
        if (walk.frames == walkFrameLimit || at >= walkEnd) {
            walk.complete = false;
            break;
        }
        if (bufferedSeek(s, at, SEEK_SET) != at || bufferedRead(s, h, 4) != 4)
            break;
        if (!mpegFrameParse(h, &frame)) {
            // Tags and junk between joined files are passed over as the decoder passes them; a
            // search is byte by byte, so no more than a few MiB of them are searched in all.
            const int64_t next = mpegFindFramePair(s->window.fd, s->window.base + at + 1, 64 * 1024);
            if (next < 0)
                break;
            searched += off_t(next) - s->window.base - at;
            if (searched > searchByteLimit) {
                walk.complete = false;
                break;
            }
            at = off_t(next) - s->window.base;
            --walk.frames;
            continue;
        }
        // A last frame cut short is not decoded.
        if (at + frame.bytes > s->window.size)
            break;
        if (walk.runs.empty() || walk.runs.back().rate != frame.rate || walk.runs.back().channels != frame.channels) {
            walk.runs.push_back(frame);
            walk.runs.back().samples = walk.runs.back().bytes = 0;
        }
        walk.runs.back().samples += frame.samples;
        walk.runs.back().bytes += frame.bytes;
        at += frame.bytes;
    }
    if (!walk.complete && !walk.runs.empty() && walk.runs.back().bytes > 0)
        walk.runs.back().samples += int64_t(s->window.size - at) * walk.runs.back().samples / walk.runs.back().bytes;
    return walk;
}

// The Xing or Info tag in the first frame: the frames and bytes of the file it was written for.
struct MpegTag {
    bool present;
    int64_t frames;  // -1 where the tag leaves it out
    int64_t bytes;
};

static MpegTag mpegTag(int fd, int64_t frameAt)
{
    unsigned char b[64];
    MpegTag tag{false, -1, -1};
    if (frameAt < 0 || pread(fd, b, sizeof b, frameAt) != ssize_t(sizeof b))
        return tag;
    const unsigned char* x = static_cast<const unsigned char*>(memmem(b, sizeof b - 16, "Xing", 4));
    if (!x)
        x = static_cast<const unsigned char*>(memmem(b, sizeof b - 16, "Info", 4));
    if (!x)
        return tag;
    auto be32 = [](const unsigned char* p) { return int64_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]); };
    const int64_t flags = be32(x + 4);
    const unsigned char* field = x + 8;
    tag.present = true;
    if (flags & 1) {
        tag.frames = be32(field);
        field += 4;
    }
    if (flags & 2)
        tag.bytes = be32(field);
    return tag;
}

bool mpegOpenAt(Decoder* decoder, int fd, int64_t start)
{
    static const bool ready = mpg123_init() == MPG123_OK;
    struct stat st {};
    if (!ready || fstat(fd, &st) != 0 || start < 0 || start >= st.st_size)
        return decoderFail(decoder, "cannot start the MPEG decoder");
    // The buffer is left as it comes: zeroing a quarter of a megabyte would cost each open more than
    // the rest of it.
    MpegState* s = new MpegState;
    s->handle = nullptr;
    s->run = 0;
    s->runDelivered = 0;
    s->runStarted = s->decoderDone = false;
    fileWindowStart(&s->window, fd, off_t(start), st.st_size - off_t(start), s->buffer, sizeof s->buffer);
    s->handle = mpg123_new(nullptr, nullptr);
    if (!s->handle) {
        delete s;
        return decoderFail(decoder, "cannot start the MPEG decoder");
    }
    MpegWalk walk = mpegWalk(s);
    const MpegTag tag = mpegTag(fd, walk.firstAt);
    // One file, played gapless by its tag, where the tag matches the walk (or, past the walk's
    // bound, the bytes); a join or a cut file is played frame for frame, as walked.
    bool oneFile = walk.runs.size() <= 1;
    if (walk.runs.size() == 1 && tag.present) {
        const int64_t audioBytes = int64_t(s->window.size) - (walk.firstAt - s->window.base);
        oneFile = walk.complete ? tag.frames == walk.frames - 1
                                : tag.bytes > 0 && std::abs(tag.bytes - audioBytes) <= audioBytes / 200 + 4096;
    }
    // The first file's Info frame is no audio: the decoder leaves it out. Where it was a run of its
    // own (a frame of another channel count follows it), that run is gone: the conversion counts a
    // run at each change of format it is given, so a run no read delivers would shift every count
    // after it onto the run before, and the stream's format would be one nothing is heard in.
    if (!oneFile && tag.present && !walk.runs.empty()) {
        MpegFrame first{};
        unsigned char h[4];
        if (pread(fd, h, 4, walk.firstAt) == 4 && mpegFrameParse(h, &first))
            walk.runs.front().samples -= first.samples;
        if (walk.runs.front().samples <= 0)
            walk.runs.erase(walk.runs.begin());
    }
    bufferedSeek(s, 0, SEEK_SET);
    s->gapless = oneFile;
    long rate = 0;
    int channels = 0, encoding = 0;
    if (!mpegConfigure(s) || mpg123_open_handle(s->handle, s) != MPG123_OK ||
        mpg123_getformat(s->handle, &rate, &channels, &encoding) != MPG123_OK) {
        mpegFree(s);
        return decoderFail(decoder, "not a readable MPEG audio stream");
    }
    off_t frames = 0;
    if (!oneFile && !walk.runs.empty()) {
        // Each run counted at the first one's rate, as the conversion delivers it.
        for (const MpegFrame& run : walk.runs) {
            s->runs.push_back({run.rate, run.channels, run.samples});
            decoder->linkFrames.push_back(framesAtRate(run.samples, run.rate, walk.runs.front().rate));
            frames += off_t(decoder->linkFrames.back());
        }
        rate = walk.runs.front().rate;
        channels = walk.runs.front().channels;
        if (walk.runs.size() < 2)
            decoder->linkFrames.clear();
    } else if (oneFile) {
        // A file without a tag has the frames walked; where two frames in a row were not found to
        // start a walk, the decoder counts them itself, for a file small enough.
        if (!tag.present && walk.complete && walk.runs.size() == 1)
            frames = off_t(walk.runs.front().samples);
        else {
            if (!tag.present && walk.runs.empty() && s->window.size <= (off_t(16) << 20))
                mpg123_scan(s->handle);
            frames = mpg123_length(s->handle);
        }
        s->runs.push_back({int(rate), channels, int64_t(frames)});
    }
    if (frames <= 0 || !mpegRestart(s)) {
        mpegFree(s);
        return decoderFail(decoder, "an MPEG audio stream of no length");
    }
    decoder->handle = s;
    decoder->rate = int(rate);
    decoder->channels = channels;
    layoutWav(decoder->layout, channels);
    decoder->frames = frames;
    return true;
}

static bool mpegOpen(Decoder* decoder, int fd)
{
    return mpegOpenAt(decoder, fd, 0);
}

static int64_t mpegRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* link)
{
    MpegState* s = static_cast<MpegState*>(decoder->handle);
    // Bounded: a decoder that neither delivers nor ends is taken to have ended.
    for (int tries = 0; tries < 4096 && s->run < s->runs.size(); ++tries) {
        const MpegRun& run = s->runs[s->run];
        const int64_t left = std::min<int64_t>(run.samples - s->runDelivered, samples / run.channels);
        if (left <= 0) {
            if (run.samples - s->runDelivered > 0)
                return 0;
            ++s->run;
            s->runDelivered = 0;
            s->runStarted = false;
            continue;
        }
        link->rate = run.rate;
        link->channels = run.channels;
        layoutWav(link->layout, run.channels);
        long rate = 0;
        int channels = 0, encoding = 0;
        if (!s->decoderDone && (mpg123_getformat(s->handle, &rate, &channels, &encoding) != MPG123_OK || channels < 1))
            s->decoderDone = true;
        const bool sameFormat = !s->decoderDone && rate == run.rate && channels == run.channels;
        if (s->decoderDone || (!sameFormat && s->runStarted)) {
            // The decoder ended, or moved on to another format, before the run's count.
            std::fill(out, out + left * run.channels, int16_t{0});
            s->runDelivered += left;
            return left;
        }
        // Whole frames of the format now in force: a change shows before its first sample. Frames
        // of a format other than the run's, before the run has begun, are the last run's excess.
        const size_t frameBytes = size_t(channels) * 2;
        const int64_t ask = sameFormat ? left : samples / channels;
        size_t got = 0;
        const int result = ask > 0 ? mpg123_read(s->handle, reinterpret_cast<unsigned char*>(out), size_t(ask) * frameBytes, &got)
                                   : MPG123_ERR;
        if (got == 0 && result != MPG123_NEW_FORMAT && result != MPG123_OK)
            s->decoderDone = true;
        if (got == 0 || !sameFormat)
            continue;
        s->runStarted = true;
        s->runDelivered += int64_t(got / frameBytes);
        return int64_t(got / frameBytes);
    }
    if (s->run >= s->runs.size() || s->decoderDone)
        return 0;
    s->decoderDone = true;
    return mpegRead(decoder, out, samples, link);
}

static bool mpegToStart(Decoder* decoder)
{
    return mpegRestart(static_cast<MpegState*>(decoder->handle));
}

static void mpegClose(Decoder* decoder)
{
    MpegState* s = static_cast<MpegState*>(decoder->handle);
    if (!s)
        return;
    close(s->window.fd);
    mpegFree(s);
}

const DecoderFamily mpegDecoder = {"libmpg123", mpegOpen, mpegRead, mpegToStart, mpegClose};
