// AAC, ALAC, WMA, WavPack, AC3, TTA, Speex, FLAC and Opus in other containers, tracker modules:
// whatever the dedicated families do not recognise, through libavformat and libavcodec. Built as a
// module of its own, loaded only for such a file: the libraries pull in over a hundred others.
// It reads the one descriptor it is given through I/O of our own; no demuxer that would open another
// file, a socket or a device is allowed, and any attempt to open one is refused.
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/music/decode/bytes.h"
#include "platform/music/decode/decoder.h"

// Demuxers that read one file of audio and nothing else; matched against each of a demuxer's names.
static const char* const formatWhitelist = "mov,matroska,asf,ogg,wv,tta,aac,ac3,eac3,libopenmpt,ape,mpc,mpc8,flac,caf";
static const char* const codecWhitelist =
    "aac,aac_fixed,alac,wmav1,wmav2,wmapro,wmalossless,opus,vorbis,flac,wavpack,ac3,ac3_fixed,eac3,"
    "tta,speex,ape,mpc7,mpc8,mp3float,mp3,mp2float,mp2,pcm_s16le,pcm_s16be,pcm_s24le,pcm_s24be,"
    "pcm_s32le,pcm_s32be,pcm_f32le,pcm_f32be,pcm_f64le,pcm_f64be,pcm_u8";

namespace {
struct FfmpegState {
    int fd;
    off_t size;
    off_t position;
    AVIOContext* io;
    AVFormatContext* format;
    AVCodecContext* codec;
    int stream;
    AVPacket* packet;
    AVFrame* frame;
    SwrContext* swr;
    int swrRate;
    int swrFormat;
    AVChannelLayout swrLayout;
    std::vector<int16_t> pending;  // one decoded frame as interleaved 16-bit samples
    size_t pendingAt;
    LinkFormat pendingFormat;
    int64_t length;   // frames announced; never more are delivered unless it is the header's
    bool estimated;   // the header's length, where the packets cannot be counted
    bool walked;      // the length is of frames the file holds: what does not decode is damage
    int64_t delivered;
    bool demuxed, drained;
    // Where the demuxer is shown the file's head with its tail after it: bytes from spliceAt on
    // are read from spliceFrom on. 0 for the file as it is.
    off_t spliceAt, spliceFrom;
};
}  // namespace

static off_t shownSize(const FfmpegState* s)
{
    return s->size - (s->spliceFrom - s->spliceAt);
}

static int readPacket(void* opaque, uint8_t* out, int bytes)
{
    FfmpegState* s = static_cast<FfmpegState*>(opaque);
    if (s->position < s->spliceAt)
        bytes = int(std::min<int64_t>(bytes, s->spliceAt - s->position));
    const off_t at = s->position < s->spliceAt ? s->position : s->position + (s->spliceFrom - s->spliceAt);
    const ssize_t got = pread(s->fd, out, size_t(bytes), at);
    if (got <= 0)
        return got == 0 ? AVERROR_EOF : AVERROR(EIO);
    s->position += got;
    return int(got);
}

static int64_t seekTo(void* opaque, int64_t offset, int whence)
{
    FfmpegState* s = static_cast<FfmpegState*>(opaque);
    if (whence & AVSEEK_SIZE)
        return shownSize(s);
    whence &= ~AVSEEK_FORCE;
    const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->position : shownSize(s);
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return -1;
    if (base + offset < 0)
        return -1;
    s->position = off_t(base + offset);
    return s->position;
}

// What a demuxer would open besides the file: playlists, references, segments. Never.
static int refuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**)
{
    return AVERROR(EPERM);
}

static void closeContext(FfmpegState* s)
{
    avcodec_free_context(&s->codec);
    avformat_close_input(&s->format);
    if (s->io)
        av_freep(&s->io->buffer);
    avio_context_free(&s->io);
    swr_free(&s->swr);
    av_channel_layout_uninit(&s->swrLayout);
    s->pending.clear();
    s->pendingAt = 0;
    s->demuxed = s->drained = false;
}

// The file from its first byte: demuxer, audio stream and decoder. False where any is not allowed.
static bool openContext(FfmpegState* s)
{
    constexpr int ioBlock = 32 * 1024;
    s->position = 0;
    unsigned char* buffer = static_cast<unsigned char*>(av_malloc(ioBlock));
    if (!buffer)
        return false;
    s->io = avio_alloc_context(buffer, ioBlock, 0, s, readPacket, nullptr, seekTo);
    if (!s->io) {
        av_free(buffer);
        return false;
    }
    AVFormatContext* format = avformat_alloc_context();
    if (!format)
        return false;
    format->pb = s->io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->format_whitelist = av_strdup(formatWhitelist);
    format->codec_whitelist = av_strdup(codecWhitelist);
    format->protocol_whitelist = av_strdup("none");
    format->io_open = refuseOpen;
    // On failure avformat_open_input frees the context.
    if (avformat_open_input(&format, nullptr, nullptr, nullptr) < 0)
        return false;
    s->format = format;
    if (avformat_find_stream_info(format, nullptr) < 0)
        return false;
    const AVCodec* decoder = nullptr;
    s->stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (s->stream < 0 || !decoder)
        return false;
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (int(i) != s->stream)
            format->streams[i]->discard = AVDISCARD_ALL;
    s->codec = avcodec_alloc_context3(decoder);
    if (!s->codec || avcodec_parameters_to_context(s->codec, format->streams[s->stream]->codecpar) < 0)
        return false;
    s->codec->thread_count = 1;
    s->codec->codec_whitelist = av_strdup(codecWhitelist);
    return avcodec_open2(s->codec, decoder, nullptr) == 0;
}

