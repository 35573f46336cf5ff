// Ogg Opus through libopusfile: always 48 kHz, the length from the last page less the pre-skip.
#include <opusfile.h>
#include <unistd.h>

#include "platform/music/decoder.h"

struct OpusState {
    OggOpusFile* file;
    int fd;
};

static int fdRead(void* source, unsigned char* out, int bytes)
{
    const ssize_t got = read(static_cast<OpusState*>(source)->fd, out, size_t(bytes));
    return got < 0 ? -1 : int(got);
}

static int fdSeek(void* source, opus_int64 offset, int whence)
{
    return lseek(static_cast<OpusState*>(source)->fd, offset, whence) < 0 ? -1 : 0;
}

static opus_int64 fdTell(void* source)
{
    return lseek(static_cast<OpusState*>(source)->fd, 0, SEEK_CUR);
}

static bool opusOpen(Decoder* decoder, int fd)
{
    OpusState* state = new OpusState{nullptr, fd};
    const OpusFileCallbacks callbacks = {fdRead, fdSeek, fdTell, nullptr};
    int error = 0;
    state->file = op_open_callbacks(state, &callbacks, nullptr, 0, &error);
    if (!state->file) {
        delete state;
        return decoderFail(decoder, "not a readable Ogg Opus stream");
    }
    const OpusHead* head = op_head(state->file, 0);
    const opus_int64 frames = op_pcm_total(state->file, -1);
    if (!head || frames < 0) {
        op_free(state->file);
        delete state;
        return decoderFail(decoder, "an Ogg Opus stream of unknown length");
    }
    decoder->handle = state;
    decoder->rate = 48000;
    decoder->channels = head->channel_count;
    decoder->frames = frames;
    return true;
}

static int64_t opusRead(Decoder* decoder, int16_t* out, int64_t frames)
{
    OpusState* state = static_cast<OpusState*>(decoder->handle);
    int64_t done = 0;
    while (done < frames) {
        int link = 0;
        // Never more values than the buffer holds, whatever a later link's channel count.
        const int got = op_read(state->file, out + done * decoder->channels,
                                int((frames - done) * decoder->channels), &link);
        if (got == OP_HOLE)
            continue;
        if (got <= 0)
            break;
        const OpusHead* head = op_head(state->file, link);
        if (!head || head->channel_count != decoder->channels)
            break;
        done += got;
    }
    return done;
}

static bool opusToStart(Decoder* decoder)
{
    return op_pcm_seek(static_cast<OpusState*>(decoder->handle)->file, 0) == 0;
}

static void opusClose(Decoder* decoder)
{
    OpusState* state = static_cast<OpusState*>(decoder->handle);
    if (!state)
        return;
    op_free(state->file);
    close(state->fd);
    delete state;
}

const DecoderFamily opusDecoder = {"libopusfile", opusOpen, opusRead, opusToStart, opusClose};
