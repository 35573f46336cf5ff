#include "platform/music/decode/decoder.h"

#include "platform/music/decode/bytes.h"

#include "platform/music/decode/convert.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

bool decoderFail(Decoder* decoder, const char* text)
{
    std::snprintf(decoder->error, sizeof decoder->error, "%s", text);
    return false;
}

int64_t seekWithin(off_t* position, off_t size, int64_t offset, int whence)
{
    const off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? *position : size;
    if (base + offset < 0)
        return -1;
    *position = off_t(base + offset);
    return *position;
}

int64_t allowanceLeft(const ReadAllowance* allowance)
{
    return allowance && allowance->bounded ? allowance->left : INT64_MAX;
}

bool allowanceTake(ReadAllowance* allowance, int64_t bytes)
{
    if (!allowance || !allowance->bounded)
        return true;
    allowance->left -= std::clamp<int64_t>(bytes, 0, allowance->left);
    return allowance->left > 0;
}

void fileWindowStart(FileWindow* window, int fd, off_t base, off_t size, unsigned char* buffer, size_t capacity,
                     ReadAllowance* allowance)
{
    *window = FileWindow{fd, base, size, 0, 0, 0, capacity, buffer, allowance};
}

ssize_t fileWindowRead(FileWindow* w, void* out, size_t bytes)
{
    unsigned char* dst = static_cast<unsigned char*>(out);
    bytes = size_t(std::min<off_t>({off_t(bytes), std::max<off_t>(0, w->size - w->position), off_t(allowanceLeft(w->allowance))}));
    size_t done = 0;
    while (done < bytes) {
        const off_t end = w->bufferStart + off_t(w->bufferLength);
        if (w->position >= w->bufferStart && w->position < end) {
            const size_t take = std::min(bytes - done, size_t(end - w->position));
            std::memcpy(dst + done, w->buffer + (w->position - w->bufferStart), take);
            done += take;
            w->position += off_t(take);
            continue;
        }
        // Reads as large as the block go straight to the caller.
        const bool direct = bytes - done >= w->capacity;
        const ssize_t got = direct ? pread(w->fd, dst + done, bytes - done, w->base + w->position)
                                   : pread(w->fd, w->buffer, w->capacity, w->base + w->position);
        if (got <= 0)
            break;
        if (direct) {
            done += size_t(got);
            w->position += got;
        } else {
            w->bufferStart = w->position;
            w->bufferLength = size_t(got);
        }
    }
    allowanceTake(w->allowance, int64_t(done));
    return ssize_t(done);
}

