#include "platform/music/decoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool decoderFail(Decoder* decoder, const char* text)
{
    std::snprintf(decoder->error, sizeof decoder->error, "%s", text);
    return false;
}

// Bytes in the MPEG audio frame whose header starts at `h`, or 0 when it is no frame header.
static int mpegFrameBytes(const unsigned char* h)
{
    static const short kbps[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
    };
    static const int rates[3] = {44100, 48000, 32000};
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    const int version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
    const int layer = 3 - ((h[1] >> 1) & 3);  // 0: I, 1: II, 2: III
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer == 3 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return 0;
    const int rate = rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const int bitrate = kbps[version == 3 ? 0 : 1][layer][bitrateIndex] * 1000;
    const int padding = (h[2] >> 1) & 1;
    if (layer == 0)
        return (12 * bitrate / rate + padding) * 4;
    return (layer == 2 && version != 3 ? 72 : 144) * bitrate / rate + padding;
}

// An ID3 tag in front, or two frame headers in a row: one alone is too easily found by chance.
static bool looksLikeMpeg(int fd, const unsigned char* head, ssize_t size)
{
    if (size >= 10 && std::memcmp(head, "ID3", 3) == 0)
        return true;
    const int bytes = size >= 4 ? mpegFrameBytes(head) : 0;
    unsigned char next[4];
    return bytes > 0 && pread(fd, next, sizeof next, bytes) == sizeof next && mpegFrameBytes(next) > 0;
}

// Ogg carries several codecs; the first packet, right after the first page's header, names it.
static const DecoderFamily* chooseFamily(int fd, const unsigned char* head, ssize_t size)
{
    if (size >= 36 && std::memcmp(head, "OggS", 4) == 0) {
        if (std::memcmp(head + 28, "\x01vorbis", 7) == 0)
            return &vorbisDecoder;
        if (std::memcmp(head + 28, "OpusHead", 8) == 0)
            return &opusDecoder;
    }
    if (looksLikeMpeg(fd, head, size))
        return &mpegDecoder;
    // Everything else; MPEG audio that starts otherwise, libsndfile recognises and hands on.
    return &sndfileDecoder;
}

bool decoderOpen(Decoder* decoder, const char* path)
{
    *decoder = Decoder{};
    // Non-blocking, so that a FIFO in its place cannot hang the start.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return decoderFail(decoder, std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return decoderFail(decoder, S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file");
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    unsigned char head[64];
    const ssize_t size = pread(fd, head, sizeof head, 0);
    decoder->family = chooseFamily(fd, head, size);
    if (!decoder->family->open(decoder, fd)) {
        close(fd);
        decoder->family = nullptr;
        return false;
    }
    // Whatever the library says, the rest of the service needs a format it can play.
    if (decoder->rate < 1 || decoder->channels < 1 || decoder->frames < 0) {
        decoderClose(decoder);
        return decoderFail(decoder, "unusable stream format");
    }
    return true;
}

void decoderClose(Decoder* decoder)
{
    if (decoder->family)
        decoder->family->close(decoder);
    decoder->family = nullptr;
    decoder->handle = nullptr;
}
