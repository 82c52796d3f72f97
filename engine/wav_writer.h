// The capture's WAV file, written as it grows. Below 4 GiB it is the plain PCM WAV every reader
// opens (format tag 1, a 44-byte header); a take that outgrows the 32-bit sizes turns into RF64
// on the spot and goes on.
#pragma once

#include "engine/capture_file.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tw::engine {

class WavWriter {
  public:
    struct Format {
        int channels;
        int rate;
        int bits; // 8 (unsigned) or 16 (signed)
    };
    // The largest plain data chunk: its RIFF size, with a pad byte, still fits in 32 bits.
    static constexpr uint64_t kPlainLimit = 0xFFFFFFFFull - 36 - 1;
    static constexpr uint64_t kPlainDataOffset = 44;
    // Direct writes go in blocks of this size, at offsets and from addresses aligned to it.
    static constexpr size_t kDirectBlock = 4096;

    enum class Growth { Plain, Inserted, Copied };

    // `fd` is the open, empty capture at `path`; the writer takes it over. The limit is lowered
    // only to try the change to RF64 without writing gigabytes; without `mayInsert` the change
    // always copies, as it does where the file system cannot insert.
    WavWriter(Fd fd, std::string path, Format format, uint64_t plainLimit = kPlainLimit,
              bool mayInsert = true);

    bool begin(); // the header of an empty file
    // From here on, whole blocks of audio may go to the disk directly (O_DIRECT), past the page
    // cache: the kernel then neither copies them nor writes them back later, which is most of
    // a take's cost, and they are on the disk when the call returns. False where the file
    // system cannot; the writer then stays with the page cache.
    bool enableDirect();
    bool direct() const { return static_cast<bool>(direct_); }

    // Writes all of it, through the page cache. False when the disk took less than all of it;
    // dataBytes() says what it took.
    bool append(const void* data, size_t bytes);
    // Writes what can go now: with direct writes on, the header's block and then whole blocks
    // only, and `data` must be aligned like the end of the file (see ByteRing); the rest waits
    // for more audio or for append(). `taken` says how much went; false when the disk failed.
    bool appendBlocks(const void* data, size_t bytes, size_t& taken);
    // Brings the header's lengths up to the data written, so that a killed program leaves a
    // file that plays to this point.
    bool updateHeader();
    // The final header, and a pad byte after an odd-sized data chunk.
    bool finish();

    uint64_t dataBytes() const { return dataBytes_; }
    Growth growth() const { return growth_; }
    int fd() const { return fd_.get(); }
    Fd& file() { return fd_; }

  private:
    bool becomeRf64();
    // Nothing when the file system cannot insert (the data are then copied); else whether
    // the new header was written.
    std::optional<bool> insertRf64Header();
    bool copyIntoRf64();
    size_t writeAt(uint64_t offset, const void* data, size_t bytes) { // the bytes written
        return writeAt(fd_.get(), offset, data, bytes);
    }
    static size_t writeAt(int fd, uint64_t offset, const void* data, size_t bytes);
    bool writeCached(const void* data, size_t bytes);
    uint64_t end() const { return dataOffset_ + dataBytes_; }

    Fd fd_;
    Fd direct_; // the same file opened with O_DIRECT, while direct writes are on
    std::string path_;
    Format format_;
    uint64_t plainLimit_;
    bool mayInsert_;
    Growth growth_ = Growth::Plain;
    uint64_t dataOffset_ = kPlainDataOffset;
    uint64_t dataBytes_ = 0;
};

} // namespace tw::engine