bool mpegFrameParse(const unsigned char* h, MpegFrame* frame)
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
        return false;
    const int version = (h[1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
    const int layer = 3 - ((h[1] >> 1) & 3);  // 0: I, 1: II, 2: III
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer == 3 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return false;
    const int rate = rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const int bitrate = kbps[version == 3 ? 0 : 1][layer][bitrateIndex] * 1000;
    const int padding = (h[2] >> 1) & 1;
    frame->rate = rate;
    frame->channels = (h[3] >> 6) == 3 ? 1 : 2;
    frame->samples = layer == 0 ? 384 : layer == 2 && version != 3 ? 576 : 1152;
    frame->bytes = layer == 0 ? (12 * bitrate / rate + padding) * 4
                              : (layer == 2 && version != 3 ? 72 : 144) * bitrate / rate + padding;
    frame->kind = (h[1] & 0x1E) | (h[2] & 0x0C) << 3;
    return true;
}

static int mpegFrameBytes(const unsigned char* h)
{
    MpegFrame frame{};
    return mpegFrameParse(h, &frame) ? frame.bytes : 0;
}

int64_t mpegFindFramePair(int fd, int64_t from, int64_t limit)
{
    unsigned char buffer[8192 + 4];
    for (int64_t at = from; at < from + limit; at += 8192) {
        const ssize_t got = pread(fd, buffer, sizeof buffer, at);
        if (got < 4)
            return -1;
        for (ssize_t i = 0; i + 4 <= got && i < 8192; ++i) {
            MpegFrame first{}, second{};
            unsigned char next[4];
            if (!mpegFrameParse(buffer + i, &first))
                continue;
            // The second header must follow where the first frame ends, with the same version,
            // layer and rate: one alone is too easily found by chance. Most lie in what was read.
            const int64_t nextAt = i + first.bytes;
            const unsigned char* h = next;
            if (nextAt + 4 <= got)
                h = buffer + nextAt;
            else if (pread(fd, next, sizeof next, at + nextAt) != sizeof next)
                continue;
            if (mpegFrameParse(h, &second) && second.kind == first.kind)
                return at + i;
        }
    }
    return -1;
}

// An ID3 tag in front, or two frame headers in a row: one alone is too easily found by chance.
static bool looksLikeMpeg(int fd, const unsigned char* head, ssize_t size)
{
    if (id3v2Bytes(head, size) > 0)
        return true;
    const int bytes = size >= 4 ? mpegFrameBytes(head) : 0;
    unsigned char next[4];
    if (bytes > 0 && pread(fd, next, sizeof next, bytes) == sizeof next && mpegFrameBytes(next) > 0)
        return true;
    // A frame header at the very start whose frame is damaged: no other format starts so, and
    // libsndfile would find the frames behind it only by a slow scan of its own.
    return bytes > 0 && mpegFindFramePair(fd, 0, 64 * 1024) >= 0;
}

// A container that names itself where the file's audio starts: what follows is its own, however
// damaged, and frame headers found in its packets are chance.
static bool containerAt(int fd, int64_t at)
{
    unsigned char head[48] = {};
    if (pread(fd, head, sizeof head, at) < 12)
        return false;
    static const char* const atStart[] = {"OggS", "wvpk", "\x1A\x45\xDF\xA3", "\x30\x26\xB2\x75", "TTA1",
                                          "MAC ", "MPCK", "MP+", "IMPM", "Extended Module: ", "\x0B\x77"};
    for (const char* magic : atStart)
        if (std::memcmp(head, magic, std::strlen(magic)) == 0)
            return true;
    if (std::memcmp(head + 4, "ftyp", 4) == 0 || std::memcmp(head + 44, "SCRM", 4) == 0)
        return true;
    // ADTS: a frame header whose length leads to another.
    const int bytes = (head[3] & 3) << 11 | head[4] << 3 | head[5] >> 5;
    unsigned char next[2];
    return head[0] == 0xFF && (head[1] & 0xF6) == 0xF0 && bytes >= 7 && pread(fd, next, sizeof next, at + bytes) == sizeof next &&
           next[0] == 0xFF && (next[1] & 0xF6) == 0xF0;
}

// At the first byte, or behind an ID3v2 tag, as taggers put one in front of any format.
static bool startsAsContainer(int fd)
{
    unsigned char head[10];
    const ssize_t got = pread(fd, head, sizeof head, 0);
    const int64_t tag = id3v2Bytes(head, got);
    return containerAt(fd, 0) || (tag > 0 && containerAt(fd, tag));
}

// Ogg carries several codecs; the first packet, right after the first page's header, names it.
// Some taggers put an ID3v2 tag in front of any format: what follows it decides.
static const DecoderFamily* chooseFamily(int fd, const unsigned char* head, ssize_t size)
{
    if (const int64_t tag = id3v2Bytes(head, size)) {
        unsigned char after[64];
        const ssize_t got = pread(fd, after, sizeof after, tag);
        if (got >= 4 && std::memcmp(after, "fLaC", 4) == 0)
            return &flacDecoder;
        // libsndfile passes over the tag itself, and hands on a container it declines (the module
        // plays it); MPEG audio, or what no family knows, stays MPEG's.
        if ((got >= 12 && (std::memcmp(after, "RIFF", 4) == 0 || std::memcmp(after, "FORM", 4) == 0 ||
                           std::memcmp(after, "caff", 4) == 0 || std::memcmp(after, ".snd", 4) == 0)) ||
            containerAt(fd, tag))
            return &sndfileDecoder;
    }
    if (size >= 4 && std::memcmp(head, "fLaC", 4) == 0)
        return &flacDecoder;
    // The first packet starts after the page's segment table, of one entry unless it is long.
    const ssize_t first = size >= 27 ? 27 + head[26] : size;
    if (std::memcmp(head, "OggS", 4) == 0 && first + 8 <= size) {
        if (std::memcmp(head + first, "\x01vorbis", 7) == 0)
            return &vorbisDecoder;
        if (std::memcmp(head + first, "OpusHead", 8) == 0)
            return &opusDecoder;
    }
    if (looksLikeMpeg(fd, head, size))
        return &mpegDecoder;
    // Everything else; MPEG audio that starts otherwise, libsndfile recognises and hands on.
    return &sndfileDecoder;
}

// What libsndfile does not recognise may still be MPEG audio after some junk, as players find it.
static bool openAfterJunk(Decoder* decoder, int fd)
{
    if (startsAsContainer(fd))
        return false;
    constexpr int64_t junkLimit = 64 * 1024;
    const int64_t start = mpegFindFramePair(fd, 0, junkLimit);
    if (start < 0)
        return false;
    decoder->family = &mpegDecoder;
    return mpegOpenAt(decoder, fd, start);
}

// The family on libavformat lives in a module of its own, loaded the first time a file needs it:
// next to the binary in the build tree, or in the libdir where it is installed. Never unloaded.
// Where it is there but cannot be loaded (a library it needs, another build), *why says what
// stopped it; where it is not there, nothing.
static const DecoderFamily* ffmpegFamily(const char** why)
{
    static bool tried = false;
    static const DecoderFamily* family = nullptr;
    static char reason[sizeof Decoder::error] = "";
    *why = reason[0] ? reason : nullptr;
    if (tried)
        return family;
    tried = true;
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0)
        return nullptr;
    exe[length] = 0;
    *std::strrchr(exe, '/') = 0;
    for (const char* relative : {"", "/" QUILLVANE_MODULE_DIR}) {
        char path[PATH_MAX + 64];
        std::snprintf(path, sizeof path, "%s%s/libquillvane-ffmpeg.so", exe, relative);
        if (access(path, F_OK) != 0)
            continue;
        void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        using Entry = const DecoderFamily* (*)(const char*);
        const Entry entry = module ? reinterpret_cast<Entry>(dlsym(module, "quillvaneFfmpegModule")) : nullptr;
        family = entry ? entry(QUILLVANE_DECODER_BUILD) : nullptr;
        if (!family)
            std::snprintf(reason, sizeof reason, "%s", module ? "libquillvane-ffmpeg.so is of another build" : dlerror());
        break;
    }
    *why = reason[0] ? reason : nullptr;
    return family;
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
    bool opened = decoder->family->open(decoder, fd);
    if (!opened && decoder->family == &sndfileDecoder) {
        char why[sizeof decoder->error];
        std::memcpy(why, decoder->error, sizeof why);
        opened = openAfterJunk(decoder, fd);
        // Everything the dedicated families do not recognise. Where the module cannot play it
        // either, its reason where it recognised the file, else the first family's; where it
        // cannot be loaded, what stopped it.
        const char* missing = nullptr;
        const DecoderFamily* other = opened ? nullptr : ffmpegFamily(&missing);
        if (other) {
            decoder->family = other;
            decoder->error[0] = 0;
            opened = other->open(decoder, fd);
        }
        if (!opened && !(other && decoder->error[0]))
            std::snprintf(decoder->error, sizeof decoder->error, "%s", other || !missing ? why : missing);
    }
    if (!opened) {
        close(fd);
        decoder->family = nullptr;
        return false;
    }
    // Whatever the header claims, nothing is sized from it unless it is a format that can be music.
    if (decoder->rate < decoderRateMin || decoder->rate > decoderRateMax || decoder->channels < 1 ||
        decoder->channels > decoderChannelMax || decoder->length.frames < 0) {
        decoderClose(decoder);
        return decoderFail(decoder, "unusable stream format");
    }
    if (decoder->channels <= layoutChannelLimit) {
        decoder->outChannels = streamLayout(decoder->layout, decoder->channels, decoder->outLayout);
    } else {
        decoder->outChannels = 2;
        layoutWav(decoder->outLayout, 2);
    }
    convertOpen(decoder);
    return true;
}

void decoderClose(Decoder* decoder)
{
    convertClose(decoder);
    if (decoder->family)
        decoder->family->close(decoder);
    decoder->family = nullptr;
    decoder->handle = nullptr;
}
