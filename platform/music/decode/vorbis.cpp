// Ogg Vorbis, a link at a time through libvorbisfile; the links and their lengths found by the
// chain's scan (ogg.cpp), each packet counted as libvorbis counts it.
#include <vorbis/codec.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstring>

#include "platform/music/decode/bytes.h"
#include "platform/music/decode/ogg.h"

namespace {

// Each audio packet's frames come from its block size and the one before it, which take the setup
// header to tell. Links made by one encoder share their headers: the setup is read once, and kept
// for the next link.
struct VorbisScan {
    vorbis_info info;
    bool infoReady;
    std::vector<unsigned char> infoHeaders;  // the identification and setup packets it was read from
    int headers;
    std::vector<unsigned char> id;
    long lastBlock;
};

bool vorbisIdentify(const ogg_packet* packet, OggLink* link)
{
    const unsigned char* p = packet->packet;
    if (packet->bytes < 30 || le32(p + 7) != 0 || p[11] == 0 || le32(p + 12) == 0)
        return false;
    link->format.rate = int(std::min<uint32_t>(le32(p + 12), 1u << 30));
    link->format.channels = p[11];
    layoutVorbis(link->format.layout, p[11]);
    return true;
}

// Bits of a Vorbis packet, least significant first.
struct PacketBits {
    const unsigned char* data;
    int64_t size;
    int64_t at;
    bool ok;
};

uint32_t takeBits(PacketBits* b, int count)
{
    uint32_t value = 0;
    if (b->at + count > b->size * 8) {
        b->ok = false;
        return 0;
    }
    for (int i = 0; i < count; ++i, ++b->at)
        value |= uint32_t(b->data[b->at >> 3] >> (b->at & 7) & 1) << i;
    return value;
}

int bitsOf(uint32_t v)
{
    return v ? 32 - __builtin_clz(v) : 0;
}

// The greatest r whose power `dimensions` is at most `entries`: a lookup table's values per dimension.
int64_t valuesPerDimension(int64_t entries, int dimensions)
{
    int64_t r = 1;
    auto fits = [&](int64_t v) {
        int64_t power = 1;
        for (int d = 0; d < dimensions && power <= entries; ++d)
            power *= v;
        return power <= entries;
    };
    while (fits(r + 1))
        ++r;
    return r;
}

// HACK: libvorbis 1.3.7 allocates each codebook's entries as the setup header claims them, and an
// ordered codebook claims millions in a dozen bytes: 817 bytes of setup cost it 2 s and 528 MB. The
// codebooks are walked first, and one that ends early, or more entries than an encoder writes (those
// of libvorbis and ffmpeg take about 63 000 in all), are damage.
bool setupBounded(const ogg_packet* setup)
{
    constexpr int64_t entryLimit = int64_t(1) << 18;
    PacketBits b{setup->packet, setup->bytes, 7 * 8, setup->bytes > 7};
    const int books = int(takeBits(&b, 8)) + 1;
    int64_t entries = 0;
    for (int book = 0; book < books && b.ok; ++book) {
        if (takeBits(&b, 24) != 0x564342)
            return false;
        const int dimensions = int(takeBits(&b, 16));
        const int64_t count = takeBits(&b, 24);
        if (bitsOf(uint32_t(dimensions)) + bitsOf(uint32_t(count)) > 24 || (entries += count) > entryLimit)
            return false;
        if (takeBits(&b, 1)) {
            takeBits(&b, 5);
            for (int64_t at = 0; at < count && b.ok;)
                at += takeBits(&b, bitsOf(uint32_t(count - at)));
        } else {
            const bool sparse = takeBits(&b, 1);
            for (int64_t at = 0; at < count && b.ok; ++at)
                if (!sparse || takeBits(&b, 1))
                    takeBits(&b, 5);
        }
        const uint32_t lookup = takeBits(&b, 4);
        if (lookup == 1 || lookup == 2) {
            if (dimensions == 0 || (entries += count * (dimensions - 1)) > entryLimit)
                return false;
            takeBits(&b, 32);
            takeBits(&b, 32);
            const int valueBits = int(takeBits(&b, 4)) + 1;
            takeBits(&b, 1);
            const int64_t values = lookup == 1 ? valuesPerDimension(count, dimensions) : count * dimensions;
            b.at += values * valueBits;
        } else if (lookup != 0) {
            return false;
        }
    }
    return b.ok && b.at <= b.size * 8;
}

bool readSetup(VorbisScan* s, ogg_packet* setup)
{
    const size_t idBytes = s->id.size();
    if (s->infoReady && s->infoHeaders.size() == idBytes + size_t(setup->bytes) &&
        std::equal(s->id.begin(), s->id.end(), s->infoHeaders.begin()) &&
        std::equal(setup->packet, setup->packet + setup->bytes, s->infoHeaders.begin() + long(idBytes)))
        return true;
    if (s->infoReady)
        vorbis_info_clear(&s->info);
    s->infoReady = false;
    if (!setupBounded(setup))
        return false;
    vorbis_info_init(&s->info);
    vorbis_comment comment;
    vorbis_comment_init(&comment);
    // The comments are not needed here: an empty set stands in for them, whatever their size.
    unsigned char noComments[] = {3, 'v', 'o', 'r', 'b', 'i', 's', 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ogg_packet id{}, tags{};
    id.packet = s->id.data();
    id.bytes = long(s->id.size());
    id.b_o_s = 1;
    tags.packet = noComments;
    tags.bytes = sizeof noComments;
    tags.packetno = 1;
    const bool ok = vorbis_synthesis_headerin(&s->info, &comment, &id) == 0 &&
                    vorbis_synthesis_headerin(&s->info, &comment, &tags) == 0 &&
                    vorbis_synthesis_headerin(&s->info, &comment, setup) == 0;
    vorbis_comment_clear(&comment);
    if (!ok) {
        vorbis_info_clear(&s->info);
        return false;
    }
    s->infoReady = true;
    s->infoHeaders = s->id;
    s->infoHeaders.insert(s->infoHeaders.end(), setup->packet, setup->packet + setup->bytes);
    return true;
}

// HACK: libvorbis 1.3.7 keeps the number of modes in its private codec setup, after the two block
// sizes; whether a packet holds a long block's neighbour flags depends on the bits its mode takes.
struct VorbisSetupStart {
    long blocksizes[2];
    int modes;
};

int modeBits(const vorbis_info* info)
{
    return bitsOf(uint32_t(static_cast<const VorbisSetupStart*>(info->codec_setup)->modes - 1));
}

// libvorbisfile refuses a link whose comment header libvorbis does not read.
bool commentReadable(const VorbisScan* s, ogg_packet* packet)
{
    vorbis_info info;
    vorbis_comment comment;
    vorbis_info_init(&info);
    vorbis_comment_init(&comment);
    ogg_packet id{};
    id.packet = const_cast<unsigned char*>(s->id.data());
    id.bytes = long(s->id.size());
    id.b_o_s = 1;
    const bool readable = vorbis_synthesis_headerin(&info, &comment, &id) == 0 &&
                          vorbis_synthesis_headerin(&info, &comment, packet) == 0;
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    return readable;
}

// Each audio packet counted as libvorbis counts it: none for the first, then half of each block and
// half of the one before.
void vorbisCountPage(OggChain* chain, ogg_page* page, PageCount* count)
{
    if (!chain->codecState)
        chain->codecState = new VorbisScan{};
    VorbisScan* s = static_cast<VorbisScan*>(chain->codecState);
    if (ogg_page_bos(page)) {
        s->headers = 0;
        s->lastBlock = -1;
    }
    if (ogg_stream_pagein(&chain->stream, page) != 0) {
        count->odd = true;
        return;
    }
    ogg_packet packet;
    for (int r; (r = ogg_stream_packetout(&chain->stream, &packet)) != 0;) {
        if (r < 0) {
            count->damaged = count->damaged || s->headers < 3;
            count->odd = true;
            continue;
        }
        if (s->headers == 0) {
            s->id.assign(packet.packet, packet.packet + packet.bytes);
        } else if (s->headers == 1) {
            count->odd = count->odd || !commentReadable(s, &packet);
        } else if (s->headers == 2) {
            if (!readSetup(s, &packet)) {
                count->damaged = true;
                return;
            }
        } else {
            count->audio = true;
            const long block = vorbis_packet_blocksize(&s->info, &packet);
            // libvorbis leaves out what is no audio packet, and a long block too short to say its
            // neighbours' sizes, and loses its count of time after either.
            if (block < 0 || (block == vorbis_info_blocksize(&s->info, 1) && packet.bytes * 8 < 3 + modeBits(&s->info))) {
                count->odd = true;
                continue;
            }
            const int64_t frames = s->lastBlock < 0 ? 0 : (s->lastBlock >> 2) + (block >> 2);
            s->lastBlock = block;
            count->frames += frames;
            // libvorbis trims the last packet to the last granule, never more.
            count->trimmable = frames;
        }
        if (s->headers < 3)
            ++s->headers;
    }
}

int64_t vorbisLinkFrames(OggChain*, int64_t start, int64_t lastGranule)
{
    return lastGranule - start;
}

void vorbisFreeCodec(OggChain* chain)
{
    VorbisScan* s = static_cast<VorbisScan*>(chain->codecState);
    if (s && s->infoReady)
        vorbis_info_clear(&s->info);
    delete s;
    chain->codecState = nullptr;
}

size_t windowRead(void* out, size_t size, size_t count, void* source)
{
    const ssize_t got = oggWindowRead(static_cast<FileWindow*>(source), out, size * count);
    return got > 0 && size > 0 ? size_t(got) / size : 0;
}

// Through the window the link is all the file there is, read straight on: no seeking, so the open
// reads its headers only.
void* vorbisOpenLink(OggChain* chain)
{
    OggVorbis_File* file = new OggVorbis_File{};
    const ov_callbacks callbacks = {windowRead, nullptr, nullptr, nullptr};
    if (ov_open_callbacks(&chain->window, file, nullptr, 0, callbacks) != 0) {
        delete file;
        return nullptr;
    }
    return file;
}

int64_t vorbisReadLink(void* link, int16_t* out, int64_t frames, int channels)
{
    OggVorbis_File* file = static_cast<OggVorbis_File*>(link);
    for (;;) {
        int stream = 0;
        const long got = ov_read(file, reinterpret_cast<char*>(out), int(std::min<int64_t>(frames * channels * 2, 1 << 20)),
                                 __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__, 2, 1, &stream);
        if (got == OV_HOLE)
            continue;
        const vorbis_info* info = got > 0 ? ov_info(file, -1) : nullptr;
        if (!info || info->channels != channels)
            return 0;
        return got / (2 * channels);
    }
}

void vorbisCloseLink(void* link)
{
    OggVorbis_File* file = static_cast<OggVorbis_File*>(link);
    ov_clear(file);
    delete file;
}

const OggCodec vorbisCodec = {
    "not a readable Ogg Vorbis stream", "\x01vorbis", 7, vorbisIdentify, vorbisCountPage, vorbisLinkFrames,
    vorbisOpenLink, vorbisReadLink, vorbisCloseLink, vorbisFreeCodec,
};

bool vorbisOpen(Decoder* decoder, int fd)
{
    return oggChainOpen(decoder, fd, &vorbisCodec);
}

} // namespace

const DecoderFamily vorbisDecoder = {"libvorbisfile", vorbisOpen, oggChainRead, oggChainToStart, oggChainClose};
