#include "engine/wav_writer.h"

#include "engine/no_replace_move.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace tw::engine {

namespace {

// RIFF head (12), ds64 (8 + 28), fmt (8 + 16), data (8).
constexpr uint64_t kRf64DataOffset = 80;
constexpr uint64_t kDs64Body = 20;

void put16(std::byte* at, uint16_t v) {
    for (int i = 0; i < 2; ++i)
        at[i] = std::byte(v >> (8 * i));
}
void put32(std::byte* at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        at[i] = std::byte(v >> (8 * i));
}
void put64(std::byte* at, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        at[i] = std::byte(v >> (8 * i));
}
void putTag(std::byte* at, const char (&tag)[5]) {
    std::memcpy(at, tag, 4);
}

void putFormat(std::byte* at, const WavWriter::Format& f) {
    const int blockAlign = f.channels * f.bits / 8;
    putTag(at, "fmt ");
    put32(at + 4, 16);
    put16(at + 8, 1); // PCM
    put16(at + 10, static_cast<uint16_t>(f.channels));
    put32(at + 12, static_cast<uint32_t>(f.rate));
    put32(at + 16, static_cast<uint32_t>(f.rate * blockAlign));
    put16(at + 20, static_cast<uint16_t>(blockAlign));
    put16(at + 22, static_cast<uint16_t>(f.bits));
}

// The ds64 body: the 64-bit RIFF and data sizes and the frame count (no table).
std::array<std::byte, 28> ds64Body(uint64_t dataOffset, uint64_t data, int blockAlign) {
    std::array<std::byte, 28> body{};
    put64(body.data(), dataOffset + data + (data & 1) - 8);
    put64(body.data() + 8, data);
    put64(body.data() + 16, data / static_cast<uint64_t>(blockAlign));
    return body;
}

// An RF64 header whose data start at `dataOffset`; room beyond its 80 bytes is a JUNK chunk.
std::vector<std::byte> rf64Header(const WavWriter::Format& f, uint64_t dataOffset, uint64_t data) {
    std::vector<std::byte> h(dataOffset);
    putTag(h.data(), "RF64");
    put32(h.data() + 4, 0xFFFFFFFFu);
    putTag(h.data() + 8, "WAVE");
    putTag(h.data() + 12, "ds64");
    put32(h.data() + 16, 28);
    const auto body = ds64Body(dataOffset, data, f.channels * f.bits / 8);
    std::memcpy(h.data() + kDs64Body, body.data(), body.size());
    putFormat(h.data() + 48, f);
    if (dataOffset > kRf64DataOffset) {
        putTag(h.data() + 72, "JUNK");
        put32(h.data() + 76, static_cast<uint32_t>(dataOffset - kRf64DataOffset - 8));
    }
    putTag(h.data() + dataOffset - 8, "data");
    put32(h.data() + dataOffset - 4, 0xFFFFFFFFu);
    return h;
}

std::array<std::byte, WavWriter::kPlainDataOffset> plainHeader(const WavWriter::Format& f,
                                                               uint64_t data) {
    std::array<std::byte, WavWriter::kPlainDataOffset> h{};
    putTag(h.data(), "RIFF");
    put32(h.data() + 4, static_cast<uint32_t>(36 + data + (data & 1)));
    putTag(h.data() + 8, "WAVE");
    putFormat(h.data() + 12, f);
    putTag(h.data() + 36, "data");
    put32(h.data() + 40, static_cast<uint32_t>(data));
    return h;
}

bool copyRange(int from, uint64_t fromOffset, int to, uint64_t toOffset, uint64_t bytes) {
    auto in = static_cast<loff_t>(fromOffset);
    auto out = static_cast<loff_t>(toOffset);
    while (bytes > 0) {
        const ssize_t n = ::copy_file_range(from, &in, to, &out, bytes, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes -= static_cast<uint64_t>(n);
    }
    return true;
}

} // namespace

WavWriter::WavWriter(Fd fd, std::string path, Format format, uint64_t plainLimit, bool mayInsert)
    : fd_(std::move(fd)), path_(std::move(path)), format_(format), plainLimit_(plainLimit),
      mayInsert_(mayInsert) {}

size_t WavWriter::writeAt(int fd, uint64_t offset, const void* data, size_t bytes) {
    const auto* from = static_cast<const std::byte*>(data);
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n =
            ::pwrite(fd, from + done, bytes - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

bool WavWriter::begin() {
    dataOffset_ = kPlainDataOffset;
    dataBytes_ = 0;
    return updateHeader();
}

bool WavWriter::enableDirect() {
    struct statx sx {};
    if (::statx(fd_.get(), "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) != 0 ||
        !(sx.stx_mask & STATX_DIOALIGN) || sx.stx_dio_offset_align == 0 ||
        sx.stx_dio_mem_align == 0 || kDirectBlock % sx.stx_dio_offset_align != 0 ||
        kDirectBlock % sx.stx_dio_mem_align != 0)
        return false;
    // A second open file of its own: the header keeps being rewritten through the page cache,
    // and the capture's flock stays with the first.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
    direct_ = Fd(::open(self.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC));
    return direct();
}

bool WavWriter::writeCached(const void* data, size_t bytes) {
    if (growth_ == Growth::Plain && dataBytes_ + bytes > plainLimit_ && !becomeRf64())
        return false;
    const size_t put = writeAt(end(), data, bytes);
    dataBytes_ += put;
    return put == bytes;
}

bool WavWriter::append(const void* data, size_t bytes) {
    // A block past the header's that the page cache holds is never written directly after:
    // the two copies could disagree.
    if (end() + bytes > kDirectBlock)
        direct_.reset();
    return writeCached(data, bytes);
}

bool WavWriter::appendBlocks(const void* data, size_t bytes, size_t& taken) {
    const uint64_t before = dataBytes_;
    const auto* from = static_cast<const std::byte*>(data);
    bool ok = true;
    if (direct() && end() < kDirectBlock) {
        // The header's block stays in the page cache: it is rewritten all along.
        const auto head = static_cast<size_t>(std::min<uint64_t>(bytes, kDirectBlock - end()));
        ok = writeCached(from, head);
        from += head;
        bytes -= head;
    }
    const size_t whole = bytes - bytes % kDirectBlock;
    if (ok && direct() && whole > 0) {
        // Past the plain sizes the header changes form and the data may move: from there on
        // the rest of the take goes through the page cache.
        if (growth_ != Growth::Plain || dataBytes_ + whole > plainLimit_ ||
            end() % kDirectBlock != 0 || reinterpret_cast<uintptr_t>(from) % kDirectBlock != 0)
            direct_.reset();
    }
    if (ok && direct() && whole > 0) {
        errno = 0;
        const size_t put = writeAt(direct_.get(), end(), from, whole);
        dataBytes_ += put;
        from += put;
        bytes -= put;
        ok = put == whole;
        // Some file systems announce direct I/O and then refuse it.
        if (put == 0 && errno == EINVAL) {
            direct_.reset();
            ok = true;
        }
    }
    if (ok && !direct() && bytes > 0)
        ok = writeCached(from, bytes);
    taken = static_cast<size_t>(dataBytes_ - before);
    return ok;
}

bool WavWriter::updateHeader() {
    if (growth_ != Growth::Plain) {
        const auto body = ds64Body(dataOffset_, dataBytes_, format_.channels * format_.bits / 8);
        return writeAt(kDs64Body, body.data(), body.size()) == body.size();
    }
    // The whole header in one write: it is a single page, and a write is a system call.
    const auto h = plainHeader(format_, dataBytes_);
    return writeAt(0, h.data(), h.size()) == h.size();
}

bool WavWriter::finish() {
    direct_.reset();
    const std::byte pad{0};
    if ((dataBytes_ & 1) && writeAt(end(), &pad, 1) != 1)
        return false;
    return updateHeader();
}

bool WavWriter::becomeRf64() {
    // The header is brought up to date first: a crash during the change leaves a file whose
    // lengths are right in whichever form it is found.
    if (!updateHeader())
        return false;
    if (mayInsert_) {
        if (const auto inserted = insertRf64Header())
            return *inserted;
    }
    return copyIntoRf64();
}

// Where the file system can insert whole blocks at the start of a file (ext4, XFS), the data
// stay where they are on disk and the new header fills the inserted block.
std::optional<bool> WavWriter::insertRf64Header() {
    struct statfs fs {};
    if (::fstatfs(fd_.get(), &fs) != 0 || fs.f_bsize < 512 || fs.f_bsize > (1 << 16))
        return std::nullopt;
    const auto block = static_cast<uint64_t>(fs.f_bsize);
    if (::fallocate(fd_.get(), FALLOC_FL_INSERT_RANGE, 0, static_cast<off_t>(block)) != 0)
        return std::nullopt;
    dataOffset_ += block;
    growth_ = Growth::Inserted;
    const auto h = rf64Header(format_, dataOffset_, dataBytes_);
    // Synced at once: until the new header is on the disk, a crash of the machine would leave
    // a file that begins with the inserted block's zeros, which no reader takes.
    return writeAt(0, h.data(), h.size()) == h.size() && ::fdatasync(fd_.get()) == 0;
}

// Elsewhere the data are copied behind a new header in a file beside the capture (a reflink
// where the file system offers one), which then takes the capture's place.
bool WavWriter::copyIntoRf64() {
    const std::string grown = path_ + ".grow";
    Fd to(::open(grown.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!to)
        return false;
    // The start-up recovery must never take the capture while it is being written.
    ::flock(to.get(), LOCK_EX);
    const auto h = rf64Header(format_, kRf64DataOffset, dataBytes_);
    Fd old = std::move(fd_);
    fd_ = std::move(to);
    bool ok = writeAt(0, h.data(), h.size()) == h.size() &&
              copyRange(old.get(), dataOffset_, fd_.get(), kRf64DataOffset, dataBytes_) &&
              ::fdatasync(fd_.get()) == 0 && ::rename(grown.c_str(), path_.c_str()) == 0;
    if (!ok) {
        ::unlink(grown.c_str());
        fd_ = std::move(old);
        return false;
    }
    dataOffset_ = kRf64DataOffset;
    growth_ = Growth::Copied;
    // Until the folder is synced, a crash of the machine could leave it naming the old file and
    // lose all that follows. The take itself is whole either way, so a folder that cannot be
    // synced does not end it.
    files::syncFolderOf(path_);
    return true;
}

} // namespace tw::engine
