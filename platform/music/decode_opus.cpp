// Ogg Opus through libopusfile: always 48 kHz, the length from the last page less the pre-skip.
#include <opusfile.h>
#include <unistd.h>

#include <algorithm>

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

// Family 0 and 1 follow the Vorbis order; any other mapping names no speakers.
static void opusLayout(const OpusHead* head, Speaker* layout)
{
    if (head->mapping_family <= 1)
        layoutVorbis(layout, head->channel_count);
    else
        layoutWav(layout, head->channel_count);
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
    opusLayout(head, decoder->layout);
    decoder->frames = frames;
    // Every link is at 48 kHz: a change of channels is mixed, each link keeps its count of frames.
    const int links = op_link_count(state->file);
    int64_t run = 0;
    for (int i = 0; i < links; ++i) {
        const OpusHead* link = op_head(state->file, i);
        const OpusHead* previous = op_head(state->file, i > 0 ? i - 1 : 0);
        if (link->channel_count != previous->channel_count || link->mapping_family != previous->mapping_family) {
            decoder->linkFrames.push_back(run);
            run = 0;
        }
        run += std::max<opus_int64>(0, op_pcm_total(state->file, i));
        if (i == links - 1 && !decoder->linkFrames.empty())
            decoder->linkFrames.push_back(run);
    }
    return true;
}

static int64_t opusRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* format)
{
    OpusState* state = static_cast<OpusState*>(decoder->handle);
    for (;;) {
        int link = 0;
        // Never more values than the buffer holds, whatever a link's channel count.
        const int got = op_read(state->file, out, int(samples), &link);
        if (got == OP_HOLE)
            continue;
        const OpusHead* head = got > 0 ? op_head(state->file, link) : nullptr;
        if (!head)
            return 0;
        format->rate = 48000;
        format->channels = head->channel_count;
        opusLayout(head, format->layout);
        return got;
    }
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
