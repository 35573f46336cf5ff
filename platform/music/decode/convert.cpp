// What the decoding thread reads: every link of a file in the stream's one format. A link whose rate
// or channels differ from the first is mixed to the stream's speakers and resampled with libsoxr,
// whose filter is flushed at the link's end; the stream ends where the family's reads end.
#include "platform/music/decode/convert.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "platform/music/decode/decoder.h"

void layoutVorbis(Speaker* layout, int channels)
{
    static const Speaker orders[layoutChannelLimit][layoutChannelLimit] = {
        {speakerMono},
        {speakerFrontLeft, speakerFrontRight},
        {speakerFrontLeft, speakerFrontCenter, speakerFrontRight},
        {speakerFrontLeft, speakerFrontRight, speakerRearLeft, speakerRearRight},
        {speakerFrontLeft, speakerFrontCenter, speakerFrontRight, speakerRearLeft, speakerRearRight},
        {speakerFrontLeft, speakerFrontCenter, speakerFrontRight, speakerRearLeft, speakerRearRight, speakerLfe},
        {speakerFrontLeft, speakerFrontCenter, speakerFrontRight, speakerSideLeft, speakerSideRight,
         speakerRearCenter, speakerLfe},
        {speakerFrontLeft, speakerFrontCenter, speakerFrontRight, speakerSideLeft, speakerSideRight,
         speakerRearLeft, speakerRearRight, speakerLfe},
    };
    if (channels >= 1 && channels <= layoutChannelLimit)
        std::copy(orders[channels - 1], orders[channels - 1] + layoutChannelLimit, layout);
    else
        layoutWav(layout, channels);
}

int64_t framesAtRate(int64_t frames, int from, int to)
{
    if (from == to)
        return frames;
    if (from < decoderRateMin || from > decoderRateMax)
        return 0;  // a link that cannot be music is left out
    return int64_t((__int128(frames) * to + from / 2) / from);
}

bool layoutFromMask(Speaker* layout, int channels, uint64_t mask)
{
    mask &= (uint64_t{1} << maskSpeakerBits) - 1;
    if (channels > layoutChannelLimit || __builtin_popcountll(mask) != channels)
        return false;
    int c = 0;
    for (int bit = 0; bit < maskSpeakerBits; ++bit)
        if (mask & (uint64_t{1} << bit))
            layout[c++] = maskSpeakers[bit];
    return true;
}

// Where a speaker the output lacks is heard instead, best first; each entry a set of one or two.
// Heights, wides and the rest go to the speakers under or beside them, never to the LFE.
constexpr int foldSetsMax = 5;
static int foldTargets(Speaker s, Speaker sets[foldSetsMax][2])
{
    int count = 0;
    auto set = [&](Speaker a, Speaker b) {
        sets[count][0] = a;
        sets[count][1] = b;
        ++count;
    };
    auto one = [&](Speaker a) { set(a, a); };
    // Left and right speakers are folded alike: `left` picks the side of each pair.
    bool left = true;
    switch (s) {
    case speakerFrontRight: case speakerFrontRightOfCenter: case speakerRearRight: case speakerSideRight:
    case speakerTopFrontRight: case speakerTopRearRight: case speakerTopSideRight: case speakerWideRight:
    case speakerSurroundDirectRight: case speakerBottomFrontRight:
        left = false;
        break;
    default:
        break;
    }
    const Speaker front = left ? speakerFrontLeft : speakerFrontRight;
    const Speaker rear = left ? speakerRearLeft : speakerRearRight;
    const Speaker side = left ? speakerSideLeft : speakerSideRight;
    switch (s) {
    case speakerMono:
    case speakerFrontCenter:
    case speakerBottomFrontCenter:
    case speakerUnknown:
        set(speakerFrontLeft, speakerFrontRight);
        one(speakerFrontCenter);
        break;
    case speakerTopFrontCenter:
        set(speakerTopFrontLeft, speakerTopFrontRight);
        one(speakerFrontCenter);
        set(speakerFrontLeft, speakerFrontRight);
        break;
    case speakerTopCenter:
        set(speakerTopFrontLeft, speakerTopFrontRight);
        set(speakerFrontLeft, speakerFrontRight);
        one(speakerFrontCenter);
        break;
    case speakerRearCenter:
    case speakerTopRearCenter:
        if (s == speakerTopRearCenter)
            one(speakerRearCenter);
        set(speakerRearLeft, speakerRearRight);
        set(speakerSideLeft, speakerSideRight);
        set(speakerFrontLeft, speakerFrontRight);
        break;
    case speakerFrontLeft: case speakerFrontRight:
    case speakerFrontLeftOfCenter: case speakerFrontRightOfCenter:
    case speakerTopFrontLeft: case speakerTopFrontRight:
    case speakerWideLeft: case speakerWideRight:
    case speakerBottomFrontLeft: case speakerBottomFrontRight:
        one(front);
        one(speakerFrontCenter);
        break;
    case speakerRearLeft: case speakerRearRight:
    case speakerTopRearLeft: case speakerTopRearRight:
        one(rear);
        one(side);
        one(front);
        break;
    case speakerSideLeft: case speakerSideRight:
    case speakerTopSideLeft: case speakerTopSideRight:
    case speakerSurroundDirectLeft: case speakerSurroundDirectRight:
        one(side);
        one(rear);
        one(front);
        break;
    case speakerLfe2:
        one(speakerLfe);
        return count;
    default:  // the LFE is left out where there is no subwoofer, as players do
        return 0;
    }
    one(speakerMono);
    return count;
}

