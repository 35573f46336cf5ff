// MPEG audio (layers I, II and III) through libmpg123: gapless, with the exact length from the
// Info tag or from a scan of the frames.
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/music/decoder.h"

// Reads go through a buffer of our own: a scan touches every frame header, and a system call for
// each would make it slow. What is before the audio (junk) is outside the window.
struct MpegState {
    mpg123_handle* handle;
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

// The runs of one rate and channel count in a stream: two files joined with `cat` make two. A file
// whose last frames have the format of its first is taken to have one run, without a walk.
static std::vector<MpegFrame> mpegRuns(MpegState* s)
{
    std::vector<MpegFrame> runs;  // `samples` counts the run's samples
    unsigned char h[10];
    MpegFrame first{}, last{}, frameAfter{};
    off_t at = 0;
    if (bufferedSeek(s, 0, SEEK_SET) == 0 && bufferedRead(s, h, 10) == 10 && std::memcmp(h, "ID3", 3) == 0)
        at = 10 + ((h[6] & 0x7F) << 21 | (h[7] & 0x7F) << 14 | (h[8] & 0x7F) << 7 | (h[9] & 0x7F));
    const int64_t firstAt = mpegFindFramePair(s->window.fd, s->window.base + at, 64 * 1024);
    // The last frame: from a pair near the end, frame by frame to where they stop.
    int64_t lastAt = mpegFindFramePair(s->window.fd, s->window.base + std::max<off_t>(at, s->window.size - 8 * 1024), 8 * 1024);
    while (lastAt >= 0 && pread(s->window.fd, h, 4, lastAt) == 4 && mpegFrameParse(h, &last) &&
           pread(s->window.fd, h, 4, lastAt + last.bytes) == 4 && mpegFrameParse(h, &frameAfter))
        lastAt += last.bytes;
    if (firstAt < 0 || lastAt < 0 || pread(s->window.fd, h, 4, firstAt) != 4 || !mpegFrameParse(h, &first) ||
        pread(s->window.fd, h, 4, lastAt) != 4 || !mpegFrameParse(h, &last) ||
        (first.rate == last.rate && first.channels == last.channels))
        return runs;
    constexpr int walkFrameLimit = 150000;
    at = off_t(firstAt) - s->window.base;
    int n = 0;
    for (; n < walkFrameLimit && at + 4 <= s->window.size; ++n) {
        MpegFrame frame{};
        if (bufferedSeek(s, at, SEEK_SET) != at || bufferedRead(s, h, 4) != 4)
            break;
        if (!mpegFrameParse(h, &frame)) {
            // Tags and junk between joined files are passed over as the decoder passes them.
            const int64_t next = mpegFindFramePair(s->window.fd, s->window.base + at + 1, 64 * 1024);
            if (next < 0)
                break;
            at = off_t(next) - s->window.base;
            continue;
        }
        if (runs.empty() || runs.back().rate != frame.rate || runs.back().channels != frame.channels) {
            runs.push_back(frame);
            runs.back().samples = runs.back().bytes = 0;
        }
        runs.back().samples += frame.samples;
        runs.back().bytes += frame.bytes;
        at += frame.bytes;
    }
    // Beyond the frames of about an hour the walk would delay the start: the rest is taken to be of
    // the last run's format and rate of bytes.
    if (n == walkFrameLimit && !runs.empty() && runs.back().bytes > 0 && at < s->window.size)
        runs.back().samples += int64_t(s->window.size - at) * runs.back().samples / runs.back().bytes;
    // The first file's Info frame is no audio: the decoder leaves it out.
    unsigned char info[48];
    if (runs.size() > 1 && pread(s->window.fd, info, sizeof info, firstAt) == sizeof info &&
        (memmem(info, sizeof info, "Xing", 4) || memmem(info, sizeof info, "Info", 4)))
        runs.front().samples -= first.samples;
    if (runs.size() < 2)
        runs.clear();
    return runs;
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
    fileWindowStart(&s->window, fd, off_t(start), st.st_size - off_t(start), s->buffer, sizeof s->buffer);
    s->handle = mpg123_new(nullptr, nullptr);
    if (!s->handle) {
        delete s;
        return decoderFail(decoder, "cannot start the MPEG decoder");
    }
    const std::vector<MpegFrame> runs = mpegRuns(s);
    bufferedSeek(s, 0, SEEK_SET);
    // Joined files are played frame for frame: the first one's gapless figures do not hold for the rest.
    mpg123_param(s->handle, MPG123_ADD_FLAGS, MPG123_QUIET | (runs.empty() ? MPG123_GAPLESS : 0), 0);
    if (!runs.empty())
        mpg123_param(s->handle, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
    // Every rate the format has, as 16-bit samples at the stream's own channel count.
    mpg123_format_none(s->handle);
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(s->handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);

    long rate = 0;
    int channels = 0, encoding = 0;
    if (mpg123_replace_reader_handle(s->handle, bufferedRead, bufferedSeek, nullptr) != MPG123_OK ||
        mpg123_open_handle(s->handle, s) != MPG123_OK ||
        mpg123_getformat(s->handle, &rate, &channels, &encoding) != MPG123_OK) {
        mpegFree(s);
        return decoderFail(decoder, "not a readable MPEG audio stream");
    }
    off_t frames = 0;
    if (!runs.empty()) {
        // Each run counted at the first one's rate, as the conversion delivers it.
        for (const MpegFrame& run : runs) {
            decoder->linkFrames.push_back(framesAtRate(run.samples, run.rate, int(rate)));
            frames += off_t(decoder->linkFrames.back());
        }
    } else {
        // The Info tag's count can be missing or wrong (a cut file keeps its tag), so the frames are
        // counted. That takes about 0.25 us a frame; beyond the frames of about an hour it would delay
        // the start, so such files keep the tag's count or, without one, an estimate.
        constexpr off_t scanFrameLimit = 150000;
        if (mpg123_framelength(s->handle) <= scanFrameLimit)
            mpg123_scan(s->handle);
        frames = mpg123_length(s->handle);
    }
    if (frames <= 0) {
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
    long rate = 0;
    int channels = 0, encoding = 0;
    for (int tries = 0; tries < 64; ++tries) {
        // Whole frames of the format now in force: a change shows before its first sample.
        if (mpg123_getformat(s->handle, &rate, &channels, &encoding) != MPG123_OK || channels < 1)
            return 0;
        size_t got = 0;
        const size_t frameBytes = size_t(channels) * 2;
        const int result = mpg123_read(s->handle, reinterpret_cast<unsigned char*>(out),
                                       size_t(samples / channels) * frameBytes, &got);
        if (got > 0) {
            link->rate = int(rate);
            link->channels = channels;
            layoutWav(link->layout, channels);
            return int64_t(got / frameBytes);
        }
        if (result != MPG123_NEW_FORMAT)
            return 0;
    }
    return 0;
}

static bool mpegToStart(Decoder* decoder)
{
    return mpg123_seek(static_cast<MpegState*>(decoder->handle)->handle, 0, SEEK_SET) == 0;
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
