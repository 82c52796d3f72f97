#include "engine/wav_layout.h"

#include <cstring>
#include <unistd.h>

namespace tw::encode {

namespace {

uint32_t get32(const unsigned char* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}
uint16_t get16(const unsigned char* at) {
    return uint16_t(at[0] | at[1] << 8);
}
uint64_t get64(const unsigned char* at) {
    return uint64_t(get32(at)) | uint64_t(get32(at + 4)) << 32;
}

bool readAt(int fd, uint64_t offset, void* to, size_t bytes) {
    return ::pread(fd, to, bytes, static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes);
}

// The chunks a header may hold before its data, at most; a file with more is not ours.
constexpr int kMaxChunks = 64;

} // namespace

std::optional<WavLayout> readWavLayout(int fd) {
    unsigned char head[12];
    if (!readAt(fd, 0, head, sizeof head) || std::memcmp(head + 8, "WAVE", 4) != 0)
        return std::nullopt;
    const bool rf64 = std::memcmp(head, "RF64", 4) == 0;
    if (!rf64 && std::memcmp(head, "RIFF", 4) != 0)
        return std::nullopt;
    WavLayout layout;
    std::optional<uint64_t> ds64Data;
    bool haveFormat = false;
    uint64_t at = 12;
    for (int i = 0; i < kMaxChunks; ++i) {
        unsigned char chunk[8];
        if (!readAt(fd, at, chunk, sizeof chunk))
            return std::nullopt;
        const uint32_t size = get32(chunk + 4);
        if (std::memcmp(chunk, "ds64", 4) == 0) {
            unsigned char body[16];
            if (size < sizeof body || !readAt(fd, at + 8, body, sizeof body))
                return std::nullopt;
            ds64Data = get64(body + 8);
        } else if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char body[16];
            if (size < sizeof body || !readAt(fd, at + 8, body, sizeof body) || get16(body) != 1)
                return std::nullopt;
            layout.channels = get16(body + 2);
            layout.rate = static_cast<int>(get32(body + 4));
            layout.bits = get16(body + 14);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat || layout.channels < 1 || layout.channels > 2 || layout.rate <= 0 ||
                (layout.bits != 8 && layout.bits != 16))
                return std::nullopt;
            layout.dataOffset = at + 8;
            layout.dataBytes = rf64 && size == 0xFFFFFFFFu && ds64Data ? *ds64Data : size;
            return layout;
        }
        at += 8 + size + (size & 1);
    }
    return std::nullopt;
}

} // namespace tw::encode
