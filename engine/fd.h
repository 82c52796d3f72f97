// A file descriptor closed when its owner goes; the engine's files and the no-replace move
// share it.
#pragma once

#include <unistd.h>

namespace tw::engine {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    // Closes and reports whether the close went well (it can report a late write error).
    bool close() { return fd_ < 0 || ::close(release()) == 0; }

  private:
    int fd_ = -1;
};

} // namespace tw::engine
