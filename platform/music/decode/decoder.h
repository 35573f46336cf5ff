// Decoding for the music service: one family of formats per library, behind one small interface.
// A decoder is opened on the main thread; reads and the return to the start happen on the stream's
// decoding thread only; it is closed once that thread has ended.
//
// The reads deliver what the family decodes, to where it says the stream ends; nothing is cut or
// padded to a count. The length is worked out apart from them, at open, and only for the display and
// the position's end: the position waits short of it until the last frame delivered is heard.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct Decoder;

// Where a channel is meant to be heard, by the names the formats give (FFmpeg's channels, the
// WAVEFORMATEXTENSIBLE mask, libsndfile's map). A file that names no speakers has the WAV order's
// for its channel count; a channel named as none of these is speakerUnknown, never a place.
enum Speaker : uint8_t {
    speakerMono,
    speakerFrontLeft,
    speakerFrontRight,
    speakerFrontCenter,
    speakerLfe,
    speakerRearLeft,
    speakerRearRight,
    speakerRearCenter,
    speakerSideLeft,
    speakerSideRight,
    speakerFrontLeftOfCenter,
    speakerFrontRightOfCenter,
    // Heights, from here on.
    speakerTopCenter,
    speakerTopFrontLeft,
    speakerTopFrontCenter,
    speakerTopFrontRight,
    speakerTopRearLeft,
    speakerTopRearCenter,
    speakerTopRearRight,
    // Named by some formats, but by no sound server: the stream carries them mixed into the nearest
    // of the speakers above.
    speakerTopSideLeft,
    speakerTopSideRight,
    speakerWideLeft,
    speakerWideRight,
    speakerSurroundDirectLeft,
    speakerSurroundDirectRight,
    speakerBottomFrontLeft,
    speakerBottomFrontCenter,
    speakerBottomFrontRight,
    speakerLfe2,
    speakerUnknown,
    speakerCount
};
// Speakers from here on are never in a stream's layout.
constexpr Speaker speakerFirstUnplayable = speakerTopSideLeft;

// The speakers of the WAVEFORMATEXTENSIBLE channel mask, bit by bit.
constexpr int maskSpeakerBits = 18;
constexpr Speaker maskSpeakers[maskSpeakerBits] = {
    speakerFrontLeft,     speakerFrontRight,     speakerFrontCenter,    speakerLfe,
    speakerRearLeft,      speakerRearRight,      speakerFrontLeftOfCenter, speakerFrontRightOfCenter,
    speakerRearCenter,    speakerSideLeft,       speakerSideRight,      speakerTopCenter,
    speakerTopFrontLeft,  speakerTopFrontCenter, speakerTopFrontRight,  speakerTopRearLeft,
    speakerTopRearCenter, speakerTopRearRight,
};

// Outputs take at most this many channels; more are mixed down to stereo.
constexpr int layoutChannelLimit = 8;
// Formats beyond these are damaged headers, not music.
constexpr int decoderRateMin = 1000;
constexpr int decoderRateMax = 768000;
constexpr int decoderChannelMax = 255;

// The format of what a read delivered: one link of a chain, or the whole file.
struct LinkFormat {
    int rate;
    int channels;
    Speaker layout[layoutChannelLimit];  // meaningful for up to layoutChannelLimit channels
};

struct DecoderFamily {
    const char* name;
    // Takes the open file descriptor: on success the decoder owns it, on failure the caller does.
    bool (*open)(Decoder* decoder, int fd);
    // Up to `samples` interleaved 16-bit samples, whole frames of one link only, whose format it
    // writes to *link. Returns frames; 0 at the end or on an error the decoder cannot get past.
    int64_t (*read)(Decoder* decoder, int16_t* out, int64_t samples, LinkFormat* link);
    // Back to frame 0 of the file it has open; false when it cannot.
    bool (*toStart)(Decoder* decoder);
    void (*close)(Decoder* decoder);
};

// How long the stream is at its rate, every link counted as heard after conversion: what the file
// states or cheaply shows, worked out once at open by one bounded probe of the family. For the
// display and the position's end only: no read is ever cut or padded to it.
struct DecoderLength {
    int64_t frames;
    bool exact;  // false: an estimate, which the stream's own end overrules
};

