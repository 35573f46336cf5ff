// Native FLAC through libFLAC, to the end of its frames, damage passed over frame by frame and files
// joined with cat played on; its length from the probe beside it (flac_length.cpp).
#include <FLAC/stream_decoder.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/music/decode/bytes.h"
#include "platform/music/decode/flac.h"

struct FlacState {
    FLAC__StreamDecoder* flac;
    // What libFLAC is shown: `prefix`, the stream's marker and the metadata kept, then the file from
    // its first frame on through `window`; `at` is the place in that.
    std::vector<unsigned char> prefix;
    FileWindow window;
    off_t at;
    bool haveInfo;
    FLAC__StreamMetadata_StreamInfo info;
    uint32_t channelMask;  // from WAVEFORMATEXTENSIBLE_CHANNEL_MASK; 0 where the file has none
    std::vector<int16_t> pending;  // the last frame decoded, interleaved
    size_t pendingAt;
    int pendingChannels;
    // Frames lost to damage, heard as silence before the frame after them, so that what follows
    // keeps the time its frame numbers give, as libFLAC keeps it for a frame it cannot check.
    bool started;
    uint64_t nextSample;
    uint64_t silence;
    unsigned char buffer[64 * 1024];
};

// More than any damage loses; a frame number further ahead is a file joined on, or damage the CRC
// missed, not lost frames.
constexpr uint64_t gapLimit = uint64_t(1) << 20;

