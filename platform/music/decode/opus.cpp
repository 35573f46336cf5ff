// Ogg Opus, a link at a time through libopusfile; the links and their lengths found by the chain's
// scan (ogg.cpp): always 48 kHz, each link from its start granule to its last less the pre-skip.
#include <opus.h>
#include <opusfile.h>

#include <algorithm>
#include <cstring>

#include "platform/music/decode/ogg.h"

namespace {

struct OpusScan {
    int packets;
    int64_t preSkip;
    int streams;
};

// Family 0 and 1 follow the Vorbis order; any other mapping names no speakers.
void opusLayout(const OpusHead* head, Speaker* layout)
{
    if (head->mapping_family <= 1)
        layoutVorbis(layout, head->channel_count);
    else
        layoutWav(layout, head->channel_count);
}

bool opusIdentify(const ogg_packet* packet, OggLink* link)
{
    OpusHead head{};
    if (opus_head_parse(&head, packet->packet, size_t(packet->bytes)) != 0)
        return false;
    link->format.rate = 48000;
    link->format.channels = head.channel_count;
    opusLayout(&head, link->format.layout);
    return true;
}

// Each audio packet counted as libopusfile counts it, by its table of contents.
void opusCountPage(OggChain* chain, ogg_page* page, PageCount* count)
{
    if (!chain->codecState)
        chain->codecState = new OpusScan{};
    OpusScan* s = static_cast<OpusScan*>(chain->codecState);
    if (ogg_page_bos(page))
        *s = OpusScan{};
    if (ogg_stream_pagein(&chain->stream, page) != 0) {
        count->odd = true;
        return;
    }
    ogg_packet packet;
    for (int r; (r = ogg_stream_packetout(&chain->stream, &packet)) != 0;) {
        if (r < 0) {
            count->damaged = count->damaged || s->packets < 2;
            count->odd = true;
            continue;
        }
        if (s->packets == 0) {
            OpusHead head{};
            if (opus_head_parse(&head, packet.packet, size_t(packet.bytes)) != 0) {
                count->damaged = true;
                return;
            }
            s->preSkip = head.pre_skip;
            s->streams = head.stream_count;
        } else if (s->packets == 1) {
            // libopusfile refuses tags it cannot parse, and tags that share their page with more.
            count->odd = count->odd || opus_tags_parse(nullptr, packet.packet, size_t(packet.bytes)) != 0 ||
                         ogg_page_bos(page) || ogg_stream_packetpeek(&chain->stream, nullptr) != 0 ||
                         page->header[page->header_len - 1] == 255;
        } else {
            count->audio = true;
            const int frames = opus_packet_get_nb_samples(packet.packet, opus_int32(packet.bytes), 48000);
            // Its decoder stops at a packet whose frames it cannot parse, and leaves out one whose
            // table of contents is invalid; the frames of several streams are not checked here.
            const unsigned char* parts[48];
            opus_int16 sizes[48];
            count->odd = count->odd || frames <= 0 || s->streams != 1 ||
                         opus_packet_parse(packet.packet, opus_int32(packet.bytes), nullptr, parts, sizes, nullptr) < 0;
            count->frames += std::max(frames, 0);
        }
        ++s->packets;
    }
    // libopusfile trims the last page's packets to its granule, any number of them.
    count->trimmable = count->frames;
}

int64_t opusLinkFrames(OggChain* chain, int64_t start, int64_t lastGranule)
{
    const OpusScan* s = static_cast<const OpusScan*>(chain->codecState);
    return lastGranule - start - (s ? s->preSkip : 0);
}

void opusFreeCodec(OggChain* chain)
{
    delete static_cast<OpusScan*>(chain->codecState);
    chain->codecState = nullptr;
}

int windowRead(void* source, unsigned char* out, int bytes)
{
    const ssize_t got = oggWindowRead(static_cast<FileWindow*>(source), out, size_t(std::max(bytes, 0)));
    return got < 0 ? -1 : int(got);
}

// The link read straight on through the window: its open reads the headers only.
void* opusOpenLink(OggChain* chain)
{
    const OpusFileCallbacks callbacks = {windowRead, nullptr, nullptr, nullptr};
    int error = 0;
    return op_open_callbacks(&chain->window, &callbacks, nullptr, 0, &error);
}

int64_t opusReadLink(void* link, int16_t* out, int64_t frames, int channels)
{
    OggOpusFile* file = static_cast<OggOpusFile*>(link);
    for (;;) {
        int index = 0;
        const int got = op_read(file, out, int(std::min<int64_t>(frames * channels, 1 << 20)), &index);
        if (got == OP_HOLE)
            continue;
        const OpusHead* head = got > 0 ? op_head(file, index) : nullptr;
        if (!head || head->channel_count != channels)
            return 0;
        return got;
    }
}

void opusCloseLink(void* link)
{
    op_free(static_cast<OggOpusFile*>(link));
}

const OggCodec opusCodec = {
    "not a readable Ogg Opus stream", "OpusHead", 8, opusIdentify, opusCountPage, opusLinkFrames,
    opusOpenLink, opusReadLink, opusCloseLink, opusFreeCodec,
};

bool opusOpen(Decoder* decoder, int fd)
{
    return oggChainOpen(decoder, fd, &opusCodec);
}

} // namespace

const DecoderFamily opusDecoder = {"libopusfile", opusOpen, oggChainRead, oggChainToStart, oggChainClose};
