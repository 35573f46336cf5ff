// The length of MPEG audio, from one bounded look: the Info tag where the frames agree with it, a
// walk of the frame headers where the file is small enough to walk to its end, and an estimate from
// the bytes the walk left where it is not.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/music/decode/bytes.h"
#include "platform/music/decode/mpeg.h"

namespace {

// About an hour of frames; beyond, the walk would delay the start.
constexpr int64_t walkFrameLimit = 150000;
constexpr int64_t walkByteLimit = int64_t(256) << 20;
// Damage is searched a frame pair at a time, no further than libmpg123 resyncs, and no more than
// this in all.
constexpr int64_t resyncBytes = 64 * 1024;
constexpr int64_t searchByteLimit = int64_t(4) << 20;
constexpr size_t blockBytes = 128 * 1024;
// What may follow the bytes an Info tag counts in a file of its own: an ID3v1 or APE tag.
constexpr int64_t tagSlack = 4096;

// The Xing or Info tag in the first frame: the frames and bytes of the file it was written for.
struct MpegTag {
    bool present;
    int64_t frames;  // -1 where the tag leaves it out
    int64_t bytes;
};

// HACK: libmpg123 1.31 takes a Layer III frame for the tag only where "Xing" or "Info" starts
// right after the side information and the bytes before it, but for the first two, are zero;
// anything else it decodes as audio, so it is no tag here either.
MpegTag readTag(int fd, int64_t frameAt)
{
    unsigned char b[64];
    MpegTag tag{false, -1, -1};
    if (pread(fd, b, sizeof b, frameAt) != ssize_t(sizeof b) || ((b[1] >> 1) & 3) != 1)
        return tag;
    const bool mpeg1 = ((b[1] >> 3) & 3) == 3, mono = (b[3] >> 6) == 3;
    const int sideBytes = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    const unsigned char* x = b + 4 + sideBytes;
    if (std::any_of(static_cast<const unsigned char*>(b) + 6, x, [](unsigned char v) { return v != 0; }) ||
        (std::memcmp(x, "Xing", 4) != 0 && std::memcmp(x, "Info", 4) != 0))
        return tag;
    const uint32_t flags = be32(x + 4);
    const unsigned char* field = x + 8;
    tag.present = true;
    if (flags & 1) {
        tag.frames = be32(field);
        field += 4;
    }
    if (flags & 2)
        tag.bytes = be32(field);
    return tag;
}

// Frame headers read through a block of the file, so that a header costs no system call.
struct Reader {
    int fd;
    int64_t blockAt;
    ssize_t blockBytes;
    unsigned char* block;
};

bool headerAt(Reader* r, int64_t at, unsigned char* h, size_t n)
{
    if (at < r->blockAt || at + int64_t(n) > r->blockAt + r->blockBytes) {
        r->blockAt = at;
        r->blockBytes = pread(r->fd, r->block, blockBytes, at);
        if (r->blockBytes < ssize_t(n))
            return false;
    }
    std::memcpy(h, r->block + (at - r->blockAt), n);
    return true;
}

} // namespace

