// The links of an Ogg file found from its pages: a link is a group of first pages (BOS) and what
// follows up to the next such group. Short links are walked page by page through blocks of the
// file, every packet counted as its decoder counts it; within a long one the walk leaps ahead and
// halves back to its last page, so that a one-hour file costs a few dozen reads. A link's count is
// its granules'; it is exact where nothing in the link could make its decoder deliver otherwise.
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
// What an open scans of a chain: links, and work (bytes read and bytes libogg may checksum), of
// which no link is begun past the first half and no link is scanned past the second.
constexpr int scanLinkLimit = 1000;
constexpr int64_t scanWorkLimit = int64_t(16) << 20;
// A scan finds the next page within this, or takes the link to go on where it cannot see.
constexpr int64_t holeLimit = int64_t(1) << 20;

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

// The scan goes on from where it is, or from the page it held back; anywhere else it starts afresh.
void scanSeek(OggChain* c, int64_t at)
{
    c->replayHeld = c->heldValid && at == c->heldAt;
    if (c->replayHeld || at == c->syncAt)
        return;
    c->heldValid = false;
    ogg_sync_reset(&c->sync);
    c->syncAt = c->readAt = at;
}

// Keeps the page just returned, which the next scan starts from.
void holdPage(OggChain* c, const ogg_page& page, int64_t at)
{
    c->heldPage.assign(page.header, page.header + page.header_len);
    c->heldPage.insert(c->heldPage.end(), page.body, page.body + page.body_len);
    c->heldHeader = page.header_len;
    c->heldAt = at;
    c->heldValid = true;
}

// The next whole page with a good checksum from where the scan is; false at the end of the file,
// once the allowance is spent, or when `limit` bytes of work (read, and what libogg may checksum of
// them) found none.
bool nextPage(OggChain* c, ogg_page* page, PageInfo* info, int64_t limit = INT64_MAX)
{
    if (c->replayHeld) {
        c->replayHeld = false;
        page->header = c->heldPage.data();
        page->header_len = c->heldHeader;
        page->body = c->heldPage.data() + c->heldHeader;
        page->body_len = long(c->heldPage.size()) - c->heldHeader;
        *info = PageInfo{c->heldAt, uint32_t(ogg_page_serialno(page)), ogg_page_bos(page) != 0,
                         int64_t(ogg_page_granulepos(page))};
        return true;
    }
    c->heldValid = false;
    const int64_t from = c->bytesScanned;
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
            c->skipped -= r;
            continue;
        }
        const int64_t affordable = std::min(limit - (c->bytesScanned - from), allowanceLeft(c->allowance));
        if (c->readAt >= c->size || affordable <= 0)
            return false;
        unsigned char* buffer = reinterpret_cast<unsigned char*>(ogg_sync_buffer(&c->sync, blockBytes));
        const ssize_t got = buffer ? pread(c->fd, buffer, blockBytes, c->readAt) : -1;
        int64_t work = 0;
        const size_t taken = got > 0 ? oggAffordable(buffer, size_t(got), affordable, &work) : 0;
        if (taken < size_t(std::max<ssize_t>(got, 0)) && affordable == allowanceLeft(c->allowance))
            allowanceTake(c->allowance, INT64_MAX);
        if (taken == 0)
            return false;
        ogg_sync_wrote(&c->sync, long(taken));
        c->readAt += int64_t(taken);
        c->bytesScanned += work;
        allowanceTake(c->allowance, work);
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
    bool damaged = false;
    bool searched = false;
    ogg_page page;
    PageInfo p{};
    // Junk, pages of no stream the link started, or pages lost from its codec's, are damage its
    // decoder may take otherwise than the count does: through the link's window alone, a page
    // behind junk that claims bytes beyond the link's end is never found.
    bool clean = true;
    int64_t nextSequence = -1;
    // Until a search leaps ahead every packet of the codec's stream is counted, and each granule
    // must be where the packets before it put it, as its decoder counts them.
    bool agreeing = true;
    int64_t counted = 0;
    bool ended = false;  // its last page (end of stream) was seen
    bool reachedEnd = false;
    scanSeek(c, start);
    for (;;) {
        // Past the end, or a hole the scan does not pass: the link's decoder, reading on, passes it.
        const int64_t skippedBefore = c->skipped;
        if (!nextPage(c, &page, &p, holeLimit)) {
            reachedEnd = c->readAt >= c->size && c->skipped == skippedBefore;
            break;
        }
        clean = clean && c->skipped == skippedBefore;
        if (p.bos && headersDone && p.at > start) {
            link->end = p.at;
            reachedEnd = true;
            holdPage(c, page, p.at);
            break;
        }
        clean = clean && (p.bos || known(s, p.serial));
        if (s.hasCodec && p.serial == s.codecSerial) {
            const int64_t sequence = ogg_page_pageno(&page);
            clean = clean && (nextSequence < 0 || sequence == nextSequence);
            nextSequence = sequence + 1;
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
        if (!searched && !damaged) {
            PageCount count{};
            c->codec->countPage(c, &page, &count);
            // Damaged headers: the link cannot be played, but where it ends is still looked for.
            damaged = count.damaged;
            agreeing = agreeing && !count.odd && !ended;
            const bool last = ogg_page_eos(&page) != 0;
            counted += count.frames;
            if (count.audio && s.start < 0 && p.granule != -1) {
                // Only a link's first page that is also its last may start it before 0: its end is trimmed.
                agreeing = agreeing && (last || p.granule >= counted);
                s.start = std::max<int64_t>(0, p.granule - counted);
            }
            if (count.audio && s.start < 0) {
                agreeing = false;
            } else if (p.granule != -1 && s.start >= 0) {
                // A granule on a page that completes no packet, or one that is not where the packets
                // put it: its decoder's time differs from it. The last page's may cut what it trims.
                const int64_t expected = s.start + counted;
                agreeing = agreeing && count.audio &&
                           (last ? p.granule <= expected && p.granule >= expected - count.trimmable : p.granule == expected);
            }
            ended = ended || last;
        }
        if ((damaged || s.start >= 0) && !searched && p.at - start > walkLimit) {
            searched = true;
            scanSeek(c, searchEnd(c, &s, p.at));
            nextSequence = -1;
        }
    }
    link->counted = reachedEnd && clean && agreeing;
    if (c->streamUsed) {
        ogg_stream_clear(&c->stream);
        c->streamUsed = false;
    }
    if (damaged || s.start < 0 || s.lastGranule < 0)
        return;
    link->usable = true;
    const int64_t frames = c->codec->linkFrames(c, s.start, s.lastGranule);
    link->counted = link->counted && frames >= 0;
    link->frames = std::clamp<int64_t>(frames, 0, frameCeiling);
}

