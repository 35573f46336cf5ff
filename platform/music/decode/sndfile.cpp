// WAV, AIFF and the rest of what libsndfile reads (native FLAC has a family of its own); MPEG audio
// it recognises goes to libmpg123.
#include <sndfile.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/music/decode/bytes.h"
#include "platform/music/decode/decoder.h"

// libsndfile reads through us: on a descriptor it reads a few bytes per system call, and its guess
// at MPEG audio in what it does not recognise reads every byte so.
struct SndfileState {
    SNDFILE* file;
    int64_t delivered;  // frames read since the start
    bool estimated;     // the length is an estimate: what is read beyond it is music, kept
    FileWindow window;  // from the data chunk on, for a WAV read as raw samples
    unsigned char buffer[16 * 1024];
};

static sf_count_t rawLength(void* source)
{
    return static_cast<SndfileState*>(source)->window.size;
}

static sf_count_t rawSeek(sf_count_t offset, int whence, void* source)
{
    FileWindow& w = static_cast<SndfileState*>(source)->window;
    return seekWithin(&w.position, w.size, offset, whence);
}

static sf_count_t rawRead(void* out, sf_count_t bytes, void* source)
{
    return fileWindowRead(&static_cast<SndfileState*>(source)->window, out, size_t(std::max<sf_count_t>(0, bytes)));
}

static sf_count_t rawWrite(const void*, sf_count_t, void*)
{
    return 0;
}

static sf_count_t rawTell(void* source)
{
    return static_cast<SndfileState*>(source)->window.position;
}

// Where the data chunk's samples start in a RIFF WAV that starts at `base`, or -1.
static off_t wavDataStart(int fd, off_t base, off_t fileSize)
{
    unsigned char chunk[12];
    if (pread(fd, chunk, 12, base) != 12 || std::memcmp(chunk, "RIFF", 4) != 0 || std::memcmp(chunk + 8, "WAVE", 4) != 0)
        return -1;
    off_t at = base + 12;
    for (int n = 0; n < 64 && at + 8 <= fileSize; ++n) {
        if (pread(fd, chunk, 8, at) != 8)
            return -1;
        if (std::memcmp(chunk, "data", 4) == 0)
            return at + 8;
        const uint32_t size = uint32_t(chunk[4]) | uint32_t(chunk[5]) << 8 | uint32_t(chunk[6]) << 16 | uint32_t(chunk[7]) << 24;
        at += 8 + off_t(size) + (size & 1);
    }
    return -1;
}

static Speaker speakerOf(int position)
{
    switch (position) {
    case SF_CHANNEL_MAP_MONO: return speakerMono;
    case SF_CHANNEL_MAP_LEFT: case SF_CHANNEL_MAP_FRONT_LEFT: return speakerFrontLeft;
    case SF_CHANNEL_MAP_RIGHT: case SF_CHANNEL_MAP_FRONT_RIGHT: return speakerFrontRight;
    case SF_CHANNEL_MAP_CENTER: case SF_CHANNEL_MAP_FRONT_CENTER: return speakerFrontCenter;
    case SF_CHANNEL_MAP_LFE: return speakerLfe;
    case SF_CHANNEL_MAP_REAR_LEFT: return speakerRearLeft;
    case SF_CHANNEL_MAP_REAR_RIGHT: return speakerRearRight;
    case SF_CHANNEL_MAP_REAR_CENTER: return speakerRearCenter;
    case SF_CHANNEL_MAP_SIDE_LEFT: return speakerSideLeft;
    case SF_CHANNEL_MAP_SIDE_RIGHT: return speakerSideRight;
    case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER: return speakerFrontLeftOfCenter;
    case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER: return speakerFrontRightOfCenter;
    case SF_CHANNEL_MAP_TOP_CENTER: return speakerTopCenter;
    case SF_CHANNEL_MAP_TOP_FRONT_LEFT: return speakerTopFrontLeft;
    case SF_CHANNEL_MAP_TOP_FRONT_RIGHT: return speakerTopFrontRight;
    case SF_CHANNEL_MAP_TOP_FRONT_CENTER: return speakerTopFrontCenter;
    case SF_CHANNEL_MAP_TOP_REAR_LEFT: return speakerTopRearLeft;
    case SF_CHANNEL_MAP_TOP_REAR_RIGHT: return speakerTopRearRight;
    case SF_CHANNEL_MAP_TOP_REAR_CENTER: return speakerTopRearCenter;
    default: return speakerUnknown;  // ambisonics, or what the map could not name
    }
}

// The file's own channel map where it has one (the WAV mask, CAF's and AIFF's layouts); the WAV
// order where it names none.
static void sndfileLayout(SNDFILE* file, int channels, Speaker* layout)
{
    layoutWav(layout, channels);
    int map[layoutChannelLimit];
    if (channels > layoutChannelLimit ||
        sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map, int(sizeof(int)) * channels) != SF_TRUE)
        return;
    Speaker named[layoutChannelLimit];
    bool any = false;
    for (int c = 0; c < channels; ++c) {
        named[c] = speakerOf(map[c]);
        any = any || named[c] != speakerUnknown;
    }
    if (any)
        std::copy(named, named + channels, layout);
}

