// AAC, ALAC, WMA, WavPack, AC3, TTA, Speex, FLAC and Opus in other containers, tracker modules:
// whatever the dedicated families do not recognise, through libavformat and libavcodec. Built as a
// module of its own, loaded only for such a file: the libraries pull in over a hundred others.
// It reads the one descriptor it is given through I/O of our own; no demuxer that would open another
// file, a socket or a device is allowed, and any attempt to open one is refused. Whatever the file
// claims, what the libraries may allocate and what a read may pass over are bounded.
#include <time.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/ac3_parser.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/music/decode/decoder.h"

// Demuxers that read one file of audio and nothing else; matched against each of a demuxer's names.
static const char* const formatWhitelist = "mov,matroska,asf,ogg,wv,tta,aac,ac3,eac3,libopenmpt,ape,mpc,mpc8,flac,caf";
static const char* const codecWhitelist =
    "aac,aac_fixed,alac,wmav1,wmav2,wmapro,wmalossless,opus,vorbis,flac,wavpack,ac3,ac3_fixed,eac3,"
    "tta,speex,ape,mpc7,mpc8,mp3float,mp3,mp2float,mp2,pcm_s16le,pcm_s16be,pcm_s24le,pcm_s24be,"
    "pcm_s32le,pcm_s32be,pcm_f32le,pcm_f32be,pcm_f64le,pcm_f64be,pcm_u8";
// Demuxers whose count of the stream's frames is the file's own and exact: MP4's sample tables and
// edit list, Ogg's last granule, the headers of TTA, Monkey's Audio and Musepack, CAF's packet table.
static const char* const countedFormats = "mov,ogg,tta,ape,mpc,mpc8,caf";

// Whatever a file claims: the most any one allocation of the libraries may take (a sample table of
// millions of entries, a module's whole file, a parser's buffer over a run of zeros), and the bytes
// the demuxer may read without giving a packet (zeros, a hole, damage) before the file is taken to
// end there.
constexpr size_t allocationLimit = 4 << 20;
constexpr int64_t barrenLimit = 1 << 20;
// The walk at open, where the file states no exact count: this much audio, bytes and packets at
// most, which this machine decodes in about 15 ms; the time only guards against content far slower
// to decode. Beyond, the length is an estimate. Its bytes pass a run the demuxer ends the file in.
constexpr int64_t walkSeconds = 15;
constexpr int64_t walkBytes = 2 << 20;
constexpr int64_t walkPackets = 20000;
constexpr int64_t walkNs = 40'000'000;

namespace {
struct FfmpegState {
    int fd = -1;
    off_t size = 0;
    off_t position = 0;
    int64_t bytesRead = 0;  // by the demuxer, from the open on
    const char* refusal = nullptr;  // why a file the demuxer recognised is not played
    int64_t packets = 0;    // it gave, from the open on
    int64_t packetAt = -1;  // bytesRead at the last packet; -1 while the open reads the headers
    bool barren = false;    // the file ended for the demuxer there, until the next return to the start
    int64_t packetEnd = 0;  // where in the file the last packet ends
    AVIOContext* io = nullptr;
    AVFormatContext* format = nullptr;
    const AVCodec* decoder = nullptr;
    AVCodecParameters* params = nullptr;  // the stream's, as the headers gave them
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;
    // The stream's first packet, where the start is sought and found again.
    bool started = false;
    int64_t startPos = -1;
    int64_t startTs = AV_NOPTS_VALUE;
    uint64_t startPrint = 0;
    int64_t endPts = AV_NOPTS_VALUE;   // where the container's presentation ends (an MP4's edit list)
    bool demuxed = false, drained = false;
    bool held = false;  // s->packet is the stream's next, read to find the start again
    SwrContext* swr = nullptr;
    int swrRate = 0;
    int swrFormat = -1;
    AVChannelLayout swrLayout{};
    std::vector<int16_t> pending;  // one decoded frame as interleaved 16-bit samples
    size_t pendingAt = 0;
    LinkFormat pendingFormat{};
};
}  // namespace