// Above or below the ear: a layer over the speaker it lands on, not that speaker.
static bool offEarLevel(Speaker s)
{
    return (s >= speakerTopCenter && s <= speakerTopSideRight) ||
           (s >= speakerBottomFrontLeft && s <= speakerBottomFrontRight);
}

void channelMixPlan(ChannelMix* mix, const Speaker* in, int inChannels, const Speaker* out, int outChannels)
{
    *mix = ChannelMix{};
    mix->inChannels = inChannels;
    mix->outChannels = outChannels;
    auto find = [&](Speaker s) {
        for (int o = 0; o < outChannels; ++o)
            if (out[o] == s)
                return o;
        return -1;
    };
    for (int i = 0; i < inChannels; ++i) {
        const int same = find(in[i]);
        if (same >= 0) {
            mix->gain[same][i] += 1.0f;
            continue;
        }
        Speaker sets[foldSetsMax][2];
        const int count = foldTargets(in[i], sets);
        for (int k = 0; k < count; ++k) {
            const int a = find(sets[k][0]), b = find(sets[k][1]);
            if (a < 0 || b < 0)
                continue;
            // A mono source keeps its loudness on both sides; anything else is shared out. A height
            // is 3 dB down on the speaker under it, as a surround folded into a front is.
            const float g = in[i] == speakerMono ? 1.0f : (a != b || offEarLevel(in[i])) ? 0.7071f : 1.0f;
            mix->gain[a][i] += g;
            if (b != a)
                mix->gain[b][i] += g;
            break;
        }
    }
    for (int o = 0; o < outChannels; ++o) {
        float sum = 0;
        for (int i = 0; i < inChannels; ++i)
            sum += mix->gain[o][i];
        if (sum > 1.0f)
            for (int i = 0; i < inChannels; ++i)
                mix->gain[o][i] /= sum;
    }
    mix->identity = inChannels == outChannels;
    for (int o = 0; o < outChannels && mix->identity; ++o)
        for (int i = 0; i < inChannels; ++i)
            if (mix->gain[o][i] != (o == i ? 1.0f : 0.0f))
                mix->identity = false;
}

int streamLayout(const Speaker* file, int channels, Speaker* out)
{
    int n = 0;
    auto add = [&](Speaker s) {
        if (std::find(out, out + n, s) == out + n)
            out[n++] = s;
    };
    for (int c = 0; c < channels; ++c)
        if (file[c] < speakerFirstUnplayable)
            add(file[c]);
    // A channel whose nearest speakers are all missing brings the nearest in.
    for (int c = 0; c < channels; ++c) {
        if (file[c] < speakerFirstUnplayable || file[c] == speakerUnknown)
            continue;
        Speaker sets[foldSetsMax][2];
        const int count = foldTargets(file[c], sets);
        bool found = false;
        for (int k = 0; k < count && !found; ++k)
            found = std::find(out, out + n, sets[k][0]) != out + n && std::find(out, out + n, sets[k][1]) != out + n;
        if (!found && count > 0) {
            add(sets[0][0]);
            add(sets[0][1]);
        }
    }
    if (n == 0) {
        layoutWav(out, 2);
        n = 2;
    }
    return n;
}

void channelMixApply(const ChannelMix* mix, const int16_t* in, int16_t* out, int64_t frames)
{
    if (mix->identity) {
        if (in != out)
            std::memmove(out, in, size_t(frames) * size_t(mix->inChannels) * 2);
        return;
    }
    for (int64_t f = 0; f < frames; ++f) {
        int16_t frame[layoutChannelLimit];
        std::copy(in + f * mix->inChannels, in + (f + 1) * mix->inChannels, frame);
        for (int o = 0; o < mix->outChannels; ++o) {
            float sum = 0;
            for (int i = 0; i < mix->inChannels; ++i)
                sum += mix->gain[o][i] * frame[i];
            out[f * mix->outChannels + o] = int16_t(std::clamp(std::lround(sum), -32768l, 32767l));
        }
    }
}

