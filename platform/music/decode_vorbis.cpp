// Ogg Vorbis through libvorbisfile, which finds the length from the last page: a cut file gives the
// length of what it holds, found without decoding it.
#include <unistd.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>

#include "platform/music/decoder.h"

struct VorbisState {
    OggVorbis_File file;
    int fd;
};

static size_t fdRead(void* out, size_t size, size_t count, void* source)
{
    const ssize_t got = read(static_cast<VorbisState*>(source)->fd, out, size * count);
    return got > 0 ? size_t(got) / size : 0;
}

static int fdSeek(void* source, ogg_int64_t offset, int whence)
{
    return lseek(static_cast<VorbisState*>(source)->fd, offset, whence) < 0 ? -1 : 0;
}

static long fdTell(void* source)
{
    return long(lseek(static_cast<VorbisState*>(source)->fd, 0, SEEK_CUR));
}

static bool vorbisOpen(Decoder* decoder, int fd)
{
    VorbisState* state = new VorbisState{};
    state->fd = fd;
    const ov_callbacks callbacks = {fdRead, fdSeek, nullptr, fdTell};
    if (ov_open_callbacks(state, &state->file, nullptr, 0, callbacks) != 0) {
        delete state;
        return decoderFail(decoder, "not a readable Ogg Vorbis stream");
    }
    const vorbis_info* info = ov_info(&state->file, 0);
    const ogg_int64_t frames = ov_pcm_total(&state->file, -1);
    if (!info || frames < 0) {
        ov_clear(&state->file);
        delete state;
        return decoderFail(decoder, "an Ogg Vorbis stream of unknown length");
    }
    decoder->handle = state;
    decoder->rate = int(info->rate);
    decoder->channels = info->channels;
    layoutVorbis(decoder->layout, info->channels);
    decoder->frames = frames;
    // A chain whose links change format: each run of one format counted at the first link's rate.
    const long links = ov_streams(&state->file);
    int64_t run = 0;
    int64_t total = 0;
    for (long i = 0; i < links; ++i) {
        const vorbis_info* link = ov_info(&state->file, int(i));
        const vorbis_info* previous = i > 0 ? ov_info(&state->file, int(i - 1)) : link;
        if (!link || !previous)
            break;
        if (link->rate != previous->rate || link->channels != previous->channels) {
            decoder->linkFrames.push_back(framesAtRate(run, int(previous->rate), decoder->rate));
            run = 0;
        }
        run += std::max<ogg_int64_t>(0, ov_pcm_total(&state->file, int(i)));
        if (i == links - 1 && !decoder->linkFrames.empty())
            decoder->linkFrames.push_back(framesAtRate(run, int(link->rate), decoder->rate));
    }
    // After the open's look at every link, a chain is left at its last one: back to the first.
    if (links > 1 && ov_pcm_seek(&state->file, 0) != 0) {
        ov_clear(&state->file);
        delete state;
        decoder->handle = nullptr;
        return decoderFail(decoder, "cannot go back to the start of the chain");
    }
    for (int64_t f : decoder->linkFrames)
        total += f;
    if (!decoder->linkFrames.empty())
        decoder->frames = total;
    return true;
}

static int64_t vorbisRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* format)
{
    VorbisState* state = static_cast<VorbisState*>(decoder->handle);
    for (;;) {
        int link = 0;
        // One read never spans two links; whole frames of that link's channel count come back.
        const long got = ov_read(&state->file, reinterpret_cast<char*>(out), int(samples * 2),
                                 __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, 2, 1, &link);
        if (got == OV_HOLE)
            continue;
        const vorbis_info* info = got > 0 ? ov_info(&state->file, link) : nullptr;
        if (!info || info->channels < 1)
            return 0;
        format->rate = int(std::min<long>(info->rate, 1L << 30));
        format->channels = info->channels;
        layoutVorbis(format->layout, info->channels);
        return got / (2 * info->channels);
    }
}

static bool vorbisToStart(Decoder* decoder)
{
    return ov_pcm_seek(&static_cast<VorbisState*>(decoder->handle)->file, 0) == 0;
}

static void vorbisClose(Decoder* decoder)
{
    VorbisState* state = static_cast<VorbisState*>(decoder->handle);
    if (!state)
        return;
    ov_clear(&state->file);
    close(state->fd);
    delete state;
}

const DecoderFamily vorbisDecoder = {"libvorbisfile", vorbisOpen, vorbisRead, vorbisToStart, vorbisClose};