static double monotonicSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// A file whose header hides its length: counted for as long as an open may take, and where that is
// not enough, the rest estimated from the bytes the count consumed.
static int64_t framesOfUnknownLength(SndfileState* state, int channels)
{
    constexpr double budgetSeconds = 0.03;
    int16_t scratch[4096];
    const sf_count_t chunk = sf_count_t(sizeof scratch / sizeof scratch[0]) / channels;
    if (chunk < 1)
        return -1;
    const double start = monotonicSeconds();
    int64_t counted = 0;
    sf_count_t got = 0;
    while ((got = sf_readf_short(state->file, scratch, chunk)) > 0) {
        counted += got;
        if (monotonicSeconds() - start > budgetSeconds) {
            if (state->window.position <= 0)
                return -1;
            return int64_t(double(counted) * double(state->window.size) / double(state->window.position));
        }
    }
    return counted > 0 ? counted : -1;
}

static bool sndfileOpen(Decoder* decoder, int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return decoderFail(decoder, "cannot read the file");
    // An ID3v2 tag in front is left outside what libsndfile sees: it would count the tag's bytes
    // as samples.
    unsigned char tag[id3v2HeaderBytes];
    off_t base = pread(fd, tag, sizeof tag, 0) == sizeof tag ? off_t(id3v2Bytes(tag, sizeof tag)) : 0;
    if (base >= st.st_size)
        base = 0;
    SndfileState* state = new SndfileState;
    state->file = nullptr;
    fileWindowStart(&state->window, fd, base, st.st_size - base, state->buffer, sizeof state->buffer);
    SF_VIRTUAL_IO io = {rawLength, rawSeek, rawRead, rawWrite, rawTell};
    SF_INFO info{};
    SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, state);
    if (!file) {
        delete state;
        return decoderFail(decoder, sf_strerror(nullptr));
    }
    // An Ogg file reaches here only where the Ogg families refused its first page; libsndfile reads
    // past such damage and announces more than it then delivers.
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG && base == 0) {
        sf_close(file);
        delete state;
        return decoderFail(decoder, "a damaged Ogg stream");
    }
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        // libsndfile would announce an estimate of its own and stop there.
        sf_close(file);
        delete state;
        decoder->family = &mpegDecoder;
        return mpegDecoder.open(decoder, fd);
    }
    state->file = file;
    state->delivered = 0;
    state->estimated = false;
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const off_t dataStart = info.frames == 0 && (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX)
                                ? wavDataStart(fd, base, st.st_size) : -1;
    if (dataStart > 0 && dataStart < st.st_size && info.channels > 0) {
        // A recorder that died before writing the sizes: the samples run to the end of the file.
        Speaker layout[layoutChannelLimit];
        sndfileLayout(file, info.channels, layout);
        sf_close(file);
        fileWindowStart(&state->window, fd, dataStart, st.st_size - dataStart, state->buffer, sizeof state->buffer);
        SF_INFO raw{};
        raw.format = SF_FORMAT_RAW | (info.format & (SF_FORMAT_SUBMASK | SF_FORMAT_ENDMASK));
        raw.samplerate = info.samplerate;
        raw.channels = info.channels;
        info = raw;
        state->file = file = sf_open_virtual(&io, SFM_READ, &info, state);
        if (!file) {
            delete state;
            return decoderFail(decoder, "cannot decode the stream");
        }
        std::copy(layout, layout + layoutChannelLimit, decoder->layout);
    } else {
        sndfileLayout(file, info.channels, decoder->layout);
    }
    // Clipped rather than wrapped where the source is louder than 16 bits.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    int64_t frames = info.frames;
    if (frames == SF_COUNT_MAX && info.channels > 0) {
        frames = framesOfUnknownLength(state, info.channels);
        state->estimated = true;
        if (frames <= 0 || sf_seek(file, 0, SEEK_SET) != 0) {
            sf_close(file);
            delete state;
            return decoderFail(decoder, "cannot decode the stream");
        }
    }
    decoder->handle = state;
    decoder->rate = info.samplerate;
    decoder->channels = info.channels;
    decoder->frames = frames;
    return true;
}

static int64_t sndfileRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* link)
{
    SndfileState* state = static_cast<SndfileState*>(decoder->handle);
    const int64_t left = decoder->frames - state->delivered;
    const int64_t want = state->estimated ? samples / decoder->channels : std::min<int64_t>(samples / decoder->channels, left);
    if (want <= 0)
        return 0;
    sf_count_t got = sf_readf_short(state->file, out, want);
    // Damage that ends the decoding early is played as silence to the announced length, so that the
    // run lasts what was announced and a second pass is the same.
    if (got <= 0 && left <= 0)
        return 0;
    if (got <= 0) {
        got = std::min(want, left);
        std::fill(out, out + got * decoder->channels, int16_t{0});
    }
    state->delivered += got;
    link->rate = decoder->rate;
    link->channels = decoder->channels;
    std::copy(decoder->layout, decoder->layout + layoutChannelLimit, link->layout);
    return got;
}

static bool sndfileToStart(Decoder* decoder)
{
    SndfileState* state = static_cast<SndfileState*>(decoder->handle);
    state->delivered = 0;
    return sf_seek(state->file, 0, SEEK_SET) == 0;
}

static void sndfileClose(Decoder* decoder)
{
    SndfileState* state = static_cast<SndfileState*>(decoder->handle);
    if (!state)
        return;
    sf_close(state->file);
    close(state->window.fd);
    delete state;
}

const DecoderFamily sndfileDecoder = {"libsndfile", sndfileOpen, sndfileRead, sndfileToStart, sndfileClose};