// Each side the average of its channels, so that nothing clips.
void mixToStereo(const int16_t* in, int inChannels, int16_t* out, int64_t frames)
{
    for (int64_t f = 0; f < frames; ++f) {
        const int16_t* frame = in + f * inChannels;
        int32_t sum[2] = {0, 0};
        for (int c = 0; c < inChannels; ++c)
            sum[c & 1] += frame[c];
        out[f * 2] = int16_t(sum[0] / ((inChannels + 1) / 2));
        out[f * 2 + 1] = int16_t(sum[1] / (inChannels / 2));
    }
}

// Frames a family reads at once, and what is handed on at once: bounded whatever a link's rate,
// since every piece fed to the resampler is small enough that its output fits.
constexpr int rawSamples = 4096;
constexpr int pendingFrames = 2048;

enum ConvertPhase : uint8_t {
    convertAtStart,   // no link yet: the first read starts one
    convertInLink,    // reads of the link are converted as they come
    convertFlushing,  // the link's reads are over: the resampler gives what it still holds
    convertEnded,     // the family said the stream ended, and all of it has been handed on
};

struct ConvertState {
    // Left as they come, not zeroed: each is written before it is read.
    std::unique_ptr<int16_t[]> raw;      // a read of the family, in its link's format
    std::unique_ptr<int16_t[]> mixed;    // the same frames at the stream's channels
    std::unique_ptr<int16_t[]> pending;  // converted, not yet handed on
    int64_t mixedFrames, mixedAt;
    int64_t pendingCount, pendingAt;
    ConvertPhase phase;
    // A read of the next link, kept in `raw` while this one's resampler is flushed; 0 when the
    // flush is for the stream's end.
    int64_t heldFrames;
    LinkFormat held;
    LinkFormat link;
    soxr_t resampler;
    soxr_t spare;
    int spareRate;
    ChannelMix mix;
};

static bool usable(const LinkFormat& f)
{
    return f.rate >= decoderRateMin && f.rate <= decoderRateMax && f.channels >= 1 && f.channels <= decoderChannelMax;
}

static bool sameFormat(const LinkFormat& a, const LinkFormat& b)
{
    return a.rate == b.rate && a.channels == b.channels &&
           std::equal(a.layout, a.layout + std::min(a.channels, layoutChannelLimit), b.layout);
}

// A resampler is kept for the next link of the same rate, or the same link after a restart: making
// one designs its filter, which costs more than a link of a few frames.
static void endLink(ConvertState* c)
{
    if (c->resampler) {
        if (c->spare)
            soxr_delete(c->spare);
        c->spare = c->resampler;
        c->spareRate = c->link.rate;
    }
    c->resampler = nullptr;
}

static void resetConvert(ConvertState* c)
{
    endLink(c);
    c->mixedFrames = c->mixedAt = c->pendingCount = c->pendingAt = c->heldFrames = 0;
    c->phase = convertAtStart;
}

static void startLink(Decoder* d, ConvertState* c, const LinkFormat& f)
{
    ConvertState& s = *c;
    s.phase = convertInLink;
    s.link = f;
    if (!usable(f))
        return;
    if (f.channels <= layoutChannelLimit && d->channels <= layoutChannelLimit)
        channelMixPlan(&s.mix, f.layout, f.channels, d->outLayout, d->outChannels);
    else if (f.channels <= layoutChannelLimit) {
        // A stream of many channels is heard as stereo; a link of few goes to its two.
        static const Speaker stereo[2] = {speakerFrontLeft, speakerFrontRight};
        channelMixPlan(&s.mix, f.layout, f.channels, stereo, 2);
    } else {
        // Many channels go to stereo first, then to the stream's speakers.
        static const Speaker stereo[2] = {speakerFrontLeft, speakerFrontRight};
        channelMixPlan(&s.mix, stereo, 2, d->outLayout, d->outChannels);
    }
    if (f.rate != d->rate && c->spare && c->spareRate == f.rate && soxr_clear(c->spare) == nullptr) {
        s.resampler = c->spare;
        c->spare = nullptr;
    } else if (f.rate != d->rate) {
        soxr_error_t error = nullptr;
        // No dither: its noise is seeded from the clock, and a second play must be the first again.
        soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
        io.flags |= SOXR_NO_DITHER;
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        s.resampler = soxr_create(f.rate, d->rate, unsigned(d->outChannels), &error, &io, &quality, nullptr);
        if (error)
            s.resampler = nullptr;
    }
}

