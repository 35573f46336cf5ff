// Numbers as files store them, and the ID3v2 tag that taggers put in front of any format. Header
// only: the FFmpeg module, a library of its own, reads with the same rules.
#pragma once

#include <cstdint>
#include <cstring>

inline uint32_t le16(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}

inline uint32_t le32(const unsigned char* p)
{
    return le16(p) | le16(p + 2) << 16;
}

inline uint64_t le64(const unsigned char* p)
{
    return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32;
}

inline uint32_t be16(const unsigned char* p)
{
    return uint32_t(p[0]) << 8 | uint32_t(p[1]);
}

inline uint32_t be32(const unsigned char* p)
{
    return be16(p) << 16 | be16(p + 2);
}

inline uint64_t be64(const unsigned char* p)
{
    return uint64_t(be32(p)) << 32 | be32(p + 4);
}

// An ID3v2 tag's header is this long; its size is stored in 7 bits a byte.
constexpr int id3v2HeaderBytes = 10;

// Bytes the ID3v2 tag that starts `head` takes, its footer included; 0 where none starts there or
// its size bytes are not the tag's (a high bit set), as the demuxers and libmpg123 judge it.
inline int64_t id3v2Bytes(const unsigned char* head, int64_t size)
{
    if (size < id3v2HeaderBytes || std::memcmp(head, "ID3", 3) != 0 || head[3] == 0xFF || head[4] == 0xFF ||
        ((head[6] | head[7] | head[8] | head[9]) & 0x80))
        return 0;
    const int64_t body = int64_t(head[6]) << 21 | head[7] << 14 | head[8] << 7 | head[9];
    return id3v2HeaderBytes + body + ((head[5] & 0x10) ? 10 : 0);
}
