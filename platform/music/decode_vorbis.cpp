// Ogg Vorbis through libvorbisfile, which finds the length from the last page: a cut file gives the
// length of what it holds, found without decoding it.
#include <unistd.h>
#include <vorbis/vorbisfile.h>

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
    decoder->frames = frames;
    return true;
}

static int64_t vorbisRead(Decoder* decoder, int16_t* out, int64_t frames)
{
    VorbisState* state = static_cast<VorbisState*>(decoder->handle);
    const int frameBytes = decoder->channels * 2;
    int64_t done = 0;
    while (done < frames) {
        int link = 0;
        const long got = ov_read(&state->file, reinterpret_cast<char*>(out + done * decoder->channels),
                                 int((frames - done) * frameBytes), __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, 2, 1,
                                 &link);
        if (got == OV_HOLE)
            continue;
        if (got <= 0)
            break;
        // A chained file whose next part differs would be played at the wrong rate or channel count.
        const vorbis_info* info = ov_info(&state->file, link);
        if (!info || info->channels != decoder->channels || info->rate != decoder->rate)
            break;
        done += got / frameBytes;
    }
    return done;
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
