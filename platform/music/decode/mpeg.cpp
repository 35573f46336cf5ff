// MPEG audio (layers I, II and III) through libmpg123, gapless where the Info tag holds for the
// whole file; its length from the probe beside it (mpeg_length.cpp).
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/music/decode/bytes.h"
#include "platform/music/decode/decoder.h"
#include "platform/music/decode/mpeg.h"

// Reads go through a buffer of our own, and what is before the audio (junk) is outside the window.
struct MpegState {
    mpg123_handle* handle;
    bool gapless;
    FileWindow window;
    // Left as it comes: each byte is written before it is read.
    std::unique_ptr<unsigned char[]> buffer;
};

constexpr size_t bufferBytes = 120 * 1024;

static ssize_t bufferedRead(void* source, void* out, size_t bytes)
{
    return fileWindowRead(&static_cast<MpegState*>(source)->window, out, bytes);
}

static off_t bufferedSeek(void* source, off_t offset, int whence)
{
    FileWindow& w = static_cast<MpegState*>(source)->window;
    return off_t(seekWithin(&w.position, w.size, offset, whence));
}

// The one owner of the state and its decoder; the descriptor is the decoder record's.
static void mpegFree(MpegState* s)
{
    mpg123_delete(s->handle);
    delete s;
}

using MpegOwner = std::unique_ptr<MpegState, decltype(&mpegFree)>;

// Both passes start from a new decoder, not the old one reopened: a reopened one keeps its
// synthesis history and its state in damage and joins.
static bool mpegRestart(MpegState* s)
{
    mpg123_delete(s->handle);
    s->handle = mpg123_new(nullptr, nullptr);
    if (!s->handle)
        return false;
    mpg123_param(s->handle, s->gapless ? MPG123_ADD_FLAGS : MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0);
    // A tag in front is passed by a seek, never read: a picture of megabytes takes neither memory
    // nor the head's allowance.
    mpg123_param(s->handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_SKIP_ID3V2, 0);
    // Damage is searched as far as the probe searches it, whatever libmpg123's own default.
    mpg123_param(s->handle, MPG123_RESYNC_LIMIT, 64 * 1024, 0);
    // Every rate the format has, as 16-bit samples at the stream's own channel count.
    mpg123_format_none(s->handle);
    const long* rates = nullptr;
    size_t rateCount = 0;
    mpg123_rates(&rates, &rateCount);
    for (size_t i = 0; i < rateCount; ++i)
        mpg123_format(s->handle, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    bufferedSeek(s, 0, SEEK_SET);
    return mpg123_replace_reader_handle(s->handle, bufferedRead, bufferedSeek, nullptr) == MPG123_OK &&
           mpg123_open_handle(s->handle, s) == MPG123_OK;
}

bool mpegOpenAt(Decoder* decoder, int fd, int64_t start)
{
    static const bool ready = mpg123_init() == MPG123_OK;
    struct stat st {};
    if (!ready || fstat(fd, &st) != 0 || start < 0 || start >= st.st_size)
        return decoderFail(decoder, "cannot start the MPEG decoder");
    MpegOwner s(new MpegState{}, mpegFree);
    s->buffer.reset(new unsigned char[bufferBytes]);
    fileWindowStart(&s->window, fd, off_t(start), st.st_size - off_t(start), s->buffer.get(), bufferBytes,
                    &decoder->allowance);
    const MpegProbe probe = mpegProbe(fd, start, st.st_size);
    s->gapless = probe.gapless;
    long rate = 0;
    int channels = 0, encoding = 0;
    if (!mpegRestart(s.get()) || mpg123_getformat(s->handle, &rate, &channels, &encoding) != MPG123_OK)
        return decoderFail(decoder, "not a readable MPEG audio stream");
    // Counted from another first frame than libmpg123 takes: damage, and only an estimate.
    decoder->length = probe.length;
    if (probe.rate != rate)
        decoder->length = {framesAtRate(probe.length.frames, probe.rate, int(rate)), false};
    // One encode: libmpg123 counts it from its tag, the encoder's delay and padding left out. A
    // delay and padding that leave nothing of the frames are not this file's: it plays whole.
    if (probe.gapless) {
        const off_t counted = mpg123_length(s->handle);
        if (counted > 0)
            decoder->length = {int64_t(counted), true};
        else
            s->gapless = false;
    }
    if (!mpegRestart(s.get()))
        return decoderFail(decoder, "not a readable MPEG audio stream");
    decoder->rate = int(rate);
    decoder->channels = channels;
    layoutWav(decoder->layout, channels);
    decoder->handle = s.release();
    return true;
}

static bool mpegOpen(Decoder* decoder, int fd)
{
    return mpegOpenAt(decoder, fd, 0);
}

// What libmpg123 decodes, a format at a time, to where it ends or can go no further.
static int64_t mpegRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* link)
{
    MpegState* s = static_cast<MpegState*>(decoder->handle);
    // Bounded: a decoder that neither delivers nor ends is taken to have ended.
    for (int tries = 0; tries < 64; ++tries) {
        size_t got = 0;
        const int result = mpg123_read(s->handle, reinterpret_cast<unsigned char*>(out), size_t(samples) * 2, &got);
        long rate = 0;
        int channels = 0, encoding = 0;
        if (got > 0 && mpg123_getformat(s->handle, &rate, &channels, &encoding) == MPG123_OK && channels > 0) {
            link->rate = int(rate);
            link->channels = channels;
            layoutWav(link->layout, channels);
            return int64_t(got) / (2 * channels);
        }
        if (result != MPG123_NEW_FORMAT && result != MPG123_OK)
            return 0;
    }
    return 0;
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
