// WAV, FLAC, AIFF and the rest of what libsndfile reads; MPEG audio it recognises goes to libmpg123.
#include <sndfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/music/decoder.h"

struct SndfileState {
    SNDFILE* file;
    int fd;
};

static double monotonicSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// A file whose header hides its length: counted for as long as an open may take, and where that is
// not enough, the rest estimated from the bytes the count consumed.
static int64_t framesOfUnknownLength(SNDFILE* file, int fd, int channels)
{
    constexpr double budgetSeconds = 0.03;
    int16_t scratch[4096];
    const sf_count_t chunk = sf_count_t(sizeof scratch / sizeof scratch[0]) / channels;
    if (chunk < 1)
        return -1;
    const double start = monotonicSeconds();
    int64_t counted = 0;
    sf_count_t got = 0;
    while ((got = sf_readf_short(file, scratch, chunk)) > 0) {
        counted += got;
        if (monotonicSeconds() - start > budgetSeconds) {
            struct stat st {};
            const off_t consumed = lseek(fd, 0, SEEK_CUR);
            if (fstat(fd, &st) != 0 || consumed <= 0)
                return -1;
            return int64_t(double(counted) * double(st.st_size) / double(consumed));
        }
    }
    return counted > 0 ? counted : -1;
}

static bool sndfileOpen(Decoder* decoder, int fd)
{
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    if (!file)
        return decoderFail(decoder, sf_strerror(nullptr));
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        // libsndfile would announce an estimate of its own and stop there.
        sf_close(file);
        lseek(fd, 0, SEEK_SET);
        decoder->family = &mpegDecoder;
        return mpegDecoder.open(decoder, fd);
    }
    // Clipped rather than wrapped where the source is louder than 16 bits.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    int64_t frames = info.frames;
    if (frames == SF_COUNT_MAX && info.channels > 0) {
        frames = framesOfUnknownLength(file, fd, info.channels);
        if (frames <= 0 || sf_seek(file, 0, SEEK_SET) != 0) {
            sf_close(file);
            return decoderFail(decoder, "cannot decode the stream");
        }
    }
    decoder->handle = new SndfileState{file, fd};
    decoder->rate = info.samplerate;
    decoder->channels = info.channels;
    decoder->frames = frames;
    return true;
}

static int64_t sndfileRead(Decoder* decoder, int16_t* out, int64_t frames)
{
    const sf_count_t got = sf_readf_short(static_cast<SndfileState*>(decoder->handle)->file, out, frames);
    return got > 0 ? got : 0;
}

static bool sndfileToStart(Decoder* decoder)
{
    return sf_seek(static_cast<SndfileState*>(decoder->handle)->file, 0, SEEK_SET) == 0;
}

static void sndfileClose(Decoder* decoder)
{
    SndfileState* state = static_cast<SndfileState*>(decoder->handle);
    if (!state)
        return;
    sf_close(state->file);
    close(state->fd);
    delete state;
}

const DecoderFamily sndfileDecoder = {"libsndfile", sndfileOpen, sndfileRead, sndfileToStart, sndfileClose};