// A decoder for the link just scanned, reading its bytes alone.
void openLink(OggChain* c)
{
    c->linkOpen = true;
    fileWindowStart(&c->window, c->fd, off_t(c->link.start), off_t(c->link.end - c->link.start), c->windowBuffer.get(),
                    windowBytes, c->allowance);
    c->linkDecoder = c->codec->openLink(c);
}

void closeLink(OggChain* c)
{
    if (c->linkDecoder)
        c->codec->closeLink(c->linkDecoder);
    c->linkDecoder = nullptr;
    c->linkOpen = false;
}

// The one owner of the chain and what it holds; the descriptor is the decoder record's.
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

size_t oggAffordable(const unsigned char* bytes, size_t size, int64_t budget, int64_t* work)
{
    constexpr int64_t largestPage = 27 + 255 + 255 * 255;
    int64_t claimed = 0;
    for (const unsigned char* at = bytes; (at = static_cast<const unsigned char*>(memmem(at, size_t(bytes + size - at), "OggS", 4)));
         ++at) {
        const size_t rest = size_t(bytes + size - at);
        int64_t claim = largestPage;
        if (rest >= 27 && rest >= 27 + size_t(at[26])) {
            claim = 27 + at[26];
            for (int i = 0; i < at[26]; ++i)
                claim += at[27 + i];
        }
        // The capture is handed on only with what libogg may checksum of it.
        if ((at - bytes) + 1 + claimed + claim > budget) {
            *work = (at - bytes) + claimed;
            return size_t(at - bytes);
        }
        claimed += claim;
    }
    const size_t taken = size_t(std::clamp<int64_t>(budget - claimed, 0, int64_t(size)));
    *work = int64_t(taken) + claimed;
    return taken;
}