// The frames of a read at the stream's channels, in `mixed`.
static void mixRead(Decoder* d, ConvertState* c, int64_t frames)
{
    c->mixedAt = 0;
    c->mixedFrames = usable(c->link) ? frames : 0;
    if (c->mixedFrames == 0)
        return;
    const int16_t* in = c->raw.get();
    if (c->link.channels > layoutChannelLimit) {
        mixToStereo(in, c->link.channels, c->raw.get(), frames);
        if (d->channels > layoutChannelLimit) {
            std::memcpy(c->mixed.get(), c->raw.get(), size_t(frames) * 4);
            return;
        }
    }
    channelMixApply(&c->mix, in, c->mixed.get(), frames);
}

static void emit(ConvertState* c, int64_t frames)
{
    c->pendingAt = 0;
    c->pendingCount = frames;
}

// The link's reads are over, for the next link's read in `raw` (heldFrames) or for the end.
static void finishLink(Decoder* d, ConvertState* c)
{
    if (c->resampler) {
        c->phase = convertFlushing;
        return;
    }
    endLink(c);
    if (c->heldFrames == 0) {
        c->phase = convertEnded;
        return;
    }
    startLink(d, c, c->held);
    mixRead(d, c, c->heldFrames);
    c->heldFrames = 0;
}

// One step: converted frames into `pending`, or a change of phase.
static void convertStep(Decoder* d, ConvertState* c)
{
    const int channels = d->outChannels;
    if (c->mixedAt < c->mixedFrames) {
        int64_t left = c->mixedFrames - c->mixedAt;
        const int16_t* in = &c->mixed[size_t(c->mixedAt) * size_t(channels)];
        if (!c->resampler) {
            const int64_t take = std::min<int64_t>(left, pendingFrames);
            std::memcpy(c->pending.get(), in, size_t(take) * size_t(channels) * 2);
            c->mixedAt += take;
            emit(c, take);
            return;
        }
        // Small enough a piece that what comes out of it fits.
        const int64_t piece = std::max<int64_t>(1, std::min<int64_t>(left, int64_t(pendingFrames / 2) * c->link.rate / d->rate));
        size_t used = 0, made = 0;
        soxr_process(c->resampler, in, size_t(piece), &used, c->pending.get(), pendingFrames, &made);
        // Nothing taken and nothing made cannot happen; were it to, the piece is dropped, not looped on.
        c->mixedAt += used > 0 || made > 0 ? int64_t(used) : piece;
        emit(c, int64_t(made));
        return;
    }
    if (c->phase == convertEnded)
        return;
    if (c->phase == convertFlushing) {
        size_t made = 0;
        soxr_process(c->resampler, nullptr, 0, nullptr, c->pending.get(), pendingFrames, &made);
        emit(c, int64_t(made));
        if (made > 0)
            return;
        endLink(c);
        finishLink(d, c);
        return;
    }
    LinkFormat f{};
    const int64_t got = d->family->read(d, c->raw.get(), rawSamples, &f);
    if (got > 0)
        allowanceTake(&d->allowance, got * f.channels * 2);
    if (got <= 0) {
        c->heldFrames = 0;
        if (c->phase == convertAtStart)
            c->phase = convertEnded;
        else
            finishLink(d, c);
        return;
    }
    if (c->phase == convertInLink && !sameFormat(f, c->link)) {
        // The read waits in `raw` until this link is done; reads wait meanwhile.
        c->held = f;
        c->heldFrames = got;
        finishLink(d, c);
        return;
    }
    if (c->phase == convertAtStart)
        startLink(d, c, f);
    mixRead(d, c, got);
}

int64_t decoderRead(Decoder* d, int16_t* out, int64_t frames)
{
    ConvertState* c = d->convert;
    const size_t frameSamples = size_t(d->outChannels);
    int64_t done = 0;
    while (done < frames) {
        if (c->pendingAt < c->pendingCount) {
            const int64_t take = std::min(frames - done, c->pendingCount - c->pendingAt);
            std::memcpy(out + size_t(done) * frameSamples, &c->pending[size_t(c->pendingAt) * frameSamples],
                        size_t(take) * frameSamples * 2);
            c->pendingAt += take;
            done += take;
            continue;
        }
        if (c->phase == convertEnded && c->mixedAt >= c->mixedFrames)
            break;
        convertStep(d, c);
    }
    return done;
}

bool decoderToStart(Decoder* d)
{
    resetConvert(d->convert);
    return d->family->toStart(d);
}

void convertOpen(Decoder* d)
{
    ConvertState* c = new ConvertState{};
    c->raw.reset(new int16_t[rawSamples]);
    c->mixed.reset(new int16_t[size_t(rawSamples) * size_t(d->outChannels)]);
    c->pending.reset(new int16_t[size_t(pendingFrames) * size_t(d->outChannels)]);
    resetConvert(c);
    d->convert = c;
}

void convertClose(Decoder* d)
{
    if (!d->convert)
        return;
    endLink(d->convert);
    if (d->convert->spare)
        soxr_delete(d->convert->spare);
    delete d->convert;
    d->convert = nullptr;
}
