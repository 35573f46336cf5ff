// The links of an Ogg file found from its pages: a link is a group of first pages (BOS) and what
// follows up to the next such group. Short links are walked page by page through blocks of the
// file; within a long one the walk leaps ahead and halves back to its last page, so that a one-hour
// file costs a few dozen reads. Each link yields exactly the frames its granules count: what its
// decoder gives beyond them is left out, what it lacks (a lost page, a link that cannot be
// decoded) is made up with silence, so that the length announced is the length delivered.
#include "platform/music/decode/ogg.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr long blockBytes = 128 * 1024;
// A link walked further than this page by page is searched instead.
constexpr int64_t walkLimit = 2 * blockBytes;
constexpr int serialLimit = 16;
constexpr size_t windowBytes = 64 * 1024;
// Beyond any length the stream takes, and far from overflowing however many links add up to it.
constexpr int64_t frameCeiling = int64_t{1} << 50;

struct PageInfo {
    int64_t at;
    uint32_t serial;
    bool bos;
    int64_t granule;
};

struct LinkScan {
    uint32_t serials[serialLimit];
    int serialCount;
    bool hasCodec;
    uint32_t codecSerial;
    int64_t start;  // the codec's start granule; -1 until known
    int64_t lastGranule;
};

// What the sync state holds stays where it is until more is fed to it, so a place in it is found
// again without reading: the next link starts at the page the last one ended at.
void scanSeek(OggChain* c, int64_t at)
{
    ogg_sync_state& s = c->sync;
    const int64_t held = c->readAt - s.fill;
    if (at >= held && at <= c->readAt) {
        s.returned = int(at - held);
        s.unsynced = s.headerbytes = s.bodybytes = 0;
        c->syncAt = at;
        return;
    }
    ogg_sync_reset(&c->sync);
    c->syncAt = c->readAt = at;
}

// The next whole page with a good checksum from where the scan is; false at the end of the file or
// when `limit` bytes were read without one.
bool nextPage(OggChain* c, ogg_page* page, PageInfo* info, int64_t limit = INT64_MAX)
{
    const int64_t from = c->readAt;
    for (;;) {
        const long r = ogg_sync_pageseek(&c->sync, page);
        if (r > 0) {
            *info = PageInfo{c->syncAt, uint32_t(ogg_page_serialno(page)), ogg_page_bos(page) != 0,
                             int64_t(ogg_page_granulepos(page))};
            c->syncAt += r;
            return true;
        }
        if (r < 0) {
            c->syncAt -= r;
            continue;
        }
        if (c->readAt >= c->size || c->readAt - from >= limit)
            return false;
        char* buffer = ogg_sync_buffer(&c->sync, blockBytes);
        const ssize_t got = buffer ? pread(c->fd, buffer, blockBytes, c->readAt) : -1;
        if (got <= 0)
            return false;
        ogg_sync_wrote(&c->sync, long(got));
        c->readAt += got;
    }
}

bool known(const LinkScan& s, uint32_t serial)
{
    return std::find(s.serials, s.serials + s.serialCount, serial) != s.serials + s.serialCount;
}

// A page found by a leap ahead belongs to the link when it is of one of its streams, starts none,
// and does not go back in time: a join of one file with itself reuses its serial numbers.
bool belongs(const LinkScan& s, const PageInfo& p)
{
    return !p.bos && known(s, p.serial) && (p.serial != s.codecSerial || p.granule == -1 || p.granule >= s.lastGranule);
}

// The first page from `at` on, looked for within two blocks.
bool probe(OggChain* c, int64_t at, PageInfo* info)
{
    ogg_page page;
    scanSeek(c, at);
    return nextPage(c, &page, info, 2 * blockBytes);
}

void noteGranule(LinkScan* s, const PageInfo& p)
{
    if (s->hasCodec && p.serial == s->codecSerial && p.granule >= 0)
        s->lastGranule = p.granule;
}

