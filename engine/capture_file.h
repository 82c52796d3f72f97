// Files of the engine: the folder that holds captures while they are recorded, and putting a
// finished capture at the path the caller asked for.
#pragma once

#include <memory>
#include <string>

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
    void reset(int fd = -1);
    // Closes and reports whether the close went well (it can report a late write error).
    bool close();

  private:
    int fd_ = -1;
};

// $XDG_CACHE_HOME/tunewright, else ~/.cache/tunewright, created if missing; empty on failure.
std::string captureFolder();

// Creates a new, empty capture file named after the current local time; the name stays
// meaningful if the capture is left behind. The file is flock()ed from its first moment, so
// that the program's start-up recovery never takes a capture still being written for one left
// behind; the lock lasts while any descriptor of this open file lives.
Fd createCaptureFile(const std::string& folder, std::string& path);

enum class Placement { Placed, NameTaken, Failed };

// Moves a complete capture to dest, never replacing a file already there: a rename on the
// same file system, else a copy that is on disk before the capture is removed. Unless it was
// placed, the capture is left where it was.
Placement placeCapture(const std::string& capture, const std::string& dest);

} // namespace tw::engine
