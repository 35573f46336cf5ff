// Decoding for the music service: one family of formats per library, behind one small interface.
// A decoder is opened on the main thread; reads and the return to the start happen on the stream's
// decoding thread only; it is closed once that thread has ended.
#pragma once

#include <cstddef>
#include <cstdint>

struct Decoder;

struct DecoderFamily {
    const char* name;
    // Takes the open file descriptor: on success the decoder owns it, on failure the caller does.
    bool (*open)(Decoder* decoder, int fd);
    // Up to `frames` frames of interleaved 16-bit samples at the decoder's channel count; 0 at the end
    // or on an error the decoder cannot get past.
    int64_t (*read)(Decoder* decoder, int16_t* out, int64_t frames);
    // Back to frame 0 of the file it has open; false when it cannot.
    bool (*toStart)(Decoder* decoder);
    void (*close)(Decoder* decoder);
};

struct Decoder {
    const DecoderFamily* family;
    void* handle;
    int rate;
    int channels;
    // Exact where the format or a scan of it says so; an estimate only where noted by the family.
    int64_t frames;
    char error[160];
};

extern const DecoderFamily mpegDecoder;
extern const DecoderFamily vorbisDecoder;
extern const DecoderFamily opusDecoder;
extern const DecoderFamily sndfileDecoder;

// Chooses the family by the file's content, never its name, and opens it. On failure
// decoder->error says why.
bool decoderOpen(Decoder* decoder, const char* path);
void decoderClose(Decoder* decoder);

// Sets the decoder's error text; returns false, for failing opens.
bool decoderFail(Decoder* decoder, const char* text);