ssize_t oggWindowRead(FileWindow* window, void* out, size_t bytes)
{
    const int64_t left = allowanceLeft(window->allowance);
    const ssize_t got = fileWindowRead(window, out, bytes);
    if (got <= 0 || !window->allowance || !window->allowance->bounded)
        return got;
    // fileWindowRead took the bytes; what libogg may checksum of them is taken too, or fewer are handed on.
    int64_t work = 0;
    const size_t taken = oggAffordable(static_cast<unsigned char*>(out), size_t(got), left, &work);
    window->position -= off_t(size_t(got) - taken);
    window->allowance->left = taken < size_t(got) ? 0 : left - work;
    return ssize_t(taken);
}

bool oggChainOpen(Decoder* decoder, int fd, const OggCodec* codec)
{
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return decoderFail(decoder, "cannot read the file");
    std::unique_ptr<OggChain, decltype(&freeChain)> c(new OggChain{}, freeChain);
    c->codec = codec;
    c->fd = fd;
    c->size = st.st_size;
    c->allowance = &decoder->allowance;
    ogg_sync_init(&c->sync);
    c->windowBuffer.reset(new unsigned char[windowBytes]);
    // Links are counted each at its own rate, then at the stream's, the first link's that has
    // frames; as many as an open may scan, the rest estimated from the bytes they take.
    LinkFormat stream{};
    bool haveStream = false, anyUsable = false, complete = true;
    int64_t frames = 0;
    int links = 0;
    decoder->allowance = {true, scanWorkLimit};
    for (int64_t at = 0; at < c->size;) {
        if (links == scanLinkLimit || allowanceLeft(&decoder->allowance) < scanWorkLimit / 2) {
            complete = false;
            if (at > 0)
                frames = int64_t(std::min<double>(double(frames) * double(c->size) / double(at), double(frameCeiling)));
            break;
        }
        ++links;
        OggLink link;
        scanLink(c.get(), at, &link);
        at = std::max(link.end, at + 1);
        complete = complete && link.counted;
        // Headers too large for the open to read: its format from its first page, its length left
        // to the reads.
        if (links == 1 && !link.usable && allowanceLeft(&decoder->allowance) == 0 && link.format.rate > 0)
            stream = link.format;
        if (!link.usable)
            continue;
        if (!anyUsable) {
            stream = link.format;
            c->link = link;
            c->nextStart = at;
        }
        anyUsable = true;
        // A link without frames delivers nothing: it sets no format.
        if (link.frames == 0)
            continue;
        if (!haveStream)
            stream = link.format;
        haveStream = true;
        frames = std::min(frames + framesAtRate(link.frames, link.format.rate, stream.rate), frameCeiling);
    }
    if (stream.rate == 0)
        return decoderFail(decoder, codec->name);
    // The first link's decoder is opened here, as the reads would open it, so that what its headers
    // hold (a picture in its comments) is read by the open, not by the head.
    if (anyUsable)
        openLink(c.get());
    if (allowanceLeft(&decoder->allowance) == 0) {
        closeLink(c.get());
        c->nextStart = 0;
    }
    decoder->allowance = {};
    decoder->rate = stream.rate;
    decoder->channels = stream.channels;
    std::copy(stream.layout, stream.layout + layoutChannelLimit, decoder->layout);
    decoder->length = {frames, complete};
    decoder->handle = c.release();
    return true;
}

// What each link's decoder gives, link after link, to the last link's end.
int64_t oggChainRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* format)
{
    OggChain* c = static_cast<OggChain*>(decoder->handle);
    for (;;) {
        if (!c->linkOpen) {
            if (c->nextStart >= c->size)
                return 0;
            scanLink(c, c->nextStart, &c->link);
            c->nextStart = std::max(c->link.end, c->nextStart + 1);
            if (!c->link.usable)
                continue;
            openLink(c);
        }
        const int channels = c->link.format.channels;
        const int64_t got = c->linkDecoder ? c->codec->readLink(c->linkDecoder, out, samples / channels, channels) : 0;
        if (got <= 0) {
            closeLink(c);
            continue;
        }
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