static Speaker speakerOf(AVChannel channel)
{
    // FFmpeg numbers its first channels as the WAVEFORMATEXTENSIBLE mask's bits.
    if (channel >= AV_CHAN_FRONT_LEFT && channel <= AV_CHAN_TOP_BACK_RIGHT)
        return maskSpeakers[channel];
    switch (channel) {
    case AV_CHAN_STEREO_LEFT: return speakerFrontLeft;
    case AV_CHAN_STEREO_RIGHT: return speakerFrontRight;
    case AV_CHAN_WIDE_LEFT: return speakerWideLeft;
    case AV_CHAN_WIDE_RIGHT: return speakerWideRight;
    case AV_CHAN_SURROUND_DIRECT_LEFT: return speakerSurroundDirectLeft;
    case AV_CHAN_SURROUND_DIRECT_RIGHT: return speakerSurroundDirectRight;
    case AV_CHAN_LOW_FREQUENCY_2: return speakerLfe2;
    case AV_CHAN_TOP_SIDE_LEFT: return speakerTopSideLeft;
    case AV_CHAN_TOP_SIDE_RIGHT: return speakerTopSideRight;
    case AV_CHAN_BOTTOM_FRONT_CENTER: return speakerBottomFrontCenter;
    case AV_CHAN_BOTTOM_FRONT_LEFT: return speakerBottomFrontLeft;
    case AV_CHAN_BOTTOM_FRONT_RIGHT: return speakerBottomFrontRight;
    default: return speakerUnknown;
    }
}

// Each channel as the stream's layout names it, in a native or a custom order; the WAV order where
// it names none (an unspecified order, ambisonics).
static void layoutOf(const AVChannelLayout* layout, int channels, Speaker* out)
{
    layoutWav(out, channels);
    if (channels == 1 || channels > layoutChannelLimit ||
        (layout->order != AV_CHANNEL_ORDER_NATIVE && layout->order != AV_CHANNEL_ORDER_CUSTOM))
        return;
    Speaker named[layoutChannelLimit];
    bool any = false;
    for (int c = 0; c < channels; ++c) {
        named[c] = speakerOf(av_channel_layout_channel_from_index(layout, unsigned(c)));
        any = any || named[c] != speakerUnknown;
    }
    if (any)
        std::copy(named, named + channels, out);
}

