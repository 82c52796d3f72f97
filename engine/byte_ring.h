// A single-producer, single-consumer byte ring: the audio thread fills it without locks or
// system calls, the writer thread empties it to disk.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace tw::engine {

class ByteRing {
  public:
    explicit ByteRing(size_t capacity)
        : data_(std::make_unique<std::byte[]>(capacity)), capacity_(capacity) {}

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

  private:
    void put(size_t at, const void* src, size_t n, std::byte fill) {
        if (n == 0)
            return;
        if (src)
            std::memcpy(data_.get() + at, src, n);
        else
            std::memset(data_.get() + at, std::to_integer<int>(fill), n);
    }

    std::unique_ptr<std::byte[]> data_;
    size_t capacity_;
    std::atomic<uint64_t> head_{0}; // bytes ever pushed
    std::atomic<uint64_t> tail_{0}; // bytes ever consumed
};

} // namespace tw::engine