// The one owner of what the libraries hold for a file: every way out of an open, and the close.
static void stateFree(FfmpegState* s)
{
    avcodec_free_context(&s->codec);
    avcodec_parameters_free(&s->params);
    avformat_close_input(&s->format);
    if (s->io)
        av_freep(&s->io->buffer);
    avio_context_free(&s->io);
    swr_free(&s->swr);
    av_channel_layout_uninit(&s->swrLayout);
    av_packet_free(&s->packet);
    av_frame_free(&s->frame);
    delete s;
}

using OwnedState = std::unique_ptr<FfmpegState, decltype(&stateFree)>;

static int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

static int readPacket(void* opaque, uint8_t* out, int bytes)
{
    FfmpegState* s = static_cast<FfmpegState*>(opaque);
    // Once said, the end holds: the parsers make packets of what they held, which are no sign of
    // more, and libavformat reads on after an end.
    s->barren = s->barren || (s->packetAt >= 0 && s->bytesRead - s->packetAt > barrenLimit);
    if (s->barren)
        return AVERROR_EOF;
    const ssize_t got = pread(s->fd, out, size_t(bytes), s->position);
    if (got <= 0)
        return got == 0 ? AVERROR_EOF : AVERROR(EIO);
    s->position += got;
    s->bytesRead += got;
    return int(got);
}