static FLAC__StreamDecoderReadStatus flacRead(const FLAC__StreamDecoder*, FLAC__byte out[], size_t* bytes, void* data)
{
    FlacState* s = static_cast<FlacState*>(data);
    const off_t kept = off_t(s->prefix.size());
    size_t done = 0;
    if (s->at < kept) {
        done = std::min(*bytes, size_t(kept - s->at));
        std::memcpy(out, &s->prefix[size_t(s->at)], done);
    } else {
        s->window.position = s->at - kept;
        const ssize_t got = fileWindowRead(&s->window, out, *bytes);
        done = got > 0 ? size_t(got) : 0;
    }
    s->at += off_t(done);
    *bytes = done;
    return done > 0 ? FLAC__STREAM_DECODER_READ_STATUS_CONTINUE : FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

static off_t flacShown(const FlacState* s)
{
    return off_t(s->prefix.size()) + s->window.size;
}

static FLAC__StreamDecoderSeekStatus flacSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* data)
{
    FlacState* s = static_cast<FlacState*>(data);
    return seekWithin(&s->at, flacShown(s), int64_t(offset), SEEK_SET) < 0 ? FLAC__STREAM_DECODER_SEEK_STATUS_ERROR
                                                                            : FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

static FLAC__StreamDecoderTellStatus flacTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* data)
{
    *offset = FLAC__uint64(static_cast<FlacState*>(data)->at);
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

static FLAC__StreamDecoderLengthStatus flacLength(const FLAC__StreamDecoder*, FLAC__uint64* length, void* data)
{
    *length = FLAC__uint64(flacShown(static_cast<FlacState*>(data)));
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

static FLAC__bool flacEof(const FLAC__StreamDecoder*, void* data)
{
    const FlacState* s = static_cast<FlacState*>(data);
    return s->at >= flacShown(s);
}

// The stream's marker, its STREAMINFO and its VORBIS_COMMENT where that is small, made the last block;
// the other blocks, however large (padding, pictures), are passed over here rather than read through
// by libFLAC. False where the marker or the STREAMINFO is not there. *audioStart: where the frames start.
static bool keptMetadata(FlacState* s, int fd, off_t from, off_t size, off_t* audioStart)
{
    constexpr uint32_t commentLimit = 64 * 1024;
    constexpr int blockLimit = 4096;
    FileWindow w{};
    unsigned char buffer[4096];
    fileWindowStart(&w, fd, from, size - from, buffer, sizeof buffer, nullptr);
    unsigned char h[4];
    if (fileWindowRead(&w, h, 4) != 4 || std::memcmp(h, "fLaC", 4) != 0)
        return false;
    s->prefix.assign(h, h + 4);
    size_t lastKept = 0;
    for (int block = 0; block < blockLimit; ++block) {
        if (fileWindowRead(&w, h, 4) != 4)
            return false;
        const int type = h[0] & 0x7F;
        const uint32_t length = uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
        if (block == 0 && type != FLAC__METADATA_TYPE_STREAMINFO)
            return false;
        if (block == 0 || (type == FLAC__METADATA_TYPE_VORBIS_COMMENT && length <= commentLimit)) {
            lastKept = s->prefix.size();
            s->prefix.insert(s->prefix.end(), {uint8_t(type), h[1], h[2], h[3]});
            s->prefix.resize(s->prefix.size() + length);
            if (fileWindowRead(&w, &s->prefix[s->prefix.size() - length], length) != ssize_t(length))
                return false;
        } else {
            w.position += off_t(length);
        }
        if (h[0] & 0x80) {
            s->prefix[lastKept] |= 0x80;
            *audioStart = from + w.position;
            return *audioStart <= size;
        }
    }
    return false;
}

// Samples of any depth to 16 bits as libsndfile gives them: the low bits dropped, short ones shifted up.
static FLAC__StreamDecoderWriteStatus flacWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                                const FLAC__int32* const channels[], void* data)
{
    FlacState* s = static_cast<FlacState*>(data);
    const int count = int(frame->header.channels);
    const int shift = int(frame->header.bits_per_sample) - 16;
    const size_t frames = frame->header.blocksize;
    // A step of the decoder can write more than one frame (one in place of a damaged one, then the
    // next): what is not read yet is kept.
    s->pending.erase(s->pending.begin(), s->pending.begin() + long(std::min(s->pendingAt, s->pending.size())));
    s->pendingAt = 0;
    if (count != s->pendingChannels && !s->pending.empty())
        s->pending.clear();
    const size_t at = s->pending.size();
    s->pending.resize(at + frames * size_t(count));
    for (size_t f = 0; f < frames; ++f)
        for (int c = 0; c < count; ++c) {
            const FLAC__int32 v = channels[c][f];
            s->pending[at + f * size_t(count) + size_t(c)] = int16_t(shift >= 0 ? v >> shift : v << -shift);
        }
    s->pendingChannels = count;
    const uint64_t first = frame->header.number.sample_number;
    if (s->started && first > s->nextSample && first - s->nextSample <= gapLimit) {
        const uint64_t gap = first - s->nextSample;
        if (at == 0)
            s->silence = gap;
        else if (gap <= 65536)
            s->pending.insert(s->pending.begin() + long(at), size_t(gap) * size_t(count), int16_t(0));
    }
    s->started = true;
    s->nextSample = first + frames;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

static void flacMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* data)
{
    FlacState* s = static_cast<FlacState*>(data);
    if (block->type == FLAC__METADATA_TYPE_STREAMINFO && !s->haveInfo) {
        s->info = block->data.stream_info;
        s->haveInfo = true;
    } else if (block->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
        static const char key[] = "WAVEFORMATEXTENSIBLE_CHANNEL_MASK=";
        const FLAC__StreamMetadata_VorbisComment& vc = block->data.vorbis_comment;
        for (uint32_t i = 0; i < vc.num_comments; ++i) {
            const FLAC__StreamMetadata_VorbisComment_Entry& e = vc.comments[i];
            if (e.length > sizeof key - 1 && e.length < 64 && strncasecmp(reinterpret_cast<const char*>(e.entry), key, sizeof key - 1) == 0) {
                char text[64];
                std::memcpy(text, e.entry, e.length);
                text[e.length] = 0;
                s->channelMask = uint32_t(std::strtoul(text + sizeof key - 1, nullptr, 16));
            }
        }
    }
}

// Damage is passed over: libFLAC finds the next frame itself.
static void flacError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {}

// FLAC's own order for each channel count, or the speakers its channel mask names, in mask order.
static void flacLayout(const FlacState* s, int channels, Speaker* layout)
{
    layoutWav(layout, channels);
    if (channels > layoutChannelLimit || (s->channelMask != 0 && layoutFromMask(layout, channels, s->channelMask)))
        return;
    if (channels == 4 || channels == 5) {
        const Speaker order[5] = {speakerFrontLeft, speakerFrontRight, speakerFrontCenter, speakerRearLeft, speakerRearRight};
        const Speaker quad[4] = {speakerFrontLeft, speakerFrontRight, speakerRearLeft, speakerRearRight};
        std::copy(channels == 4 ? quad : order, (channels == 4 ? quad : order) + channels, layout);
    } else if (channels == 7) {
        layout[4] = speakerRearCenter;
        layout[5] = speakerSideLeft;
        layout[6] = speakerSideRight;
    }
}

static bool flacToStart(Decoder* decoder);

// The one owner of the state and its decoder; the descriptor is the decoder record's.
static void flacFree(FlacState* s)
{
    if (s->flac)
        FLAC__stream_decoder_delete(s->flac);
    delete s;
}

using FlacOwner = std::unique_ptr<FlacState, decltype(&flacFree)>;

static bool flacOpen(Decoder* decoder, int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return decoderFail(decoder, "cannot read the file");
    FlacOwner s(new FlacState{}, flacFree);
    // Behind an ID3v2 tag, as taggers put one in front of any format.
    unsigned char tag[id3v2HeaderBytes] = {};
    const off_t start = pread(fd, tag, sizeof tag, 0) == sizeof tag ? off_t(id3v2Bytes(tag, sizeof tag)) : 0;
    off_t audioStart = 0;
    if (!keptMetadata(s.get(), fd, start, st.st_size, &audioStart))
        return decoderFail(decoder, "not a readable FLAC stream");
    fileWindowStart(&s->window, fd, audioStart, st.st_size - audioStart, s->buffer, sizeof s->buffer, &decoder->allowance);
    s->flac = FLAC__stream_decoder_new();
    // Asked for before the start, as libFLAC takes it: the comments hold the channel mask.
    if (s->flac)
        FLAC__stream_decoder_set_metadata_respond(s->flac, FLAC__METADATA_TYPE_VORBIS_COMMENT);
    if (!s->flac || FLAC__stream_decoder_init_stream(s->flac, flacRead, flacSeek, flacTell, flacLength, flacEof, flacWrite,
                                                     flacMetadata, flacError, s.get()) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
        return decoderFail(decoder, "cannot start the FLAC decoder");
    if (!FLAC__stream_decoder_process_until_end_of_metadata(s->flac) || !s->haveInfo)
        return decoderFail(decoder, "not a readable FLAC stream");
    // A file of which nothing decodes is refused rather than played as silence; a search of a few
    // MiB of damage for the first frame is enough to tell, and bounds the open.
    constexpr off_t searchBytes = off_t(4) << 20;
    while (s->pending.empty() && s->at < off_t(s->prefix.size()) + searchBytes &&
           FLAC__stream_decoder_get_state(s->flac) != FLAC__STREAM_DECODER_END_OF_STREAM &&
           FLAC__stream_decoder_process_single(s->flac)) {
    }
    if (s->pending.empty())
        return decoderFail(decoder, "no audio in it decodes");
    decoder->length = flacProbe(fd, int64_t(audioStart), st.st_size, s->info);
    decoder->rate = int(s->info.sample_rate);
    decoder->channels = int(s->info.channels);
    flacLayout(s.get(), decoder->channels, decoder->layout);
    decoder->handle = s.get();
    if (!flacToStart(decoder)) {
        decoder->handle = nullptr;
        return decoderFail(decoder, "not a readable FLAC stream");
    }
    s.release();
    return true;
}

// What libFLAC decodes, to the end of the file.
static int64_t flacReadFrames(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* link)
{
    FlacState* s = static_cast<FlacState*>(decoder->handle);
    link->rate = decoder->rate;
    link->channels = decoder->channels;
    std::copy(decoder->layout, decoder->layout + layoutChannelLimit, link->layout);
    const size_t channels = size_t(decoder->channels);
    while (s->pendingAt >= s->pending.size() && s->silence == 0) {
        if (FLAC__stream_decoder_get_state(s->flac) == FLAC__STREAM_DECODER_END_OF_STREAM ||
            !FLAC__stream_decoder_process_single(s->flac))
            return 0;
        // A frame of another channel count is damage the CRC missed: left out.
        if (s->pendingChannels != decoder->channels) {
            s->pendingAt = s->pending.size();
            s->silence = 0;
        }
    }
    size_t frames = 0;
    if (s->silence > 0) {
        frames = size_t(std::min<uint64_t>(s->silence, uint64_t(samples) / channels));
        std::memset(out, 0, frames * channels * 2);
        s->silence -= frames;
    } else {
        frames = std::min(size_t(samples) / channels, (s->pending.size() - s->pendingAt) / channels);
        std::memcpy(out, &s->pending[s->pendingAt], frames * channels * 2);
        s->pendingAt += frames * channels;
    }
    return int64_t(frames);
}

static bool flacToStart(Decoder* decoder)
{
    FlacState* s = static_cast<FlacState*>(decoder->handle);
    s->pending.clear();
    s->pendingAt = 0;
    s->started = false;
    s->nextSample = s->silence = 0;
    return FLAC__stream_decoder_reset(s->flac) && FLAC__stream_decoder_process_until_end_of_metadata(s->flac);
}

static void flacClose(Decoder* decoder)
{
    FlacState* s = static_cast<FlacState*>(decoder->handle);
    if (!s)
        return;
    close(s->window.fd);
    flacFree(s);
}

const DecoderFamily flacDecoder = {"libFLAC", flacOpen, flacReadFrames, flacToStart, flacClose};
