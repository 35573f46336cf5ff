// Ogg chains for the Vorbis and Opus families: the file's links found from their pages by us, and
// decoded one at a time through a window on the file, each to its decoder's end. The length is each
// link's last granule, for as many links as an open may scan. Nothing is kept for a link once it has
// been counted or played, so a chain of any number of links costs what its largest link does.
#pragma once

#include <ogg/ogg.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/music/decode/decoder.h"

struct OggChain;

// One link as its pages tell it.
struct OggLink {
    int64_t start;  // bytes of the file, from its first page to the next link's
    int64_t end;
    bool usable;   // the codec's stream is there and its headers read
    bool counted;  // its pages scanned to its end, no hole passed over
    LinkFormat format;
    int64_t frames;  // what its decoder yields, at its own rate
};

struct OggCodec {
    const char* name;
    const char* magic;  // the first packet of the codec's stream starts so
    size_t magicBytes;
    // The link's format from the first packet; false when it cannot be music.
    bool (*identify)(const ogg_packet* packet, OggLink* link);
    // Fed the codec stream's pages from its first on: the granule at which the first audio page
    // starts once it knows (>= 0), -1 while it needs more, -2 when the headers are damaged.
    int64_t (*startGranule)(OggChain* chain, ogg_page* page);
    // Frames the link yields from its start to the last granule.
    int64_t (*linkFrames)(OggChain* chain, int64_t start, int64_t lastGranule);
    // A decoder for the link whose bytes `chain->window` holds; null when it cannot be opened.
    void* (*openLink)(OggChain* chain);
    // Up to `frames` frames of the link's channels; 0 at its end or on an error it cannot get past.
    int64_t (*readLink)(void* link, int16_t* out, int64_t frames, int channels);
    void (*closeLink)(void* link);
    // What it keeps between links, made on first use and freed with the chain.
    void (*freeCodec)(OggChain* chain);
};

struct OggChain {
    const OggCodec* codec;
    int fd;
    int64_t size;
    // The scan: libogg's own page capture and checksum, so that it sees the pages the decoder sees.
    ogg_sync_state sync;
    int64_t syncAt;  // file offset of what the sync state returns next
    int64_t readAt;  // of what it is fed next
    int64_t bytesScanned;
    // The first page of the next link, where the scan of one link ended: given again when the
    // next scan starts there, since libogg cannot go back to a page it returned.
    std::vector<unsigned char> heldPage;
    long heldHeader;
    int64_t heldAt;
    bool heldValid;
    bool replayHeld;
    // The codec's work of counting a link's start, and what it keeps from one link to the next.
    ogg_stream_state stream;
    bool streamUsed;
    void* codecState;
    // The link being played.
    OggLink link;
    bool linkOpen;
    void* linkDecoder;
    int64_t nextStart;
    FileWindow window;
    std::unique_ptr<unsigned char[]> windowBuffer;
};

// Scans the chain's first links and fills the decoder's format and length; the decoder owns `fd` on
// success.
bool oggChainOpen(Decoder* decoder, int fd, const OggCodec* codec);
int64_t oggChainRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* format);
bool oggChainToStart(Decoder* decoder);
void oggChainClose(Decoder* decoder);