// The decoded frame in s->frame as interleaved 16-bit samples in `pending`; false where it cannot be
// music (a damaged frame's format), so it is skipped.
static bool convertFrame(FfmpegState* s)
{
    AVFrame* f = s->frame;
    const int channels = f->ch_layout.nb_channels;
    if (f->nb_samples <= 0 || channels < 1 || channels > decoderChannelMax || f->sample_rate < decoderRateMin ||
        f->sample_rate > decoderRateMax)
        return false;
    if (!s->swr || s->swrRate != f->sample_rate || s->swrFormat != f->format ||
        av_channel_layout_compare(&s->swrLayout, &f->ch_layout) != 0) {
        swr_free(&s->swr);
        av_channel_layout_uninit(&s->swrLayout);
        if (swr_alloc_set_opts2(&s->swr, &f->ch_layout, AV_SAMPLE_FMT_S16, f->sample_rate, &f->ch_layout,
                                AVSampleFormat(f->format), f->sample_rate, 0, nullptr) < 0 ||
            swr_init(s->swr) < 0) {
            swr_free(&s->swr);
            return false;
        }
        av_channel_layout_copy(&s->swrLayout, &f->ch_layout);
        s->swrRate = f->sample_rate;
        s->swrFormat = f->format;
    }
    s->pending.resize(size_t(f->nb_samples) * size_t(channels));
    uint8_t* out = reinterpret_cast<uint8_t*>(s->pending.data());
    const int made = swr_convert(s->swr, &out, f->nb_samples, const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
    if (made <= 0)
        return false;
    s->pending.resize(size_t(made) * size_t(channels));
    s->pendingAt = 0;
    s->pendingFormat.rate = f->sample_rate;
    s->pendingFormat.channels = channels;
    layoutOf(&f->ch_layout, channels, s->pendingFormat.layout);
    return true;
}

// The next decoded frame into `pending`; false at the end. A packet the decoder refuses is skipped,
// so that damage inside the file costs only what it hit.
static bool decodeNext(FfmpegState* s)
{
    // Bounded, so that a file of nothing but damage ends rather than loops.
    for (int errors = 0; errors < 1000;) {
        const int received = avcodec_receive_frame(s->codec, s->frame);
        if (received == 0) {
            const bool usable = convertFrame(s);
            av_frame_unref(s->frame);
            if (usable)
                return true;
            ++errors;
            continue;
        }
        if (received == AVERROR_EOF || s->drained)
            return false;
        if (received != AVERROR(EAGAIN))
            ++errors;
        if (s->demuxed) {
            avcodec_send_packet(s->codec, nullptr);
            s->drained = true;
            continue;
        }
        const int read = av_read_frame(s->format, s->packet);
        if (read < 0) {
            // A damaged packet is passed over; the end of the file, or an error reading it, ends it.
            if (read == AVERROR_EOF || read == AVERROR(EIO) || avio_feof(s->format->pb) || ++errors > 64)
                s->demuxed = true;
            continue;
        }
        if (s->packet->stream_index == s->stream && avcodec_send_packet(s->codec, s->packet) < 0)
            ++errors;
        av_packet_unref(s->packet);
    }
    return false;
}

// Samples a packet decodes to, from the codec's own framing: the parser reads it from the packet's
// header (Opus's TOC, Vorbis's block flags, FLAC's frame header).
static int64_t packetSamples(AVCodecParserContext* parser, AVCodecContext* context, const AVCodecParameters* par, AVPacket* p)
{
    if (parser) {
        uint8_t* data = nullptr;
        int size = 0;
        parser->duration = 0;
        av_parser_parse2(parser, context, &data, &size, p->data, p->size, p->pts, p->dts, p->pos);
        if (parser->duration > 0)
            return parser->duration;
    }
    const int samples = av_get_audio_frame_duration2(const_cast<AVCodecParameters*>(par), p->size);
    return samples > 0 ? samples : -1;
}

// WMA 1 and 2 without the bit reservoir: a frame a packet, whose length the rate gives; the
// decoder drops the first. With the reservoir a packet's frame count depends on the one before, and
// the length is the header's.
static int64_t wmaFrameSamples(const AVCodecParameters* par)
{
    const int version = par->codec_id == AV_CODEC_ID_WMAV1 ? 1 : 2;
    const int flagsAt = version == 1 ? 2 : 4;
    if (par->extradata_size < flagsAt + 2)
        return -1;
    const int flags = par->extradata[flagsAt] | par->extradata[flagsAt + 1] << 8;
    if (flags & 2)
        return -1;
    const int rate = par->sample_rate;
    return int64_t(1) << (rate <= 16000 ? 9 : rate <= 22050 || (rate <= 32000 && version == 1) ? 10 : 11);
}

// Packets of the audio stream read one by one, each counted in the samples it decodes to.
namespace {
struct PacketWalk {
    const AVCodecParameters* par;
    AVCodecParserContext* parser;
    AVCodecContext* context;
    int64_t wmaFrame;
    bool first;
    bool variable;  // FLAC frames of varying block size were seen
    int64_t raw;    // the last packet's samples before any skip
};
}  // namespace

static void walkStart(PacketWalk* w, const AVCodecParameters* par)
{
    w->par = par;
    w->parser = av_parser_init(par->codec_id);
    w->context = avcodec_alloc_context3(nullptr);
    if (w->parser)
        w->parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    if (w->context)
        avcodec_parameters_to_context(w->context, par);
    const bool wma = par->codec_id == AV_CODEC_ID_WMAV1 || par->codec_id == AV_CODEC_ID_WMAV2;
    w->wmaFrame = wma ? wmaFrameSamples(par) : 0;
    w->first = true;
    w->variable = false;
}

static void walkEnd(PacketWalk* w)
{
    if (w->parser)
        av_parser_close(w->parser);
    w->parser = nullptr;
    avcodec_free_context(&w->context);
}

// The next packet: false at the end. *samples is what it decodes to, less what the container marks
// to be skipped at the start or dropped at the end (a last block's padding); -1 where it cannot be
// told. Vorbis's first packet and WMA's first frame only prime the decoder.
static bool walkNext(FfmpegState* s, PacketWalk* w, int64_t* samples, int64_t* pts)
{
    while (w->context && av_read_frame(s->format, s->packet) >= 0) {
        if (s->packet->stream_index != s->stream) {
            av_packet_unref(s->packet);
            continue;
        }
        const AVCodecID id = w->par->codec_id;
        int64_t n = w->wmaFrame != 0 ? w->wmaFrame : packetSamples(w->parser, w->context, w->par, s->packet);
        if (w->first && (id == AV_CODEC_ID_VORBIS || id == AV_CODEC_ID_WMAV1 || id == AV_CODEC_ID_WMAV2))
            n = 0;
        w->first = false;
        w->raw = n;
        if (id == AV_CODEC_ID_FLAC && s->packet->size > 1 && (s->packet->data[1] & 1))
            w->variable = true;
        size_t size = 0;
        const uint8_t* skip = av_packet_get_side_data(s->packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
        if (n >= 0 && skip && size >= 8)
            n -= int64_t(le32(skip)) + int64_t(le32(skip + 4));
        *samples = n;
        *pts = s->packet->pts;
        av_packet_unref(s->packet);
        return true;
    }
    return false;
}

// Every packet's samples: what decoding from the start delivers. The packets are read, not decoded.
// Opus's pre-skip the decoder drops by itself. -1 where a packet's samples cannot be told.
static int64_t countPackets(FfmpegState* s)
{
    PacketWalk w{};
    walkStart(&w, s->format->streams[s->stream]->codecpar);
    int64_t total = 0, samples = 0, pts = 0;
    bool countable = true;
    while (countable && walkNext(s, &w, &samples, &pts)) {
        countable = samples >= 0;
        total += samples;
    }
    walkEnd(&w);
    const int64_t skipped = w.par->codec_id == AV_CODEC_ID_OPUS ? int64_t(s->codec->delay) : 0;
    return countable ? std::max<int64_t>(total - skipped, 0) : -1;
}

// An EBML element's size at p, of `*length` bytes; -1 where unknown or no size starts there.
static int64_t ebmlSize(const unsigned char* p, const unsigned char* end, int* length)
{
    if (p >= end || *p == 0)
        return -1;
    *length = __builtin_clz(unsigned(*p)) - 23;
    if (p + *length > end)
        return -1;
    int64_t value = *p & (0xFF >> *length);
    bool unknown = value == (0xFF >> *length);
    for (int i = 1; i < *length; ++i) {
        value = value << 8 | p[i];
        unknown = unknown && p[i] == 0xFF;
    }
    return unknown ? -1 : value;
}

// Where a Matroska file's first and last clusters start: a cluster's ID followed by a size it holds
// or an unknown one, and its timestamp first, as muxers write it. False where either is not found
// within the bytes searched.
static bool matroskaClusters(int fd, off_t size, off_t* first, off_t* last)
{
    constexpr int64_t block = 64 * 1024, searched = 4 * 1024 * 1024;
    std::vector<unsigned char> buffer(block + 16);
    auto clusterAt = [&](const unsigned char* p, const unsigned char* end, off_t at) {
        int length = 0;
        if (end - p < 14 || std::memcmp(p, "\x1F\x43\xB6\x75", 4) != 0)
            return false;
        const int64_t bytes = ebmlSize(p + 4, end, &length);
        const bool unknown = bytes < 0 && p[4] != 0;
        return (unknown || (bytes > 0 && at + 4 + length + bytes <= size)) && p[4 + length] == 0xE7;
    };
    *first = *last = 0;
    for (off_t at = 0; at < std::min<off_t>(size, searched) && *first == 0; at += block) {
        const ssize_t got = pread(fd, buffer.data(), buffer.size(), at);
        for (ssize_t i = 0; i + 14 <= got && i < block && *first == 0; ++i)
            if (clusterAt(&buffer[size_t(i)], buffer.data() + got, at + i))
                *first = at + i;
    }
    for (off_t end = size; end > std::max<off_t>(*first, size - searched) && *last == 0; end -= block) {
        const off_t at = std::max<off_t>(end - block, *first + 1);
        const ssize_t got = pread(fd, buffer.data(), buffer.size(), at);
        for (ssize_t i = std::min<ssize_t>(got, end - at) - 1; i >= 0 && *last == 0; --i)
            if (clusterAt(&buffer[size_t(i)], buffer.data() + got, at + i))
                *last = at + i;
    }
    return *first > 0 && *last > 0;
}

// Matroska and WebM: the packets from the last cue on, and where that last run starts from its
// timestamp. Those are in milliseconds; where every packet's length is a multiple of more than
// two of them (AAC, AC3 and MP3 frames, Opus's 2.5 ms steps, FLAC's fixed blocks) the nearest such
// multiple is exact. -1 where that does not hold, for the whole walk.
static int64_t countMatroskaTail(FfmpegState* s, int rate)
{
    const AVStream* st = s->format->streams[s->stream];
    const AVRational timeBase = st->time_base;
    const int64_t delay = s->codec->delay;
    const AVCodecID id = st->codecpar->codec_id;
    if (id != AV_CODEC_ID_OPUS && id != AV_CODEC_ID_AAC && id != AV_CODEC_ID_AC3 && id != AV_CODEC_ID_EAC3 &&
        id != AV_CODEC_ID_MP3 && id != AV_CODEC_ID_MP2 && id != AV_CODEC_ID_FLAC)
        return -1;
    if (rate != st->codecpar->sample_rate)
        return -1;
    PacketWalk w{};
    walkStart(&w, st->codecpar);
    int64_t first = 0, start = 0, samples = 0, pts = 0, tail = 0, tailStart = AV_NOPTS_VALUE;
    bool ok = walkNext(s, &w, &first, &start) && w.raw > 0 && start != AV_NOPTS_VALUE;
    const int64_t raw = w.raw;
    const int64_t step = id == AV_CODEC_ID_OPUS ? 120 : raw;
    bool variable = w.variable;
    ok = ok && step * 1000 > 2 * int64_t(rate);
    walkEnd(&w);
    if (s->format->duration > 0) {
        const int64_t end = av_rescale_q(s->format->duration, AV_TIME_BASE_Q, st->time_base);
        ok = ok && av_seek_frame(s->format, s->stream, end, AVSEEK_FLAG_BACKWARD) >= 0;
    } else if (ok) {
        // A pipe wrote neither cues nor a duration: the head up to the first cluster, shown with
        // the last cluster after it, is a file whose packets are the last run.
        off_t head = 0, last = 0;
        ok = matroskaClusters(s->fd, s->size, &head, &last) && last > head;
        closeContext(s);
        s->spliceAt = head;
        s->spliceFrom = last;
        ok = ok && openContext(s) && s->format->streams[s->stream]->codecpar->codec_id == id;
        if (!ok) {
            closeContext(s);
            s->spliceAt = s->spliceFrom = 0;
            return -1;
        }
        st = s->format->streams[s->stream];
    }
    walkStart(&w, st->codecpar);
    w.first = false;
    while (ok && walkNext(s, &w, &samples, &pts)) {
        if (tailStart == AV_NOPTS_VALUE)
            tailStart = pts;
        ok = samples >= 0 && pts != AV_NOPTS_VALUE;
        tail += samples;
    }
    variable = variable || w.variable;
    walkEnd(&w);
    if (s->spliceAt != 0) {
        closeContext(s);
        s->spliceAt = s->spliceFrom = 0;
    }
    if (!ok || variable || tailStart == AV_NOPTS_VALUE || tailStart <= start)
        return -1;
    const double before = double(tailStart - start) * av_q2d(timeBase) * rate;
    const int64_t position = int64_t(before / double(step) + 0.5) * step;
    if (std::abs(double(position) - before) > rate / 1000.0 + 1)
        return -1;
    // What the first packet's side data and Opus's pre-skip leave out.
    const int64_t skipped = raw - first + (id == AV_CODEC_ID_OPUS ? delay : 0);
    return position + tail - skipped;
}

static const int adtsRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

// What a file delivers: `raw` frames in all from the family's reads, each run of one format in its
// own rate; `frames` the same counted at the first run's rate, with each run's where they change.
namespace {
struct Count {
    int64_t raw = -1;
    int64_t frames = -1;
    std::vector<int64_t> runs;
    bool estimated = false;
    bool walked = false;  // counted from the frames or index the file holds
};
}  // namespace

// Frame headers walked through a block of the file, read again only where a header leaves it.
// Where frames are far larger than the block, `span` is only what a header needs.
namespace {
struct HeaderWalk {
    int fd;
    size_t span = sizeof block;
    int64_t blockAt = -1;
    ssize_t held = 0;
    unsigned char block[64 * 1024];
};
}  // namespace

// The `need` bytes at `at`, or null where the file ends before them.
static const unsigned char* headerAt(HeaderWalk* walk, int64_t at, int need)
{
    if (at < walk->blockAt || at + need > walk->blockAt + walk->held) {
        walk->blockAt = at;
        walk->held = pread(walk->fd, walk->block, std::max(walk->span, size_t(need)), at);
        if (walk->held < need)
            return nullptr;
    }
    return walk->block + (at - walk->blockAt);
}

// Where the first frame starts: after an ID3v2 tag, as the demuxer reads it.
static int64_t afterId3(int fd)
{
    unsigned char h[id3v2HeaderBytes];
    return pread(fd, h, sizeof h, 0) == sizeof h ? id3v2Bytes(h, sizeof h) : 0;
}

// Frames counted header by header, a run of their own wherever the rate or channel count changes
// (files joined, a radio capture), each run counted at the first run's rate.
namespace {
struct RunTally {
    Count count;
    int firstRate = 0;
    int rate = 0;
    int channels = -1;
    int64_t run = 0;
};
}  // namespace

static void tallyEndRun(RunTally* t)
{
    const int64_t frames = t->rate > 0 ? av_rescale(t->run, t->firstRate, t->rate) : 0;
    t->count.frames = std::max<int64_t>(t->count.frames, 0) + frames;
    t->count.runs.push_back(frames);
    t->run = 0;
}

static void tallyAdd(RunTally* t, int rate, int channels, int64_t samples)
{
    if (t->rate == 0)
        t->firstRate = rate;
    else if (rate != t->rate || channels != t->channels)
        tallyEndRun(t);
    t->rate = rate;
    t->channels = channels;
    t->run += samples;
    t->count.raw = std::max<int64_t>(t->count.raw, 0) + samples;
}

static Count tallyEnd(RunTally* t)
{
    if (t->rate == 0)
        return t->count;
    tallyEndRun(t);
    if (t->count.runs.size() == 1)
        t->count.runs.clear();
    return t->count;
}

// ADTS: 1024 samples a raw data block, from each frame header; the file is walked header to header.
// `scale` is the decoder's rate over the header's (2 where SBR doubles it).
static Count countAdts(int fd, off_t size, int64_t start, int scale)
{
    HeaderWalk walk;
    walk.fd = fd;
    RunTally tally;
    for (int64_t at = start; at + 7 <= size;) {
        const unsigned char* h = headerAt(&walk, at, 7);
        if (!h)
            break;
        const int bytes = (h[3] & 3) << 11 | h[4] << 3 | h[5] >> 5;
        const int rateIndex = (h[2] >> 2) & 15;
        if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0 || bytes < 7 || rateIndex >= 13)
            break;
        tallyAdd(&tally, adtsRates[rateIndex] * scale, (h[2] & 1) << 2 | h[3] >> 6, 1024 * ((h[6] & 3) + 1) * scale);
        at += bytes;
    }
    return tallyEnd(&tally);
}

// WavPack: each block's header says its samples, counted once for a frame's blocks; a block the
// file does not hold whole is not read. The header's total is left out: a pipe writes none, files
// joined keep the first one's, and a file cut short holds less. Files joined play on while the format
// holds (the demuxer stops at another). DSD and a rate given in metadata are not counted here.
static Count countWavpack(int fd, off_t size, int64_t start)
{
    static const int rates[15] = {6000, 8000, 9600, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 64000, 88200, 96000, 192000};
    HeaderWalk walk;
    walk.fd = fd;
    RunTally tally;
    walk.span = 32;
    uint32_t frameSamples = 0;
    int frameChannels = 0;
    for (int64_t at = start; at + 32 <= size;) {
        const unsigned char* h = headerAt(&walk, at, 32);
        if (!h || std::memcmp(h, "wvpk", 4) != 0)
            break;
        const int64_t bytes = int64_t(le32(h + 4)) + 8;
        const int version = h[8] | h[9] << 8;
        const uint32_t samples = le32(h + 20);
        const uint32_t flags = le32(h + 24);
        if (bytes < 32 || at + bytes > size || version < 0x402 || version > 0x410)
            break;
        const int rateIndex = (flags >> 23) & 15;
        if (samples > 0 && ((flags & 0x80000000u) || rateIndex == 15))
            return Count{};
        // A frame's blocks run from the initial one to the final one, of one or two channels each.
        if (flags & 0x800) {
            frameSamples = samples;
            frameChannels = 0;
        }
        frameChannels += (flags & 4) ? 1 : 2;
        if ((flags & 0x1000) && frameSamples > 0) {
            // The demuxer reads no further than the first format.
            if (tally.rate != 0 && (rates[rateIndex] != tally.rate || frameChannels != tally.channels))
                break;
            tallyAdd(&tally, rates[rateIndex], frameChannels, frameSamples);
        }
        if (flags & 0x1000)
            frameSamples = 0;
        at += bytes;
    }
    return tallyEnd(&tally);
}

// AC3 and E-AC3: 1536 samples an AC3 frame, 256 a block of E-AC3's independent first substream.
static int64_t countAc3(int fd, off_t size, int64_t start)
{
    static const short kbps[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
    HeaderWalk walk;
    walk.fd = fd;
    int64_t at = start, samples = 0;
    while (at + 6 <= size) {
        const unsigned char* h = headerAt(&walk, at, 6);
        if (!h)
            break;
        if (h[0] != 0x0B || h[1] != 0x77)
            break;
        const int bsid = h[5] >> 3;
        const int fscod = h[4] >> 6;
        int64_t bytes = 0;
        if (bsid <= 10) {
            const int code = h[4] & 0x3F;
            if (fscod == 3 || code >= 38)
                break;
            const int rateKbps = kbps[code / 2];
            const int words = fscod == 0 ? rateKbps * 2 : fscod == 2 ? rateKbps * 3 : rateKbps * 96000 / 44100 + (code & 1);
            bytes = int64_t(words) * 2;
            samples += 1536;
        } else if (bsid <= 16) {
            bytes = (int64_t((h[2] & 7) << 8 | h[3]) + 1) * 2;
            const int streamType = h[2] >> 6;
            const int substream = (h[2] >> 3) & 7;
            static const int blocks[4] = {1, 2, 3, 6};
            if ((streamType == 0 || streamType == 2) && substream == 0)
                samples += 256 * (fscod == 3 ? 6 : blocks[(h[4] >> 4) & 3]);
        } else {
            break;
        }
        at += bytes;
    }
    return samples;
}


static bool isFormat(const AVFormatContext* format, const char* name)
{
    return av_match_list(format->iformat->name, name, ',') > 0;
}

// A file cut short of its own index (a download stopped, a copy to a full disk): the samples of the
// entries it holds whole, from where the presentation starts; -1 where it holds them all.
static int64_t countHeld(FfmpegState* s, int rate)
{
    AVStream* st = s->format->streams[s->stream];
    const int n = avformat_index_get_entries_count(st);
    auto ends = [&](int i) {
        const AVIndexEntry* e = avformat_index_get_entry(st, i);
        return e->pos + e->size;
    };
    if (n <= 0 || ends(n - 1) <= s->size)
        return -1;
    int held = 0;
    while (held < n && ends(held) <= s->size)
        ++held;
    const int64_t first = avformat_index_get_entry(st, 0)->timestamp;
    const int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : first;
    const int64_t cut = avformat_index_get_entry(st, held)->timestamp;
    return std::max<int64_t>(av_rescale_q(cut - origin, st->time_base, AVRational{1, rate}), 0);
}

// ALAC in CAF: each packet holds the frames of the ones before it in the index, but the last, whose
// own header may say it holds fewer. The packet table's count is the muxer's word: some write whole
// packets there. -1 where it is not such a file.
static int64_t countCafAlac(FfmpegState* s)
{
    AVStream* st = s->format->streams[s->stream];
    const int n = avformat_index_get_entries_count(st);
    if (!isFormat(s->format, "caf") || st->codecpar->codec_id != AV_CODEC_ID_ALAC || n < 2)
        return -1;
    const AVIndexEntry* first = avformat_index_get_entry(st, 0);
    const AVIndexEntry* second = avformat_index_get_entry(st, 1);
    const AVIndexEntry* last = avformat_index_get_entry(st, n - 1);
    // The index counts from the audio data, which starts after the data chunk's edit count.
    int64_t at = 8, data = -1;
    unsigned char h[12];
    for (int chunks = 0; chunks < 64 && data < 0 && pread(s->fd, h, sizeof h, at) == sizeof h; ++chunks) {
        int64_t bytes = 0;
        for (int i = 4; i < 12; ++i)
            bytes = bytes << 8 | h[i];
        if (std::memcmp(h, "data", 4) == 0)
            data = at + 12 + 4;
        else if (bytes < 0 || bytes > s->size)
            return -1;
        at += 12 + bytes;
    }
    if (data < 0 || pread(s->fd, h, 7, data + last->pos) != 7)
        return -1;
    // Element tag, instance, 12 unused bits, then the flag for a frame of its own size and that size.
    uint64_t bits = 0;
    for (int i = 0; i < 7; ++i)
        bits = bits << 8 | h[i];
    const bool sized = (bits >> 36) & 1;
    const int64_t lastFrames = sized ? int64_t((bits >> 1) & 0xFFFFFFFF) : second->timestamp - first->timestamp;
    return last->timestamp - first->timestamp + lastFrames;
}

// The exact length at the decoder's rate, by the cheapest means the container allows: the header's
// total where the demuxer has an exact one (MP4's sample table and edit list, Ogg's last granule,
// TTA's header, the module's own), held to what the file holds of its index; the block and frame
// headers of WavPack, raw ADTS and AC3; and the
// packets' own framing elsewhere (Matroska's timestamps are rounded to the millisecond); *moved
// where that read the packets, leaving the context at the end of the file.
static Count countFrames(FfmpegState* s, int rate, bool* moved)
{
    const AVStream* st = s->format->streams[s->stream];
    Count count;
    auto all = [&](int64_t frames) {
        count.raw = count.frames = frames;
        return count;
    };
    if (isFormat(s->format, "aac")) {
        unsigned char h[7];
        const int64_t start = afterId3(s->fd);
        if (pread(s->fd, h, sizeof h, start) != sizeof h || ((h[2] >> 2) & 15) >= 13)
            return count;
        count = countAdts(s->fd, s->size, start, rate == 2 * adtsRates[(h[2] >> 2) & 15] ? 2 : 1);
        count.walked = true;
        return count;
    }
    if (isFormat(s->format, "ac3,eac3")) {
        count.walked = true;
        return all(countAc3(s->fd, s->size, afterId3(s->fd)));
    }
    if (isFormat(s->format, "wv"))
        count = countWavpack(s->fd, s->size, afterId3(s->fd));
    if (count.raw > 0) {
        count.walked = true;
        return count;
    }
    if (!isFormat(s->format, "matroska,asf") && st->duration > 0 && st->duration != AV_NOPTS_VALUE) {
        const int64_t held = countHeld(s, rate);
        const int64_t alac = held < 0 ? countCafAlac(s) : -1;
        count.walked = avformat_index_get_entries_count(st) > 0;
        if (held >= 0 || alac >= 0)
            return all(held >= 0 ? held : alac);
        return all(av_rescale_q(st->duration, st->time_base, AVRational{1, rate}));
    }
    // The packets from the first: the context has decoded the first frame already.
    *moved = true;
    auto again = [&] {
        closeContext(s);
        return openContext(s);
    };
    if (!again())
        return count;
    const bool matroska = isFormat(s->format, "matroska");
    int64_t counted = matroska ? countMatroskaTail(s, rate) : -1;
    if (counted < 0 && matroska && !again())
        return count;
    if (counted < 0)
        counted = countPackets(s);
    count.walked = true;
    if (counted >= 0)
        return all(counted);
    count.walked = false;
    // What the header says, where the packets cannot be counted (WMA's bit reservoir, WMA Pro and
    // Lossless): an estimate, which the reads may pass, never cut to.
    count.estimated = true;
    const AVStream* reopened = s->format->streams[s->stream];
    if (reopened->duration > 0 && reopened->duration != AV_NOPTS_VALUE)
        return all(av_rescale_q(reopened->duration, reopened->time_base, AVRational{1, rate}));
    return all(s->format->duration > 0 ? av_rescale(s->format->duration, rate, AV_TIME_BASE) : -1);
}

static bool ffmpegOpen(Decoder* decoder, int fd)
{
    av_log_set_level(AV_LOG_QUIET);
    FfmpegState* s = new FfmpegState{};
    s->fd = fd;
    s->size = lseek(fd, 0, SEEK_END);
    s->packet = av_packet_alloc();
    s->frame = av_frame_alloc();
    auto fail = [&](const char* why) {
        closeContext(s);
        av_packet_free(&s->packet);
        av_frame_free(&s->frame);
        delete s;
        std::snprintf(decoder->error, sizeof decoder->error, "%s", why);
        return false;
    };
    if (s->size <= 0 || !s->packet || !s->frame || !openContext(s))
        return fail("Format not recognised.");
    // The first frame says what the stream is: a file of which nothing decodes is no music. It is
    // kept for the first read unless counting the packets moved on.
    if (!decodeNext(s))
        return fail("cannot decode the stream");
    const LinkFormat first = s->pendingFormat;
    bool moved = false;
    Count count = countFrames(s, first.rate, &moved);
    s->length = count.raw;
    s->estimated = count.estimated;
    s->walked = count.walked;
    if (s->length <= 0)
        return fail("a stream of unknown length");
    if (moved) {
        closeContext(s);
        if (!openContext(s))
            return fail("cannot decode the stream");
    }
    decoder->handle = s;
    decoder->rate = first.rate;
    decoder->channels = first.channels;
    std::copy(first.layout, first.layout + layoutChannelLimit, decoder->layout);
    decoder->length = {count.frames, !count.estimated};
    s->pendingFormat = first;
    return true;
}

static int64_t ffmpegRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* link)
{
    FfmpegState* s = static_cast<FfmpegState*>(decoder->handle);
    while (s->estimated || s->delivered < s->length) {
        if (s->pendingAt < s->pending.size()) {
            const int channels = s->pendingFormat.channels;
            const int64_t left = s->estimated ? INT64_MAX : s->length - s->delivered;
            const int64_t frames = std::min({samples / channels, int64_t(s->pending.size() - s->pendingAt) / channels, left});
            if (frames <= 0)
                return 0;
            std::memcpy(out, &s->pending[s->pendingAt], size_t(frames) * size_t(channels) * 2);
            s->pendingAt += size_t(frames) * size_t(channels);
            s->delivered += frames;
            *link = s->pendingFormat;
            return frames;
        }
        if (!decodeNext(s)) {
            // Frames the file holds that did not decode (damage, a decoder's edge) are made up with
            // silence, so that what is read meets the length. Where the length is a header's own,
            // only a little: the file may be cut short of it.
            const int64_t missing = s->length - s->delivered;
            if (missing <= 0 || (!s->walked && missing > decoder->rate / 10))
                return 0;
            const int channels = s->pendingFormat.channels;
            s->pending.assign(size_t(std::min<int64_t>(missing, 4096)) * size_t(channels), 0);
            s->pendingAt = 0;
        }
    }
    return 0;
}

static bool ffmpegToStart(Decoder* decoder)
{
    FfmpegState* s = static_cast<FfmpegState*>(decoder->handle);
    const LinkFormat first = s->pendingFormat;
    closeContext(s);
    s->delivered = 0;
    s->pendingFormat = first;
    return openContext(s);
}

static void ffmpegClose(Decoder* decoder)
{
    FfmpegState* s = static_cast<FfmpegState*>(decoder->handle);
    if (!s)
        return;
    closeContext(s);
    av_packet_free(&s->packet);
    av_frame_free(&s->frame);
    close(s->fd);
    delete s;
}

static const DecoderFamily ffmpegFamily = {"libavcodec", ffmpegOpen, ffmpegRead, ffmpegToStart, ffmpegClose};


extern "C" __attribute__((visibility("default"))) const DecoderFamily* quillvaneFfmpegFamily(size_t decoderSize, size_t linkSize)
{
    return decoderSize == sizeof(Decoder) && linkSize == sizeof(LinkFormat) ? &ffmpegFamily : nullptr;
}