MpegProbe mpegProbe(int fd, int64_t start, int64_t size)
{
    MpegProbe probe{{0, false}, 0, false};
    unsigned char h[id3v2HeaderBytes];
    int64_t at = start;
    if (pread(fd, h, sizeof h, start) == sizeof h)
        at += id3v2Bytes(h, sizeof h);
    const int64_t firstAt = mpegFindFramePair(fd, at, resyncBytes);
    if (firstAt < 0)
        return probe;
    std::unique_ptr<unsigned char[]> block(new unsigned char[blockBytes]);
    Reader reader{fd, 0, 0, block.get()};
    // Samples at the first frame's rate, run by run of one rate.
    int firstRate = 0, runRate = 0;
    int64_t total = 0, runSamples = 0, runBytes = 0, frames = 0, searched = 0;
    // Bytes before the first frame pair may hold a frame libmpg123 takes, or its Info tag.
    bool oneRate = true, clean = firstAt == at, complete = false;
    int64_t firstSamples = 0;
    const MpegTag tag = readTag(fd, firstAt);
    // Layer III frames take data from the frames before them; libmpg123 drops one whose frames
    // before do not hold it, as at the start of a cut file.
    int64_t reservoir = 0;
    at = firstAt;
    const int64_t end = size;
    while (frames < walkFrameLimit && at - firstAt < walkByteLimit) {
        if (at == end) {
            complete = true;
            break;
        }
        MpegFrame frame{};
        if (at + 4 > end || !headerAt(&reader, at, h, 4) || !mpegFrameParse(h, &frame)) {
            // Tags end a file or stand between joined ones; anything else is damage, passed over
            // as the decoder passes it.
            if (at + 3 <= end && headerAt(&reader, at, h, 3) && std::memcmp(h, "TAG", 3) == 0 && at + 128 == end) {
                complete = true;
                break;
            }
            unsigned char tag[id3v2HeaderBytes];
            if (at + id3v2HeaderBytes <= end && headerAt(&reader, at, tag, sizeof tag) && id3v2Bytes(tag, sizeof tag) > 0) {
                at += id3v2Bytes(tag, sizeof tag);
                continue;
            }
            clean = false;
            const int64_t next = at + 4 <= end ? mpegFindFramePair(fd, at + 1, resyncBytes) : -1;
            if (next < 0) {
                complete = true;  // the decoder ends here too
                break;
            }
            searched += next - at;
            if (searched > searchByteLimit)
                break;
            at = next;
            continue;
        }
        // A last frame cut short is not decoded.
        if (at + frame.bytes > end) {
            clean = false;
            complete = true;
            break;
        }
        if (frames == 0) {
            firstRate = runRate = frame.rate;
            firstSamples = frame.samples;
        }
        unsigned char side[4];
        if (((h[1] >> 1) & 3) == 1 && !(frames == 0 && tag.present) && headerAt(&reader, at + 4, side, 4)) {
            const bool mpeg1 = ((h[1] >> 3) & 3) == 3, crc = !(h[1] & 1), mono = (h[3] >> 6) == 3;
            const unsigned char* b = side + (crc ? 2 : 0);
            const int64_t dataBegin = mpeg1 ? (b[0] << 1 | b[1] >> 7) : b[0];
            const int64_t sideBytes = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
            clean = clean && dataBegin <= reservoir;
            reservoir += std::max<int64_t>(0, frame.bytes - 4 - (crc ? 2 : 0) - sideBytes);
        }
        if (frame.rate != runRate) {
            total += framesAtRate(runSamples, runRate, firstRate);
            runSamples = runBytes = 0;
            runRate = frame.rate;
            oneRate = false;
        }
        runSamples += frame.samples;
        runBytes += frame.bytes;
        ++frames;
        at += frame.bytes;
    }
    // What the walk left, of the last run's rate of bytes.
    if (!complete && runBytes > 0)
        runSamples += (end - at) * runSamples / runBytes;
    total += framesAtRate(runSamples, runRate, firstRate);
    if (tag.present) {
        // The frames agree with the tag: all of them walked, or, past the walk's bound, its bytes
        // all there and no other file's frames behind them.
        const int64_t audioBytes = size - firstAt;
        unsigned char behind[4];
        MpegFrame other{};
        const bool joinBehind = tag.bytes > 0 && pread(fd, behind, 4, firstAt + tag.bytes) == 4 && mpegFrameParse(behind, &other);
        probe.gapless = clean && (complete && oneRate ? tag.frames == frames - 1
                                                      : !complete && tag.frames > 0 && tag.bytes > 0 && tag.bytes <= audioBytes &&
                                                           audioBytes - tag.bytes <= tagSlack && !joinBehind);
        // The first file's Info frame is no audio: the decoder leaves it out.
        total -= framesAtRate(firstSamples, firstRate, firstRate);
    }
    // A walk over frames of one rate, with no damage on the way, counts what libmpg123 decodes;
    // damage it may take otherwise, and a join of several rates it may resample by a frame more or less.
    probe.length = {std::max<int64_t>(0, total), complete && clean && oneRate};
    probe.rate = firstRate;
    return probe;
}
