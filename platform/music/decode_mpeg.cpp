// MPEG audio (layers I, II and III) through libmpg123: gapless, with the exact length from the
// Info tag or from a scan of the frames.
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/music/decoder.h"

// Reads go through a buffer of our own: a scan touches every frame header, and a system call for
// each would make it slow.
struct MpegState {
    mpg123_handle* handle;
    int fd;
    off_t size;
    off_t position;
    off_t bufferStart;
    size_t bufferLength;
    unsigned char buffer[1 << 18];
};

static ssize_t bufferedRead(void* source, void* out, size_t bytes)
{
    MpegState* s = static_cast<MpegState*>(source);
    unsigned char* dst = static_cast<unsigned char*>(out);
    size_t done = 0;
    while (done < bytes) {
        const off_t end = s->bufferStart + off_t(s->bufferLength);
        if (s->position < s->bufferStart || s->position >= end) {
            const ssize_t got = pread(s->fd, s->buffer, sizeof s->buffer, s->position);
            if (got <= 0)
                break;
            s->bufferStart = s->position;
            s->bufferLength = size_t(got);
            continue;
        }
        const size_t take = std::min(bytes - done, size_t(end - s->position));
        std::memcpy(dst + done, s->buffer + (s->position - s->bufferStart), take);
        done += take;
        s->position += off_t(take);
    }
    return ssize_t(done);
}

static off_t bufferedSeek(void* source, off_t offset, int whence)
{
    MpegState* s = static_cast<MpegState*>(source);
    const off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->position : s->size;
    if (base + offset < 0)
        return -1;
    s->position = base + offset;
    return s->position;
}

static void mpegFree(MpegState* s)
{
    mpg123_delete(s->handle);
    delete s;
}

static bool mpegOpen(Decoder* decoder, int fd)
{
    static const bool ready = mpg123_init() == MPG123_OK;
    struct stat st {};
    if (!ready || fstat(fd, &st) != 0)
        return decoderFail(decoder, "cannot start the MPEG decoder");
    MpegState* s = new MpegState{};
    s->fd = fd;
    s->size = st.st_size;
    s->handle = mpg123_new(nullptr, nullptr);
    if (!s->handle) {
        delete s;
        return decoderFail(decoder, "cannot start the MPEG decoder");
    }
    mpg123_param(s->handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
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
    // The Info tag's count can be missing or wrong (a cut file keeps its tag), so the frames are
    // counted. That takes about 0.25 us a frame; beyond the frames of about an hour it would delay the
    // start, so such files keep the tag's count or, without one, an estimate.
    constexpr off_t scanFrameLimit = 150000;
    if (mpg123_framelength(s->handle) <= scanFrameLimit)
        mpg123_scan(s->handle);
    const off_t frames = mpg123_length(s->handle);
    if (frames <= 0) {
        mpegFree(s);
        return decoderFail(decoder, "an MPEG audio stream of no length");
    }
    decoder->handle = s;
    decoder->rate = int(rate);
    decoder->channels = channels;
    decoder->frames = frames;
    return true;
}

static int64_t mpegRead(Decoder* decoder, int16_t* out, int64_t frames)
{
    MpegState* s = static_cast<MpegState*>(decoder->handle);
    const size_t frameBytes = size_t(decoder->channels) * 2;
    size_t done = 0;
    const size_t wanted = size_t(frames) * frameBytes;
    while (done < wanted) {
        size_t got = 0;
        const int result =
            mpg123_read(s->handle, reinterpret_cast<unsigned char*>(out) + done, wanted - done, &got);
        done += got;
        if (result == MPG123_NEW_FORMAT) {
            // Stitched files may change format part-way; what differs cannot be played as this stream.
            long rate = 0;
            int channels = 0, encoding = 0;
            mpg123_getformat(s->handle, &rate, &channels, &encoding);
            if (rate != decoder->rate || channels != decoder->channels)
                break;
            continue;
        }
        if (result != MPG123_OK || got == 0)
            break;
    }
    return int64_t(done / frameBytes);
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
    close(s->fd);
    mpegFree(s);
}

const DecoderFamily mpegDecoder = {"libmpg123", mpegOpen, mpegRead, mpegToStart, mpegClose};
