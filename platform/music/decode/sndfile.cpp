// WAV, AIFF and the rest of what libsndfile reads (native FLAC has a family of its own); MPEG audio
// it recognises goes to libmpg123.
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/music/decode/bytes.h"
#include "platform/music/decode/decoder.h"

// libsndfile reads through us: on a descriptor it reads a few bytes per system call, and its guess
// at MPEG audio in what it does not recognise reads every byte so.
struct SndfileState {
    SNDFILE* file;
    FileWindow window;  // from the data chunk on, for a WAV read as raw samples
    bool hideLength;    // while the format is only being recognised
    unsigned char buffer[16 * 1024];
};

static sf_count_t rawLength(void* source)
{
    const SndfileState* state = static_cast<SndfileState*>(source);
    return state->hideLength ? 0 : state->window.size;
}

// The one owner of the state and libsndfile's handle; the descriptor is the decoder record's.
static void sndfileFree(SndfileState* state)
{
    if (state->file)
        sf_close(state->file);
    delete state;
}

using SndfileOwner = std::unique_ptr<SndfileState, decltype(&sndfileFree)>;

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

// Subformats whose frame count libsndfile works out from the data's size.
static bool countedFromSize(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_PCM_16: case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT: case SF_FORMAT_DOUBLE: case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
        return true;
    default:
        return false;
    }
}

// A header that hides its length: the frames the first stretch of the file decodes to, scaled to
// the file's size. Bounded in bytes, so that the estimate is the same on a busy machine.
static int64_t estimateFromStretch(SndfileState* state, int channels)
{
    constexpr off_t stretchBytes = 256 * 1024;
    int16_t scratch[4096];
    const sf_count_t chunk = sf_count_t(sizeof scratch / sizeof scratch[0]) / channels;
    if (chunk < 1)
        return 0;
    int64_t counted = 0;
    for (sf_count_t got; state->window.position < stretchBytes && (got = sf_readf_short(state->file, scratch, chunk)) > 0;)
        counted += got;
    if (state->window.position <= 0)
        return 0;
    return int64_t(double(counted) * double(state->window.size) / double(state->window.position));
}

static bool sndfileOpen(Decoder* decoder, int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return decoderFail(decoder, "cannot read the file");
    // An ID3v2 tag in front is left outside what libsndfile sees: it would count the tag's bytes
    // as samples.
    unsigned char tag[id3v2HeaderBytes] = {};
    off_t base = pread(fd, tag, sizeof tag, 0) == sizeof tag ? off_t(id3v2Bytes(tag, sizeof tag)) : 0;
    if (base >= st.st_size)
        base = 0;
    // An Ogg file reaches here only where the Ogg families did not take its first page; libsndfile
    // reads past such damage and announces more than it then delivers, and opening a decoder of
    // hundreds of channels costs it more than an open may take.
    if (base == 0 && std::memcmp(tag, "OggS", 4) == 0)
        return decoderFail(decoder, "a damaged Ogg stream");
    SndfileOwner state(new SndfileState{}, sndfileFree);
    fileWindowStart(&state->window, fd, base, st.st_size - base, state->buffer, sizeof state->buffer, &decoder->allowance);
    SF_VIRTUAL_IO io = {rawLength, rawSeek, rawRead, rawWrite, rawTell};
    SF_INFO info{};
    // HACK: libsndfile 1.2.0, for a file of no format it knows, looks for a Mac resource fork beside
    // it ("._" and ".AppleDouble/" in the working folder, opened blocking), but only where the file's
    // length is above 0: the format is recognised first with the length hidden, so that no other file
    // is ever opened.
    state->hideLength = true;
    SNDFILE* probe = sf_open_virtual(&io, SFM_READ, &info, state.get());
    if (!probe && sf_error(nullptr) == SF_ERR_UNRECOGNISED_FORMAT)
        return decoderFail(decoder, sf_strerror(nullptr));
    if (probe)
        sf_close(probe);
    state->hideLength = false;
    state->window.position = 0;
    info = SF_INFO{};
    state->file = sf_open_virtual(&io, SFM_READ, &info, state.get());
    if (!state->file)
        return decoderFail(decoder, sf_strerror(nullptr));
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
        // libsndfile would announce an estimate of its own and stop there.
        state.reset();
        decoder->family = &mpegDecoder;
        return mpegDecoder.open(decoder, fd);
    }
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const off_t dataStart = info.frames == 0 && (major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX)
                                ? wavDataStart(fd, base, st.st_size) : -1;
    if (dataStart > 0 && dataStart < st.st_size && info.channels > 0) {
        // A recorder that died before writing the sizes: the samples run to the end of the file.
        Speaker layout[layoutChannelLimit];
        sndfileLayout(state->file, info.channels, layout);
        sf_close(state->file);
        state->file = nullptr;
        fileWindowStart(&state->window, fd, dataStart, st.st_size - dataStart, state->buffer, sizeof state->buffer,
                        &decoder->allowance);
        SF_INFO raw{};
        raw.format = SF_FORMAT_RAW | (info.format & (SF_FORMAT_SUBMASK | SF_FORMAT_ENDMASK));
        raw.samplerate = info.samplerate;
        raw.channels = info.channels;
        info = raw;
        state->file = sf_open_virtual(&io, SFM_READ, &info, state.get());
        if (!state->file)
            return decoderFail(decoder, "cannot decode the stream");
        std::copy(layout, layout + layoutChannelLimit, decoder->layout);
    } else {
        sndfileLayout(state->file, info.channels, decoder->layout);
    }
    // Clipped rather than wrapped where the source is louder than 16 bits.
    sf_command(state->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    decoder->length = {int64_t(info.frames), countedFromSize(info.format)};
    if (info.frames == SF_COUNT_MAX && info.channels > 0) {
        decoder->length = {estimateFromStretch(state.get(), info.channels), false};
        if (sf_seek(state->file, 0, SEEK_SET) != 0)
            return decoderFail(decoder, "cannot decode the stream");
    }
    decoder->rate = info.samplerate;
    decoder->channels = info.channels;
    decoder->handle = state.release();
    return true;
}

// What libsndfile decodes, to its end.
static int64_t sndfileRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* link)
{
    SndfileState* state = static_cast<SndfileState*>(decoder->handle);
    const sf_count_t got = sf_readf_short(state->file, out, samples / decoder->channels);
    if (got <= 0)
        return 0;
    link->rate = decoder->rate;
    link->channels = decoder->channels;
    std::copy(decoder->layout, decoder->layout + layoutChannelLimit, link->layout);
    return got;
}

static bool sndfileToStart(Decoder* decoder)
{
    SndfileState* state = static_cast<SndfileState*>(decoder->handle);
    return sf_seek(state->file, 0, SEEK_SET) == 0;
}

static void sndfileClose(Decoder* decoder)
{
    SndfileState* state = static_cast<SndfileState*>(decoder->handle);
    if (!state)
        return;
    close(state->window.fd);
    sndfileFree(state);
}

const DecoderFamily sndfileDecoder = {"libsndfile", sndfileOpen, sndfileRead, sndfileToStart, sndfileClose};
