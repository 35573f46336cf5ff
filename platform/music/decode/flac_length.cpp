// The length of native FLAC from one bounded look at the file: the last whole frame's number,
// since STREAMINFO's total is 0 from a pipe and what an encode meant to write where it stopped early;
// for files joined with cat, the last frame of each, found in a bounded number of reads. Exact where
// the frames run from the first audio byte to the file's end; an estimate where its end is damaged.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/music/decode/flac.h"

namespace {

// The file's end, read once: enough for the largest frames of any stream, and a tag behind them.
constexpr off_t tailBytes = off_t(256) << 10;
// Reads the search for joined files may take, each of at most a few frames' bytes.
constexpr int joinReads = 96;

struct FlacFile {
    int fd;
    off_t size;
    FLAC__StreamMetadata_StreamInfo info;
};

struct FlacFrameHeader {
    bool variable;
    uint64_t number;  // the frame's number, or its first sample's where the block size varies
    uint32_t blockSize;
};

uint8_t crc8(const unsigned char* p, size_t n)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = uint8_t(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

const uint16_t* crc16Table()
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


// A frame header at `p` (at most `n` bytes there) that fits the stream and whose CRC-8 holds.
bool flacHeaderParse(const unsigned char* p, size_t n, const FLAC__StreamMetadata_StreamInfo& info, FlacFrameHeader* h)
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
    off_t end;
    FlacFrameHeader header;
};

// Whole frames that start in `b` (`n` bytes read from `base`), in order; the first only where asked.
// A frame found whole is stepped over: headers in its data are chance.
void flacWholeFrames(const FlacFile* s, const unsigned char* b, size_t n, off_t base, bool firstOnly,
                            std::vector<FlacWhole>* found)
{
    const off_t size = s->size;
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
                found->push_back({base + off_t(i), endAt, h});
                i = end - 1;
                break;
            }
        }
        if (firstOnly && !found->empty())
            return;
    }
}

// A frame of another file than `a`'s lies at or after `b`: its numbers do not go on from `a`'s.
bool flacNewFile(const FlacWhole& a, const FlacWhole& b)
{
    return a.header.variable != b.header.variable || b.header.number <= a.header.number;
}

// The samples of a file up to the end of its frame `f`; `before` is the frame in front of it, where
// known: a file's last frame may be short, so its number counts in the size of the others.
int64_t flacEndOf(const FlacFile* s, const FlacWhole& f, const FlacWhole* before)
{
    const FlacFrameHeader& h = f.header;
    if (h.variable)
        return int64_t(h.number + h.blockSize);
    const uint64_t nominal = before && !before->header.variable && before->header.number + 1 == h.number ? before->header.blockSize
                             : s->info.min_blocksize == s->info.max_blocksize                        ? s->info.max_blocksize
                                                                                                      : h.blockSize;
    return int64_t(h.number * nominal + h.blockSize);
}

// Bytes read at a time where the frames of a joined file are looked for: several frames of any
// stream, as STREAMINFO's largest frame says, or 64 KiB where it does not.
size_t flacProbeBytes(const FlacFile* s)
{
    return s->info.max_framesize > 0 ? std::clamp<size_t>(size_t(s->info.max_framesize) * 3 + 64, 16 << 10, 1 << 20) : 64 << 10;
}

// The first whole frame from `from` on, in one read; false where that read holds none.
bool flacFrameAfter(const FlacFile* s, off_t from, FlacWhole* frame, std::vector<unsigned char>& buffer)
{
    const ssize_t got = pread(s->fd, buffer.data(), buffer.size(), from);
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
off_t flacMostBytes(const FlacFile* s, const FlacWhole& p, const FlacWhole& q)
{
    const FLAC__StreamMetadata_StreamInfo& i = s->info;
    const uint64_t block = i.max_blocksize > 0 ? i.max_blocksize : 65535;
    const uint64_t frame = i.max_framesize > 0 ? i.max_framesize : block * i.channels * ((i.bits_per_sample + 7) / 8) + 16 + 8 * i.channels;
    const uint64_t frames = p.header.variable ? (q.header.number - p.header.number) / std::max<uint64_t>(1, i.min_blocksize)
                                              : q.header.number - p.header.number;
    return off_t(std::min<uint64_t>((frames + 1) * frame, uint64_t(1) << 50));
}

struct FlacJoinSearch {
    const FlacFile* s;
    size_t probe;
    int readsLeft;
    std::vector<unsigned char> buffer;
    int64_t earlier;  // samples of the files that end before the last
};

// The files that end between the whole frames `p` and `q`: none where q's number goes on from p's
// and the bytes between fit the frames between; otherwise halved until one read holds the frames
// between, whose numbers show where each file ends.
void flacJoinsBetween(FlacJoinSearch* j, const FlacWhole& p, const FlacWhole& q)
{
    const FlacFile* s = j->s;
    if (j->readsLeft <= 0 || (!flacNewFile(p, q) && q.at - p.at <= flacMostBytes(s, p, q)))
        return;
    if (q.at - p.at <= off_t(j->probe)) {
        // The frames from p to q in one read, and the one in front of p for its size.
        const off_t from = std::max<off_t>(0, p.at - off_t(j->probe / 2));
        j->buffer.resize(size_t(q.at - from) + j->probe);
        const ssize_t got = pread(s->fd, j->buffer.data(), j->buffer.size(), from);
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
int64_t flacEarlierFiles(const FlacFile* s, off_t audioStart, const FlacWhole& last, FlacWhole* first)
{
    constexpr int places = 64;
    FlacJoinSearch j{s, flacProbeBytes(s), joinReads, {}, 0};
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
    if (!points.empty())
        *first = points.front();
    points.push_back(last);
    for (size_t k = 1; k < points.size(); ++k)
        flacJoinsBetween(&j, points[k - 1], points[k]);
    return j.earlier;
}


} // namespace

DecoderLength flacProbe(int fd, int64_t audioStart, int64_t size, const FLAC__StreamMetadata_StreamInfo& info)
{
    const FlacFile file{fd, off_t(size), info};
    const DecoderLength stated{int64_t(info.total_samples), false};
    const off_t from = std::max(off_t(audioStart), off_t(size) - tailBytes);
    std::vector<unsigned char> tail(size_t(std::max<off_t>(0, off_t(size) - from)));
    if (tail.empty() || pread(fd, tail.data(), tail.size(), from) != ssize_t(tail.size()))
        return stated;
    std::vector<FlacWhole> found;
    flacWholeFrames(&file, tail.data(), tail.size(), from, false, &found);
    if (found.empty())
        return stated;
    const FlacWhole last = found.back();
    FlacWhole first{-1, -1, {}};
    const int64_t earlier = flacEarlierFiles(&file, off_t(audioStart), last, &first);
    const FlacWhole* before = found.size() > 1 ? &found[found.size() - 2] : nullptr;
    int64_t frames = earlier + flacEndOf(&file, last, before);
    // A stream that starts at a frame of its own, as a capture does, counts from that frame.
    const bool fromStart = first.at == off_t(audioStart) || (first.at < 0 && last.at == off_t(audioStart));
    const FlacWhole& start = first.at >= 0 ? first : last;
    if (fromStart && !start.header.variable)
        frames -= int64_t(start.header.number) * int64_t(start.header.blockSize);
    else if (fromStart)
        frames -= int64_t(start.header.number);
    const bool toEnd = last.end == off_t(size) || (last.end == off_t(size) - 128 && tail.size() >= 128 &&
                                                   std::memcmp(&tail[tail.size() - 128], "TAG", 3) == 0);
    return {std::max<int64_t>(0, frames), fromStart && toEnd};
}