// From a page of the link at `lo`, far ahead of where the link began: leaps ahead, doubling, to a
// page beyond the link, and halves back until a walk is short. Returns where to walk from.
int64_t searchEnd(OggChain* c, LinkScan* s, int64_t lo)
{
    int64_t hi = c->size;
    PageInfo p{};
    for (int64_t step = blockBytes;; step *= 2) {
        const int64_t at = lo + step;
        if (at >= c->size)
            break;
        if (!probe(c, at, &p) || !belongs(*s, p)) {
            hi = at;
            break;
        }
        lo = p.at;
        noteGranule(s, p);
    }
    while (hi - lo > walkLimit) {
        const int64_t mid = lo + (hi - lo) / 2;
        if (probe(c, mid, &p) && p.at < hi && belongs(*s, p)) {
            lo = p.at;
            noteGranule(s, p);
        } else {
            hi = mid;
        }
    }
    return lo;
}

// The link that starts at `start`: its end, format and frames.
void scanLink(OggChain* c, int64_t start, OggLink* link)
{
    *link = OggLink{};
    link->start = start;
    link->end = c->size;
    LinkScan s{};
    s.start = -1;
    s.lastGranule = -1;
    bool headersDone = false;  // the first pages are over: a first page now starts the next link
    bool counting = true;
    bool damaged = false;
    bool searched = false;
    ogg_page page;
    PageInfo p{};
    scanSeek(c, start);
    while (nextPage(c, &page, &p)) {
        if (p.bos && headersDone && p.at > start) {
            link->end = p.at;
            break;
        }
        if (p.bos) {
            if (s.serialCount < serialLimit && !known(s, p.serial))
                s.serials[s.serialCount++] = p.serial;
            ogg_packet first{};
            first.packet = page.body;
            first.bytes = page.body_len;
            if (!s.hasCodec && size_t(page.body_len) >= c->codec->magicBytes &&
                std::memcmp(page.body, c->codec->magic, c->codec->magicBytes) == 0 && c->codec->identify(&first, link)) {
                s.hasCodec = true;
                s.codecSerial = p.serial;
                if (c->streamUsed)
                    ogg_stream_clear(&c->stream);
                ogg_stream_init(&c->stream, int(p.serial));
                c->streamUsed = true;
            }
        } else {
            headersDone = true;
        }
        if (!s.hasCodec || p.serial != s.codecSerial)
            continue;
        noteGranule(&s, p);
        if (counting) {
            const int64_t granule = c->codec->startGranule(c, &page);
            // Damaged headers: the link cannot be played, but where it ends is still looked for.
            damaged = granule == -2;
            counting = !damaged && granule < 0;
            if (granule >= 0) {
                s.start = granule;
            }
        }
        if (!counting && !searched && p.at - start > walkLimit) {
            searched = true;
            scanSeek(c, searchEnd(c, &s, p.at));
        }
    }
    if (c->streamUsed) {
        ogg_stream_clear(&c->stream);
        c->streamUsed = false;
    }
    if (damaged || s.start < 0 || s.lastGranule < 0)
        return;
    link->usable = true;
    link->frames = std::clamp<int64_t>(c->codec->linkFrames(c, s.start, s.lastGranule), 0, frameCeiling);
}

bool sameFormat(const LinkFormat& a, const LinkFormat& b)
{
    return a.rate == b.rate && a.channels == b.channels &&
           std::equal(a.layout, a.layout + std::min(a.channels, layoutChannelLimit), b.layout);
}

void closeLink(OggChain* c)
{
    if (c->linkDecoder)
        c->codec->closeLink(c->linkDecoder);
    c->linkDecoder = nullptr;
    c->linkOpen = false;
}

void freeChain(OggChain* c)
{
    closeLink(c);
    if (c->streamUsed)
        ogg_stream_clear(&c->stream);
    if (c->codec->freeCodec)
        c->codec->freeCodec(c);
    ogg_sync_clear(&c->sync);
    delete c;
}

} // namespace

