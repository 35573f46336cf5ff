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
    // Its count is what its decoder delivers: its pages walked or searched to its end, no junk or
    // hole between them, and where walked, every packet counted and every granule agreeing.
    bool counted;
    LinkFormat format;
    int64_t frames;  // what its decoder yields, at its own rate
};

// What the codec's packets completed on one page of its stream come to.
struct PageCount {
    bool damaged;   // headers it cannot be counted from: the link cannot be played
    bool audio;     // audio packets complete on it: the headers are over
    int64_t frames;  // what they decode to
    int64_t trimmable;  // of those, how many an end granule may leave out, as its decoder trims
    // Something its library takes otherwise than the count: headers it refuses, a packet it leaves
    // out or cannot decode, a link of packets that cannot be checked here.
    bool odd;
};

struct OggCodec {
    const char* name;
    const char* magic;  // the first packet of the codec's stream starts so
    size_t magicBytes;
    // The link's format from the first packet; false when it cannot be music.
    bool (*identify)(const ogg_packet* packet, OggLink* link);
    // Fed the codec stream's pages in order from its first.
    void (*countPage)(OggChain* chain, ogg_page* page, PageCount* count);
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
    int64_t bytesScanned;  // and what libogg may checksum of them
    ReadAllowance* allowance;  // the decoder's
    int64_t skipped;  // bytes passed over that are no page
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

// HACK: libogg 1.3.5 checksums every capture that starts "OggS" once the bytes its header claims
// are in, and goes on a byte after one that fails: junk of overlapping captures costs it thousands of
// times its size. How many of `size` bytes may be handed to it for `budget` of work, the bytes and
// what it may checksum of the captures they start; *work says what those cost.
size_t oggAffordable(const unsigned char* bytes, size_t size, int64_t budget, int64_t* work);
// The link's window read as its decoder's library reads it, what libogg may checksum of it taken
// from the allowance too: fewer bytes, none once it is spent.
ssize_t oggWindowRead(FileWindow* window, void* out, size_t bytes);

// Scans the chain's first links and fills the decoder's format and length; the decoder owns `fd` on
// success.
bool oggChainOpen(Decoder* decoder, int fd, const OggCodec* codec);
int64_t oggChainRead(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* format);
bool oggChainToStart(Decoder* decoder);
void oggChainClose(Decoder* decoder);