static int64_t seekTo(void* opaque, int64_t offset, int whence)
{
    FfmpegState* s = static_cast<FfmpegState*>(opaque);
    if (whence & AVSEEK_SIZE)
        return s->size;
    whence &= ~AVSEEK_FORCE;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
        return -1;
    const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->position : s->size;
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

static bool isFormat(const AVFormatContext* format, const char* names)
{
    return av_match_list(format->iformat->name, names, ',') > 0;
}

// A decoder as at the first open: the state a flush leaves behind is not (Opus's pre-skip is then
// played), nor are the stream's parameters, which the demuxer's parser fills in as it reads (a
// damaged frame then decodes at the rate of the frames after it). So every pass from the start
// decodes as the first did.
static bool openDecoder(FfmpegState* s)
{
    const AVStream* st = s->format->streams[s->stream];
    avcodec_free_context(&s->codec);
    if (!s->params && (!(s->params = avcodec_parameters_alloc()) || avcodec_parameters_copy(s->params, st->codecpar) < 0))
        return false;
    s->codec = avcodec_alloc_context3(s->decoder);
    if (!s->codec || avcodec_parameters_to_context(s->codec, s->params) < 0)
        return false;
    s->codec->thread_count = 1;
    s->codec->pkt_timebase = st->time_base;
    s->codec->codec_whitelist = av_strdup(codecWhitelist);
    return s->codec->codec_whitelist && avcodec_open2(s->codec, s->decoder, nullptr) == 0;
}

// The demuxer on the file, and the first audio stream whose decoder the whitelist allows, opened.
static bool openContext(FfmpegState* s)
{
    constexpr int ioBlock = 32 * 1024;
    unsigned char* buffer = static_cast<unsigned char*>(av_malloc(ioBlock));
    if (!buffer)
        return false;
    s->io = avio_alloc_context(buffer, ioBlock, 0, s, readPacket, nullptr, seekTo);
    if (!s->io) {
        av_free(buffer);
        return false;
    }
    s->format = avformat_alloc_context();
    if (!s->format)
        return false;
    AVFormatContext* f = s->format;
    f->pb = s->io;
    f->flags |= AVFMT_FLAG_CUSTOM_IO;
    f->io_open = refuseOpen;
    // A list that is null allows everything: one that cannot be copied fails the open.
    f->format_whitelist = av_strdup(formatWhitelist);
    f->codec_whitelist = av_strdup(codecWhitelist);
    f->protocol_whitelist = av_strdup("none");
    if (!f->format_whitelist || !f->codec_whitelist || !f->protocol_whitelist)
        return false;
    // What the probe may read, and how many streams a header may make: each may hold tables up to
    // the allocation limit. No stream is analysed by reading on (avformat_find_stream_info reads
    // until it has packets, through any run of zeros): the headers name the codecs, and the first
    // decoded frame says the rest.
    f->format_probesize = 1 << 20;
    f->max_streams = 8;
    // On failure it frees the context and clears the pointer. A table or a whole module read past
    // the allocation limit fails it for memory: the format was recognised, and the reason is the
    // module's own.
    if (const int error = avformat_open_input(&s->format, nullptr, nullptr, nullptr); error < 0) {
        if (error == AVERROR(ENOMEM))
            s->refusal = "it needs more memory than this player takes";
        return false;
    }
    const AVCodec* decoder = nullptr;
    for (unsigned i = 0; i < s->format->nb_streams && !decoder; ++i) {
        const AVCodecParameters* par = s->format->streams[i]->codecpar;
        const AVCodec* codec = par->codec_type == AVMEDIA_TYPE_AUDIO ? avcodec_find_decoder(par->codec_id) : nullptr;
        if (codec && av_match_list(codec->name, codecWhitelist, ',') > 0) {
            decoder = codec;
            s->stream = int(i);
        }
    }
    if (!decoder) {
        s->refusal = "no audio stream in it that this player decodes";
        return false;
    }
    // From here on the bytes read without a packet are bounded. The other streams' packets are read
    // and dropped: each shows that the demuxer still finds some.
    s->packetAt = s->bytesRead;
    const AVStream* st = s->format->streams[s->stream];
    if (isFormat(s->format, "mov") && st->duration > 0 && st->start_time != AV_NOPTS_VALUE)
        s->endPts = st->start_time + st->duration;
    s->decoder = decoder;
    return openDecoder(s);
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

// Samples of the decoded frame in s->frame that the stream plays: all of them but where the
// container's presentation ends inside it; 0 for a frame whose format cannot be music.
static int keptSamples(const FfmpegState* s)
{
    const AVFrame* f = s->frame;
    const int channels = f->ch_layout.nb_channels;
    if (f->nb_samples <= 0 || channels < 1 || channels > decoderChannelMax || f->sample_rate < decoderRateMin ||
        f->sample_rate > decoderRateMax)
        return 0;
    if (s->endPts == AV_NOPTS_VALUE || f->pts == AV_NOPTS_VALUE)
        return f->nb_samples;
    const AVRational timeBase = s->format->streams[s->stream]->time_base;
    const int64_t left = av_rescale_q(s->endPts - f->pts, timeBase, AVRational{1, f->sample_rate});
    return int(std::clamp<int64_t>(left, 0, f->nb_samples));
}

// HACK: FFmpeg 5.1's AC3 decoder takes more than 16 bytes after a frame for a dependent frame and,
// where they are none, drops the frame with them; the raw demuxer hands over the last frame together
// with whatever follows it (an ID3v1 tag, zeros). The packet is held to the whole frames it starts
// with, by libavcodec's own header parser.
static void holdToFrames(AVPacket* p)
{
    int at = 0;
    uint8_t bitstream = 0;
    uint16_t bytes = 0;
    while (at < p->size && av_ac3_parse_header(p->data + at, size_t(p->size - at), &bitstream, &bytes) == 0 && bytes > 0 &&
           bytes <= p->size - at)
        at += bytes;
    if (at > 0)
        p->size = at;
}

// The demuxer's next packet of the stream into s->packet; false at its end. Packets of other streams
// are dropped; a damaged one is passed over.
static bool nextPacket(FfmpegState* s)
{
    for (int errors = 0; errors <= 64;) {
        const int read = av_read_frame(s->format, s->packet);
        if (read < 0) {
            if (read == AVERROR_EOF || read == AVERROR(EIO) || avio_feof(s->format->pb))
                return false;
            ++errors;
            continue;
        }
        s->packetAt = s->bytesRead;
        ++s->packets;
        s->packetEnd = s->packet->pos >= 0 ? s->packet->pos + s->packet->size : s->position;
        if (s->packet->stream_index == s->stream)
            return true;
        av_packet_unref(s->packet);
    }
    return false;
}

// What tells a packet from another: where it lies, its time and its bytes.
static uint64_t packetPrint(const AVPacket* p)
{
    uint64_t print = 1469598103934665603ull;
    auto add = [&](uint64_t value) { print = (print ^ value) * 1099511628211ull; };
    add(uint64_t(p->pos));
    add(uint64_t(p->dts != AV_NOPTS_VALUE ? p->dts : p->pts));
    add(uint64_t(p->size));
    for (int i = 0; i < p->size; ++i)
        add(p->data[i]);
    return print;
}

// The next decoded frame the stream plays, into s->frame; false at the end. A packet the decoder
// refuses is passed over, so that damage costs only what it hit.
static bool nextFrame(FfmpegState* s)
{
    const bool ac3 = s->codec->codec_id == AV_CODEC_ID_AC3 || s->codec->codec_id == AV_CODEC_ID_EAC3;
    for (int errors = 0; errors < 1000;) {
        av_frame_unref(s->frame);
        const int received = avcodec_receive_frame(s->codec, s->frame);
        if (received == 0) {
            if (keptSamples(s) > 0)
                return true;
            continue;
        }
        if (received == AVERROR_EOF || s->drained)
            return false;
        if (received != AVERROR(EAGAIN))
            ++errors;
        if (!s->held && (s->demuxed || !nextPacket(s))) {
            s->demuxed = s->drained = true;
            avcodec_send_packet(s->codec, nullptr);
            continue;
        }
        s->held = false;
        if (!s->started) {
            s->started = true;
            s->startPos = s->packet->pos;
            s->startTs = s->packet->dts != AV_NOPTS_VALUE ? s->packet->dts : s->packet->pts;
            s->startPrint = packetPrint(s->packet);
        }
        if (ac3)
            holdToFrames(s->packet);
        if (avcodec_send_packet(s->codec, s->packet) < 0)
            ++errors;
        av_packet_unref(s->packet);
    }
    return false;
}

// The frame in s->frame as interleaved 16-bit samples in `pending`; nothing where it cannot be
// converted, so that it is passed over.
static void convertFrame(FfmpegState* s)
{
    AVFrame* f = s->frame;
    s->pending.clear();
    s->pendingAt = 0;
    const int samples = keptSamples(s);
    const int channels = f->ch_layout.nb_channels;
    if (!s->swr || s->swrRate != f->sample_rate || s->swrFormat != f->format ||
        av_channel_layout_compare(&s->swrLayout, &f->ch_layout) != 0) {
        swr_free(&s->swr);
        av_channel_layout_uninit(&s->swrLayout);
        if (swr_alloc_set_opts2(&s->swr, &f->ch_layout, AV_SAMPLE_FMT_S16, f->sample_rate, &f->ch_layout,
                                AVSampleFormat(f->format), f->sample_rate, 0, nullptr) < 0 ||
            swr_init(s->swr) < 0 || av_channel_layout_copy(&s->swrLayout, &f->ch_layout) < 0) {
            swr_free(&s->swr);
            return;
        }
        s->swrRate = f->sample_rate;
        s->swrFormat = f->format;
    }
    s->pending.resize(size_t(samples) * size_t(channels));
    uint8_t* out = reinterpret_cast<uint8_t*>(s->pending.data());
    const int made = swr_convert(s->swr, &out, samples, const_cast<const uint8_t**>(f->extended_data), samples);
    s->pending.resize(size_t(std::max(made, 0)) * size_t(channels));
    s->pendingFormat.rate = f->sample_rate;
    s->pendingFormat.channels = channels;
    layoutOf(&f->ch_layout, channels, s->pendingFormat.layout);
}

// Back to the stream's first packet, the decoder as at the open: the reads from here give what the
// reads from the open gave. False where the demuxer does not give that packet again: a damaged file
// can send a seek elsewhere, and a module damaged in its order plays otherwise after one.
static bool backToStart(FfmpegState* s)
{
    av_frame_unref(s->frame);
    s->pending.clear();
    s->pendingAt = 0;
    s->demuxed = s->drained = s->held = s->barren = false;
    s->packetAt = s->bytesRead;
    // By its time where it has one; raw ADTS, whose rate no header states, gives none: by its place.
    const int sought = s->startTs != AV_NOPTS_VALUE ? av_seek_frame(s->format, s->stream, s->startTs, AVSEEK_FLAG_BACKWARD)
                                                    : av_seek_frame(s->format, s->stream, s->startPos, AVSEEK_FLAG_BYTE);
    if (!s->started || sought < 0 || !openDecoder(s) || !nextPacket(s))
        return false;
    s->held = packetPrint(s->packet) == s->startPrint;
    if (!s->held)
        av_packet_unref(s->packet);
    return s->held;
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

// CAF: the packet table counts the last packet whole, as some muxers write it, where that packet's
// own header may say it holds fewer (ALAC). The last packet is decoded to know. -1 where it cannot be.
static int64_t countCaf(FfmpegState* s, int rate)
{
    AVStream* st = s->format->streams[s->stream];
    const int n = avformat_index_get_entries_count(st);
    if (n < 1)
        return -1;
    const int64_t first = avformat_index_get_entry(st, 0)->timestamp;
    const int64_t last = avformat_index_get_entry(st, n - 1)->timestamp;
    s->demuxed = s->drained = s->held = s->barren = false;
    s->packetAt = s->bytesRead;
    if (av_seek_frame(s->format, s->stream, last, AVSEEK_FLAG_BACKWARD) < 0 || !openDecoder(s))
        return -1;
    int64_t samples = 0;
    while (nextFrame(s))
        samples += keptSamples(s);
    if (samples <= 0)
        return -1;
    return av_rescale_q(last - first, st->time_base, AVRational{1, rate}) + samples;
}

// The stream decoded from its start as the reads decode it, after the same return to the start: its
// frames counted at `rate`, each run of one format at another rate as many as it makes at `rate`,
// which is exact only where that is a whole number (the conversion resamples each such run on its
// own and rounds the rest its own way: *whole is false). -1 where it goes beyond the walk's bounds;
// *counted and *read are then the frames counted and the bytes of the file they took.
static int64_t walk(FfmpegState* s, int rate, int64_t* counted, int64_t* read, bool* whole)
{
    const int64_t startNs = nowNs(), startBytes = s->bytesRead, startPackets = s->packets;
    const int64_t startPos = std::max<int64_t>(s->startPos, 0);
    int64_t total = 0, run = 0, heardUs = 0;
    int runRate = rate, runChannels = 0;
    uint64_t runMask = 0;
    *whole = true;
    while (nextFrame(s)) {
        const int samples = keptSamples(s);
        const AVChannelLayout* layout = &s->frame->ch_layout;
        const uint64_t mask = layout->order == AV_CHANNEL_ORDER_NATIVE ? layout->u.mask : 0;
        if (s->frame->sample_rate != runRate || layout->nb_channels != runChannels || mask != runMask) {
            total += av_rescale(run, rate, runRate);
            *whole = *whole && run * rate % runRate == 0;
            run = 0;
            runRate = s->frame->sample_rate;
            runChannels = layout->nb_channels;
            runMask = mask;
        }
        run += samples;
        heardUs += av_rescale(samples, 1'000'000, runRate);
        *counted = total + av_rescale(run, rate, runRate);
        *read = s->packetEnd - startPos;
        if (heardUs > walkSeconds * 1'000'000 || s->bytesRead - startBytes > walkBytes ||
            s->packets - startPackets > walkPackets || nowNs() - startNs > walkNs)
            return -1;
    }
    *whole = *whole && run * rate % runRate == 0;
    return *counted;
}

// The length at `rate` by one bounded step from the start: a walk of the stream decoded as
// the reads decode it, where the file is small enough or states no exact count; else the container's
// own count, held to what a file cut short holds; else libavformat's estimate, or the walked frames
// scaled to the file's bytes.
static DecoderLength probeLength(FfmpegState* s, int rate)
{
    const AVStream* st = s->format->streams[s->stream];
    const bool counted = isFormat(s->format, countedFormats) && st->duration > 0;
    int64_t frames = 0, read = 0;
    bool whole = false;
    if ((!counted || s->size <= walkBytes) && walk(s, rate, &frames, &read, &whole) >= 0)
        return DecoderLength{frames, whole};
    if (counted) {
        const int64_t held = countHeld(s, rate);
        const int64_t caf = held < 0 && isFormat(s->format, "caf") ? countCaf(s, rate) : -1;
        if (held >= 0 || caf >= 0)
            return DecoderLength{held >= 0 ? held : caf, true};
        // Ogg's granules count the samples the decoder drops at the start (Opus's pre-skip).
        const int64_t dropped = isFormat(s->format, "ogg") ? s->codec->delay : 0;
        return DecoderLength{av_rescale_q(st->duration, st->time_base, AVRational{1, rate}) - dropped, true};
    }
    if (s->format->duration > 0)
        return DecoderLength{av_rescale(s->format->duration, rate, AV_TIME_BASE), false};
    const int64_t start = std::max<int64_t>(s->startPos, 0);
    return DecoderLength{av_rescale(frames, s->size - start, std::max<int64_t>(read, 1)), false};
}

static bool fail(Decoder* decoder, const char* why)
{
    std::snprintf(decoder->error, sizeof decoder->error, "%s", why);
    return false;
}

static bool ffmpegOpen(Decoder* decoder, int fd)
{
    av_log_set_level(AV_LOG_QUIET);
    av_max_alloc(allocationLimit);
    OwnedState s(new FfmpegState{}, stateFree);
    s->fd = fd;
    s->size = lseek(fd, 0, SEEK_END);
    s->packet = av_packet_alloc();
    s->frame = av_frame_alloc();
    // Where the module does not recognise the file, it says nothing: the first family's reason stands.
    if (s->size <= 0 || !s->packet || !s->frame || !openContext(s.get()))
        return fail(decoder, s->refusal ? s->refusal : "");
    // The first frame says what the stream is: a file of which nothing decodes is no music.
    if (!nextFrame(s.get())) {
        // The MP4 demuxer drops a sample table it cannot allocate and goes on with none.
        const AVStream* st = s->format->streams[s->stream];
        const bool unindexed = isFormat(s->format, "mov") && st->nb_frames > 0 && avformat_index_get_entries_count(st) == 0;
        return fail(decoder, unindexed ? "its index is larger than this player takes" : "cannot decode the stream");
    }
    const AVFrame* first = s->frame;
    decoder->rate = first->sample_rate;
    decoder->channels = first->ch_layout.nb_channels;
    layoutOf(&first->ch_layout, decoder->channels, decoder->layout);
    // A damaged file can read otherwise from the start than after a return to it: the walk and
    // every pass of the reads start from one.
    if (!backToStart(s.get()))
        return fail(decoder, "cannot go back to the start of the stream");
    decoder->length = probeLength(s.get(), decoder->rate);
    if (decoder->length.frames <= 0)
        return fail(decoder, "a stream of unknown length");
    if (!backToStart(s.get()))
        return fail(decoder, "cannot go back to the start of the stream");
    decoder->handle = s.release();
    return true;
}

// What decodes, in the order it decodes, until the demuxer ends: no count cuts or pads it.
static int64_t ffmpegRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* link)
{
    FfmpegState* s = static_cast<FfmpegState*>(decoder->handle);
    while (s->pendingAt >= s->pending.size()) {
        if (!nextFrame(s))
            return 0;
        convertFrame(s);  // a frame that cannot be converted is passed over
    }
    const int channels = s->pendingFormat.channels;
    const int64_t frames = std::min(samples / channels, int64_t(s->pending.size() - s->pendingAt) / channels);
    if (frames <= 0)
        return 0;
    std::memcpy(out, &s->pending[s->pendingAt], size_t(frames) * size_t(channels) * 2);
    s->pendingAt += size_t(frames) * size_t(channels);
    *link = s->pendingFormat;
    return frames;
}

static bool ffmpegToStart(Decoder* decoder)
{
    return backToStart(static_cast<FfmpegState*>(decoder->handle));
}

static void ffmpegClose(Decoder* decoder)
{
    FfmpegState* s = static_cast<FfmpegState*>(decoder->handle);
    if (!s)
        return;
    close(s->fd);
    stateFree(s);
}

static const DecoderFamily ffmpegFamily = {"libavcodec", ffmpegOpen, ffmpegRead, ffmpegToStart, ffmpegClose};

// The family, to a program built with the same records: a module of another build declines.
extern "C" __attribute__((visibility("default"))) const DecoderFamily* quillvaneFfmpegModule(const char* build)
{
    return std::strcmp(build, QUILLVANE_DECODER_BUILD) == 0 ? &ffmpegFamily : nullptr;
}