bool oggChainOpen(Decoder* decoder, int fd, const OggCodec* codec)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return decoderFail(decoder, "cannot read the file");
    OggChain* c = new OggChain{};
    c->codec = codec;
    c->fd = fd;
    c->size = st.st_size;
    ogg_sync_init(&c->sync);
    c->windowBuffer.reset(new unsigned char[windowBytes]);
    // Runs of one format, counted in each run's own rate until the stream's rate is known.
    LinkFormat stream{};
    bool haveStream = false, anyUsable = false;
    LinkFormat run{};
    int64_t runFrames = 0;
    std::vector<int64_t> runs;
    std::vector<int> runRates;
    for (int64_t at = 0; at < c->size;) {
        OggLink link;
        scanLink(c, at, &link);
        at = std::max(link.end, at + 1);
        if (!link.usable)
            continue;
        if (!anyUsable)
            stream = link.format;
        anyUsable = true;
        // A link without frames delivers nothing, so it neither starts a run nor ends one.
        if (link.frames == 0)
            continue;
        if (!haveStream) {
            stream = run = link.format;
            haveStream = true;
        } else if (!sameFormat(run, link.format)) {
            runs.push_back(runFrames);
            runRates.push_back(run.rate);
            run = link.format;
            runFrames = 0;
        }
        runFrames = std::min(runFrames + link.frames, frameCeiling);
    }
    if (!anyUsable) {
        freeChain(c);
        return decoderFail(decoder, codec->name);
    }
    runs.push_back(runFrames);
    runRates.push_back(run.rate);
    decoder->handle = c;
    decoder->rate = stream.rate;
    decoder->channels = stream.channels;
    std::copy(stream.layout, stream.layout + layoutChannelLimit, decoder->layout);
    decoder->frames = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        const int64_t frames = std::min(framesAtRate(runs[i], runRates[i], stream.rate), frameCeiling - decoder->frames);
        decoder->frames += frames;
        if (runs.size() > 1)
            decoder->linkFrames.push_back(frames);
    }
    return true;
}

int64_t oggChainRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* format)
{
    OggChain* c = static_cast<OggChain*>(decoder->handle);
    for (;;) {
        if (!c->linkOpen) {
            if (c->nextStart >= c->size)
                return 0;
            scanLink(c, c->nextStart, &c->link);
            c->nextStart = std::max(c->link.end, c->nextStart + 1);
            if (!c->link.usable || c->link.frames == 0)
                continue;
            c->linkOpen = true;
            c->linkOut = 0;
            fileWindowStart(&c->window, c->fd, off_t(c->link.start), off_t(c->link.end - c->link.start),
                            c->windowBuffer.get(), windowBytes);
            c->linkDecoder = c->codec->openLink(c);
        }
        const int channels = c->link.format.channels;
        const int64_t want = std::min(samples / channels, c->link.frames - c->linkOut);
        if (want <= 0) {
            closeLink(c);
            continue;
        }
        int64_t got = c->linkDecoder ? c->codec->readLink(c->linkDecoder, out, want, channels) : 0;
        if (got <= 0) {
            // What the decoder cannot give, silence stands in for, to the frames the link counts.
            if (c->linkDecoder)
                c->codec->closeLink(c->linkDecoder);
            c->linkDecoder = nullptr;
            got = want;
            std::memset(out, 0, size_t(got) * size_t(channels) * 2);
        }
        got = std::min(got, want);
        c->linkOut += got;
        *format = c->link.format;
        return got;
    }
}

bool oggChainToStart(Decoder* decoder)
{
    OggChain* c = static_cast<OggChain*>(decoder->handle);
    closeLink(c);
    c->nextStart = 0;
    return true;
}

void oggChainClose(Decoder* decoder)
{
    OggChain* c = static_cast<OggChain*>(decoder->handle);
    if (!c)
        return;
    close(c->fd);
    freeChain(c);
}
