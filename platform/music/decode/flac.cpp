// Native FLAC through libFLAC: its length counted from the file's last frame, not taken from
// STREAMINFO (a pipe writes 0 there, an encode that stopped early keeps what it meant to write), and
// for files joined with cat, from the last frame of each; damage passed over frame by frame.
#include <FLAC/stream_decoder.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/music/decode/decoder.h"

struct FlacState {
    FLAC__StreamDecoder* flac;
    FileWindow window;
    bool haveInfo;
    FLAC__StreamMetadata_StreamInfo info;
    uint32_t channelMask;  // from WAVEFORMATEXTENSIBLE_CHANNEL_MASK; 0 where the file has none
    std::vector<int16_t> pending;  // the last frame decoded, interleaved
    size_t pendingAt;
    int pendingChannels;
    // Frames lost to damage, heard as silence before the frame after them, so that what follows
    // keeps its time and the count from the last frame holds.
    uint64_t nextSample;
    uint64_t silence;
    int64_t length;
    int64_t delivered;  // frames read since the start
    unsigned char buffer[64 * 1024];
};

static FLAC__StreamDecoderReadStatus flacRead(const FLAC__StreamDecoder*, FLAC__byte out[], size_t* bytes, void* data)
{
    FlacState* s = static_cast<FlacState*>(data);
    const ssize_t got = fileWindowRead(&s->window, out, *bytes);
    *bytes = got > 0 ? size_t(got) : 0;
    return *bytes > 0 ? FLAC__STREAM_DECODER_READ_STATUS_CONTINUE : FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

static FLAC__StreamDecoderSeekStatus flacSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* data)
{
    FileWindow& w = static_cast<FlacState*>(data)->window;
    return seekWithin(&w.position, w.size, int64_t(offset), SEEK_SET) < 0 ? FLAC__STREAM_DECODER_SEEK_STATUS_ERROR
                                                                           : FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

static FLAC__StreamDecoderTellStatus flacTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* data)
{
    *offset = FLAC__uint64(static_cast<FlacState*>(data)->window.position);
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

static FLAC__StreamDecoderLengthStatus flacLength(const FLAC__StreamDecoder*, FLAC__uint64* length, void* data)
{
    *length = FLAC__uint64(static_cast<FlacState*>(data)->window.size);
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

static FLAC__bool flacEof(const FLAC__StreamDecoder*, void* data)
{
    const FileWindow& w = static_cast<FlacState*>(data)->window;
    return w.position >= w.size;
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
    if (first > s->nextSample && int64_t(first) <= s->length) {
        const uint64_t gap = first - s->nextSample;
        if (at == 0)
            s->silence = gap;
        else if (gap <= 65536)
            s->pending.insert(s->pending.begin() + long(at), size_t(gap) * size_t(count), int16_t(0));
    }
    s->nextSample = std::max(s->nextSample, first + frames);
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

static uint8_t crc8(const unsigned char* p, size_t n)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = uint8_t(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

static const uint16_t* crc16Table()
{
    static uint16_t table[256];
    static const bool made = [] {
        for (int i = 0; i < 256; ++i) {
            uint16_t crc = uint16_t(i << 8);
            for (int b = 0; b < 8; ++b)
                crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1);
            table[i] = crc;
        }
        return true;
    }();
    (void)made;
    return table;
}

struct FlacFrameHeader {
    bool variable;
    uint64_t number;  // the frame's number, or its first sample's where the block size varies
    uint32_t blockSize;
};

// A frame header at `p` (at most `n` bytes there) that fits the stream and whose CRC-8 holds.
static bool flacHeaderParse(const unsigned char* p, size_t n, const FLAC__StreamMetadata_StreamInfo& info, FlacFrameHeader* h)
{
    static const uint32_t rates[12] = {0, 88200, 176400, 192000, 8000, 16000, 22050, 24000, 32000, 44100, 48000, 96000};
    static const uint32_t depths[8] = {0, 8, 12, 0, 16, 20, 24, 32};
    if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8)
        return false;
    const int sizeCode = p[2] >> 4, rateCode = p[2] & 15;
    const int assignment = p[3] >> 4, depthCode = (p[3] >> 1) & 7;
    if (sizeCode == 0 || rateCode == 15 || assignment > 10 || depthCode == 3 || (p[3] & 1))
        return false;
    if ((assignment < 8 ? assignment + 1 : 2) != int(info.channels))
        return false;
    if (depthCode != 0 && depths[depthCode] != info.bits_per_sample)
        return false;
    if (rateCode >= 1 && rateCode <= 11 && rates[rateCode] != info.sample_rate)
        return false;
    size_t at = 4;
    // The number, coded as UTF-8 is, to 36 bits.
    int extra = 0;
    uint64_t number = p[at];
    if (p[at] < 0x80) {
    } else if ((p[at] & 0xE0) == 0xC0) { extra = 1; number &= 0x1F; }
    else if ((p[at] & 0xF0) == 0xE0) { extra = 2; number &= 0x0F; }
    else if ((p[at] & 0xF8) == 0xF0) { extra = 3; number &= 0x07; }
    else if ((p[at] & 0xFC) == 0xF8) { extra = 4; number &= 0x03; }
    else if ((p[at] & 0xFE) == 0xFC) { extra = 5; number &= 0x01; }
    else if (p[at] == 0xFE && (p[1] & 1)) { extra = 6; number = 0; }
    else return false;
    ++at;
    if (at + size_t(extra) + 4 > n)
        return false;
    for (int i = 0; i < extra; ++i, ++at) {
        if ((p[at] & 0xC0) != 0x80)
            return false;
        number = number << 6 | (p[at] & 0x3F);
    }
    uint32_t blockSize = 0;
    if (sizeCode == 1) blockSize = 192;
    else if (sizeCode <= 5) blockSize = 576u << (sizeCode - 2);
    else if (sizeCode == 6) blockSize = uint32_t(p[at++]) + 1;
    else if (sizeCode == 7) { blockSize = (uint32_t(p[at]) << 8 | p[at + 1]) + 1; at += 2; }
    else blockSize = 256u << (sizeCode - 8);
    if (rateCode == 12) at += 1;
    else if (rateCode == 13 || rateCode == 14) at += 2;
    if (at + 1 > n || crc8(p, at) != p[at])
        return false;
    *h = FlacFrameHeader{(p[1] & 1) != 0, number, blockSize};
    return true;
}

// A frame whose CRC-16 holds from its header to where the next thing starts: another header, the
// `fLaC` of a file joined after it, a tag, or the end of the file.
struct FlacWhole {
    off_t at;
    FlacFrameHeader header;
};

// Whole frames that start in `b` (`n` bytes read from `base`), in order; the first only where asked.
// A frame found whole is stepped over: headers in its data are chance.
static void flacWholeFrames(const FlacState* s, const unsigned char* b, size_t n, off_t base, bool firstOnly,
                            std::vector<FlacWhole>* found)
{
    const off_t size = s->window.size;
    const uint16_t* table = crc16Table();
    for (size_t i = 0; i + 1 < n; ++i) {
        FlacFrameHeader h{};
        if (b[i] != 0xFF || !flacHeaderParse(b + i, n - i, s->info, &h))
            continue;
        uint16_t crc = 0;
        for (size_t j = i; j < n; ++j) {
            crc = uint16_t(crc << 8) ^ table[(crc >> 8) ^ b[j]];
            const size_t end = j + 1;
            if (crc != 0 || end - i <= 8)
                continue;
            const off_t endAt = base + off_t(end);
            const size_t rest = n - end;
            FlacFrameHeader next{};
            if (endAt == size || (rest >= 4 && std::memcmp(b + end, "fLaC", 4) == 0) ||
                (rest >= 3 && std::memcmp(b + end, "ID3", 3) == 0) ||
                (endAt == size - 128 && rest >= 3 && std::memcmp(b + end, "TAG", 3) == 0) ||
                (b[end] == 0xFF && flacHeaderParse(b + end, rest, s->info, &next))) {
                found->push_back({base + off_t(i), h});
                i = end - 1;
                break;
            }
        }
        if (firstOnly && !found->empty())
            return;
    }
}

// A frame of another file than `a`'s lies at or after `b`: its numbers do not go on from `a`'s.
static bool flacNewFile(const FlacWhole& a, const FlacWhole& b)
{
    return a.header.variable != b.header.variable || b.header.number <= a.header.number;
}

// The samples of a file up to the end of its frame `f`; `before` is the frame in front of it, where
// known: a file's last frame may be short, so its number counts in the size of the others.
static int64_t flacEndOf(const FlacState* s, const FlacWhole& f, const FlacWhole* before)
{
    const FlacFrameHeader& h = f.header;
    if (h.variable)
        return int64_t(h.number + h.blockSize);
    const uint64_t nominal = before && !before->header.variable && before->header.number + 1 == h.number ? before->header.blockSize
                             : s->info.min_blocksize == s->info.max_blocksize                        ? s->info.max_blocksize
                                                                                                      : h.blockSize;
    return int64_t(h.number * nominal + h.blockSize);
}

// The file's last whole frame, and the count at its end, from the last 256 KiB or, failing that, the
// last 4 MiB. A count of -1 where the tail holds none.
static int64_t flacCountFromEnd(FlacState* s, off_t audioStart, FlacWhole* last)
{
    const off_t size = s->window.size;
    for (off_t span : {off_t(256) << 10, off_t(4) << 20}) {
        const off_t from = std::max(audioStart, size - span);
        std::vector<unsigned char> tail(size_t(size - from));
        if (tail.empty() || pread(s->window.fd, tail.data(), tail.size(), s->window.base + from) != ssize_t(tail.size()))
            return -1;
        std::vector<FlacWhole> found;
        flacWholeFrames(s, tail.data(), tail.size(), from, false, &found);
        if (!found.empty()) {
            *last = found.back();
            return flacEndOf(s, found.back(), found.size() > 1 ? &found[found.size() - 2] : nullptr);
        }
        if (from == audioStart)
            break;
    }
    return -1;
}

// Bytes read at a time where the frames of a joined file are looked for: several frames of any
// stream, as STREAMINFO's largest frame says, or 64 KiB where it does not.
static size_t flacProbeBytes(const FlacState* s)
{
    return s->info.max_framesize > 0 ? std::clamp<size_t>(size_t(s->info.max_framesize) * 3 + 64, 16 << 10, 1 << 20) : 64 << 10;
}

// The first whole frame from `from` on, in one read; false where that read holds none.
static bool flacFrameAfter(const FlacState* s, off_t from, FlacWhole* frame, std::vector<unsigned char>& buffer)
{
    const ssize_t got = pread(s->window.fd, buffer.data(), buffer.size(), s->window.base + from);
    std::vector<FlacWhole> found;
    if (got > 0)
        flacWholeFrames(s, buffer.data(), size_t(got), from, true, &found);
    if (found.empty())
        return false;
    *frame = found.front();
    return true;
}

// The most bytes the frames from `p` up to `q` may take in one file: STREAMINFO's largest frame, or
// where a pipe left it out, a frame stored verbatim, for each frame between them.
static off_t flacMostBytes(const FlacState* s, const FlacWhole& p, const FlacWhole& q)
{
    const FLAC__StreamMetadata_StreamInfo& i = s->info;
    const uint64_t block = i.max_blocksize > 0 ? i.max_blocksize : 65535;
    const uint64_t frame = i.max_framesize > 0 ? i.max_framesize : block * i.channels * ((i.bits_per_sample + 7) / 8) + 16 + 8 * i.channels;
    const uint64_t frames = p.header.variable ? (q.header.number - p.header.number) / std::max<uint64_t>(1, i.min_blocksize)
                                              : q.header.number - p.header.number;
    return off_t(std::min<uint64_t>((frames + 1) * frame, uint64_t(1) << 50));
}

struct FlacJoinSearch {
    const FlacState* s;
    size_t probe;
    int readsLeft;
    std::vector<unsigned char> buffer;
    int64_t earlier;  // samples of the files that end before the last
};

// The files that end between the whole frames `p` and `q`: none where q's number goes on from p's
// and the bytes between fit the frames between; otherwise halved until one read holds the frames
// between, whose numbers show where each file ends.
static void flacJoinsBetween(FlacJoinSearch* j, const FlacWhole& p, const FlacWhole& q)
{
    const FlacState* s = j->s;
    if (j->readsLeft <= 0 || (!flacNewFile(p, q) && q.at - p.at <= flacMostBytes(s, p, q)))
        return;
    if (q.at - p.at <= off_t(j->probe)) {
        // The frames from p to q in one read, and the one in front of p for its size.
        const off_t from = std::max<off_t>(0, p.at - off_t(j->probe / 2));
        j->buffer.resize(size_t(q.at - from) + j->probe);
        const ssize_t got = pread(s->window.fd, j->buffer.data(), j->buffer.size(), s->window.base + from);
        --j->readsLeft;
        std::vector<FlacWhole> chain;
        if (got > 0)
            flacWholeFrames(s, j->buffer.data(), size_t(got), from, false, &chain);
        while (!chain.empty() && chain.back().at >= q.at)
            chain.pop_back();
        chain.push_back(q);
        for (size_t k = 0; k + 1 < chain.size(); ++k)
            if (chain[k].at >= p.at && flacNewFile(chain[k], chain[k + 1]))
                j->earlier += flacEndOf(s, chain[k], k > 0 && !flacNewFile(chain[k - 1], chain[k]) ? &chain[k - 1] : nullptr);
        return;
    }
    // A frame between them; past metadata or damage where the middle holds none.
    j->buffer.resize(j->probe);
    for (off_t at = p.at + (q.at - p.at) / 2; at < q.at && j->readsLeft > 0; at += off_t(j->probe) - 16) {
        FlacWhole f{};
        --j->readsLeft;
        if (flacFrameAfter(s, at, &f, j->buffer)) {
            if (f.at >= q.at)
                break;
            flacJoinsBetween(j, p, f);
            flacJoinsBetween(j, f, q);
            return;
        }
    }
    // No frame from the middle to q: the frames between lie in the first half.
    FlacWhole mid = q;
    mid.at = p.at + (q.at - p.at) / 2;
    flacJoinsBetween(j, p, mid);
}

// Files joined with `cat` before the last one: their samples, each counted at its own last frame,
// since each file's frames count from 0 again. Whole frames found at evenly spread places, and
// between any two whose numbers fall back or whose bytes are more than their frames can hold,
// halving to within one read. In a bounded number of reads.
static int64_t flacEarlierFiles(const FlacState* s, off_t audioStart, const FlacWhole& last)
{
    constexpr int places = 64;
    FlacJoinSearch j{s, flacProbeBytes(s), 256, {}, 0};
    j.buffer.reserve(j.probe * 3);
    j.buffer.resize(j.probe);
    const off_t span = last.at - audioStart;
    std::vector<FlacWhole> points;
    for (int k = 0; k < places && span > 0; ++k) {
        FlacWhole f{};
        const off_t at = audioStart + off_t(span * k / places);
        if (points.empty() || at > points.back().at) {
            --j.readsLeft;
            if (flacFrameAfter(s, at, &f, j.buffer) && f.at < last.at && (points.empty() || f.at > points.back().at))
                points.push_back(f);
        }
    }
    points.push_back(last);
    for (size_t k = 1; k < points.size(); ++k)
        flacJoinsBetween(&j, points[k - 1], points[k]);
    return j.earlier;
}

static bool flacToStart(Decoder* decoder);

static void flacFree(FlacState* s)
{
    if (s->flac)
        FLAC__stream_decoder_delete(s->flac);
    delete s;
}

static bool flacOpen(Decoder* decoder, int fd)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return decoderFail(decoder, "cannot read the file");
    FlacState* s = new FlacState{};
    fileWindowStart(&s->window, fd, 0, st.st_size, s->buffer, sizeof s->buffer);
    s->flac = FLAC__stream_decoder_new();
    // Asked for before the start, as libFLAC takes it: the comments hold the channel mask.
    if (s->flac)
        FLAC__stream_decoder_set_metadata_respond(s->flac, FLAC__METADATA_TYPE_VORBIS_COMMENT);
    if (!s->flac || FLAC__stream_decoder_init_stream(s->flac, flacRead, flacSeek, flacTell, flacLength, flacEof,
                                                     flacWrite, flacMetadata, flacError, s) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        flacFree(s);
        return decoderFail(decoder, "cannot start the FLAC decoder");
    }
    FLAC__uint64 audioStart = 0;
    if (!FLAC__stream_decoder_process_until_end_of_metadata(s->flac) || !s->haveInfo ||
        !FLAC__stream_decoder_get_decode_position(s->flac, &audioStart)) {
        flacFree(s);
        return decoderFail(decoder, "not a readable FLAC stream");
    }
    // The file wins over its header: the header's total only where the file's end holds no whole
    // frame, and only when a frame is found at its start.
    FlacWhole last{};
    int64_t frames = flacCountFromEnd(s, off_t(audioStart), &last);
    // Files joined with cat: each counts from 0 again, the last frame gives the last file's count.
    if (frames >= 0)
        frames += flacEarlierFiles(s, off_t(audioStart), last);
    if (frames < 0) {
        unsigned char head[64 * 1024];
        const ssize_t got = pread(fd, head, sizeof head, off_t(audioStart));
        bool found = false;
        for (ssize_t i = 0; i + 16 <= got && !found; ++i) {
            FlacFrameHeader h{};
            found = head[i] == 0xFF && flacHeaderParse(head + i, size_t(got - i), s->info, &h);
        }
        if (!found || s->info.total_samples == 0) {
            flacFree(s);
            return decoderFail(decoder, "no audio in it decodes");
        }
        frames = int64_t(s->info.total_samples);
    }
    s->length = frames;
    // A file of which nothing decodes is refused rather than played as silence to its count; a
    // search of a few MiB of damage for the first frame is enough to tell.
    constexpr off_t probeBytes = off_t(4) << 20;
    while (s->pending.empty() && s->window.position < off_t(audioStart) + probeBytes &&
           FLAC__stream_decoder_get_state(s->flac) != FLAC__STREAM_DECODER_END_OF_STREAM &&
           FLAC__stream_decoder_process_single(s->flac)) {
    }
    const bool decodes = !s->pending.empty() || s->window.position >= off_t(audioStart) + probeBytes;
    decoder->handle = s;
    if (!decodes || !flacToStart(decoder)) {
        decoder->handle = nullptr;
        flacFree(s);
        return decoderFail(decoder, "no audio in it decodes");
    }
    decoder->rate = int(s->info.sample_rate);
    decoder->channels = int(s->info.channels);
    decoder->frames = frames;
    flacLayout(s, decoder->channels, decoder->layout);
    return true;
}

static int64_t flacReadFrames(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* link)
{
    FlacState* s = static_cast<FlacState*>(decoder->handle);
    link->rate = decoder->rate;
    link->channels = decoder->channels;
    std::copy(decoder->layout, decoder->layout + layoutChannelLimit, link->layout);
    const size_t channels = size_t(decoder->channels);
    while (s->pendingAt >= s->pending.size() && s->silence == 0) {
        // Damage at the end that the count from the last frame passed over: silence to the count.
        // What a join of two files delivers beyond the count is kept: it is music.
        if (FLAC__stream_decoder_get_state(s->flac) == FLAC__STREAM_DECODER_END_OF_STREAM ||
            !FLAC__stream_decoder_process_single(s->flac)) {
            if (s->delivered >= s->length)
                return 0;
            s->silence = uint64_t(s->length - s->delivered);
            break;
        }
        // A frame of another channel count is damage the CRC missed: left out.
        if (s->pendingChannels != decoder->channels)
            s->pendingAt = s->pending.size();
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
    s->delivered += int64_t(frames);
    return int64_t(frames);
}

static bool flacToStart(Decoder* decoder)
{
    FlacState* s = static_cast<FlacState*>(decoder->handle);
    s->pending.clear();
    s->pendingAt = 0;
    s->nextSample = s->silence = 0;
    s->delivered = 0;
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
