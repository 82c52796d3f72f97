// A single-producer, single-consumer byte ring: the audio thread fills it without locks or
// system calls, the writer thread empties it to disk.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>

namespace tw::engine {

class ByteRing {
  public:
    // The storage starts on an `align` boundary and its size is a multiple of it; the byte
    // pushed n-th (counting from `start`) sits at (start + n) % capacity. So a writer that
    // starts the ring at its file offset finds every block of the file at an aligned address,
    // which direct I/O needs, wraps included.
    explicit ByteRing(size_t capacity, size_t align = alignof(std::max_align_t), uint64_t start = 0)
        : capacity_((capacity + align - 1) / align * align),
          data_(static_cast<std::byte*>(std::aligned_alloc(align, capacity_))), head_(start),
          tail_(start) {
        if (!data_)
            throw std::bad_alloc();
    }

    size_t capacity() const { return capacity_; }

    // Producer side.
    size_t writable() const {
        return capacity_ - static_cast<size_t>(head_.load(std::memory_order_relaxed) -
                                               tail_.load(std::memory_order_acquire));
    }
    // Copies n bytes in (n <= writable()); src null writes n copies of fill.
    void push(const void* src, size_t n, std::byte fill = std::byte{0}) {
        uint64_t head = head_.load(std::memory_order_relaxed);
        size_t at = static_cast<size_t>(head % capacity_);
        size_t first = std::min(n, capacity_ - at);
        put(at, src, first, fill);
        put(0, src ? static_cast<const std::byte*>(src) + first : nullptr, n - first, fill);
        head_.store(head + n, std::memory_order_release);
    }

    // Consumer side: the contiguous bytes ready to be read, then consume() what was used.
    std::span<const std::byte> readable() const {
        uint64_t tail = tail_.load(std::memory_order_relaxed);
        size_t ready = static_cast<size_t>(head_.load(std::memory_order_acquire) - tail);
        size_t at = static_cast<size_t>(tail % capacity_);
        return {data_.get() + at, std::min(ready, capacity_ - at)};
    }
    void consume(size_t n) { tail_.fetch_add(n, std::memory_order_release); }
    // The ready bytes after the first contiguous span (readable()), where they wrap.
    std::span<const std::byte> wrapped() const {
        const auto first = readable();
        return {data_.get(), size() - first.size()};
    }
    // All the bytes ready to be read, across the wrap.
    size_t size() const {
        return static_cast<size_t>(head_.load(std::memory_order_acquire) -
                                   tail_.load(std::memory_order_relaxed));
    }

  private:
    void put(size_t at, const void* src, size_t n, std::byte fill) {
        if (n == 0)
            return;
        if (src)
            std::memcpy(data_.get() + at, src, n);
        else
            std::memset(data_.get() + at, std::to_integer<int>(fill), n);
    }

    struct Free {
        void operator()(std::byte* p) const { std::free(p); }
    };
    size_t capacity_;
    std::unique_ptr<std::byte[], Free> data_;
    std::atomic<uint64_t> head_{0}; // bytes ever pushed
    std::atomic<uint64_t> tail_{0}; // bytes ever consumed
};

} // namespace tw::engine