// What a decoder's reads may still take, in bytes of the file and of the samples they decode:
// bounded while the stream's head is decoded at open, so that no file, however crafted, holds the
// caller's thread for long. Unbounded as it starts.
struct ReadAllowance {
    bool bounded;
    int64_t left;
};
// What may still be read of it at once: everything while it is unbounded.
int64_t allowanceLeft(const ReadAllowance* allowance);
// Takes `bytes` from it, or what is left; false once it is spent.
bool allowanceTake(ReadAllowance* allowance, int64_t bytes);

struct ConvertState;

struct Decoder {
    const DecoderFamily* family;
    void* handle;
    // The stream's format, the first link's: what the length is counted in. `layout` is the file's.
    int rate;
    int channels;
    Speaker layout[layoutChannelLimit];
    // The frames decoderRead delivers: the speakers an output can name (streamLayout), or two where
    // there are more than eight channels.
    int outChannels;
    Speaker outLayout[layoutChannelLimit];
    DecoderLength length;
    ReadAllowance allowance;
    ConvertState* convert;
    char error[160];
};

extern const DecoderFamily mpegDecoder;
extern const DecoderFamily vorbisDecoder;
extern const DecoderFamily opusDecoder;
extern const DecoderFamily sndfileDecoder;
extern const DecoderFamily flacDecoder;

// Chooses the family by the file's content, never its name, and opens it. On failure
// decoder->error says why.
bool decoderOpen(Decoder* decoder, const char* path);
void decoderClose(Decoder* decoder);
// Up to `frames` frames at the stream's rate and outChannels, every link converted to them; fewer
// only at the end of the stream, 0 after it.
int64_t decoderRead(Decoder* decoder, int16_t* out, int64_t frames);
bool decoderToStart(Decoder* decoder);

// One MPEG audio frame header; `kind` is its version, layer and rate, which a stream keeps.
struct MpegFrame {
    int64_t bytes;  // of the frame, or of a run of frames
    int rate;
    int channels;
    int64_t samples;
    int kind;
};
bool mpegFrameParse(const unsigned char* header, MpegFrame* frame);
// Where the first two frames in a row start, searching `limit` bytes from `from`; -1 where none.
int64_t mpegFindFramePair(int fd, int64_t from, int64_t limit);
// MPEG audio from byte `start` of the file, whatever comes before.
bool mpegOpenAt(Decoder* decoder, int fd, int64_t start);

// A file read through a block of our own: libraries that read a few bytes at a time would make a
// system call of each. What they see starts at byte `base` and holds `size` bytes.
struct FileWindow {
    int fd;
    off_t base;
    off_t size;
    off_t position;
    off_t bufferStart;
    size_t bufferLength;
    size_t capacity;
    unsigned char* buffer;  // of `capacity` bytes, left as it comes: each is written before it is read
    ReadAllowance* allowance;  // the decoder's, which what is read is taken from
};
void fileWindowStart(FileWindow* window, int fd, off_t base, off_t size, unsigned char* buffer, size_t capacity,
                     ReadAllowance* allowance);
// Up to `bytes` from the position on; fewer only at the end, on an error, or once the allowance is spent.
ssize_t fileWindowRead(FileWindow* window, void* out, size_t bytes);

// A seek in a file of `size` bytes read through callbacks of our own: the new position, or -1.
int64_t seekWithin(off_t* position, off_t size, int64_t offset, int whence);

// Sets the decoder's error text; returns false, for failing opens.
bool decoderFail(Decoder* decoder, const char* text);
// The layout a file in the Vorbis order has (Vorbis, Opus family 1), and the WAV order's default.
void layoutVorbis(Speaker* layout, int channels);
// Inline: the FFmpeg module has it too.
inline void layoutWav(Speaker* layout, int channels)
{
    static constexpr Speaker order[layoutChannelLimit] = {
        speakerFrontLeft, speakerFrontRight, speakerFrontCenter, speakerLfe,
        speakerRearLeft,  speakerRearRight,  speakerSideLeft,    speakerSideRight,
    };
    for (int c = 0; c < layoutChannelLimit; ++c)
        layout[c] = order[c];
    if (channels == 1)
        layout[0] = speakerMono;
}
// The speakers a mask names, in mask order, where it names as many as there are channels.
bool layoutFromMask(Speaker* layout, int channels, uint64_t mask);
// Frames of `frames` at `from` Hz, counted at `to` Hz.
int64_t framesAtRate(int64_t frames, int from, int to);
