// Files of the engine: the folder that holds captures while they are recorded, and putting a
// finished capture at the path the caller asked for.
#pragma once

#include "engine/fd.h"

#include <string>

namespace tw::engine {

// $XDG_CACHE_HOME/tunewright, else ~/.cache/tunewright, created if missing; empty on failure.
std::string captureFolder();

// Creates a new, empty capture file named `kind`-TIME-PID.wav after the current local time; the
// name stays meaningful if the capture is left behind, and its kind tells the start-up whether
// it was a take of the user's. The file is flock()ed from its first moment, so
// that the program's start-up recovery never takes a capture still being written for one left
// behind; the lock lasts while any descriptor of this open file lives.
Fd createCaptureFile(const std::string& folder, const std::string& kind, std::string& path);

enum class Placement { Placed, NameTaken, Failed };

// Moves a complete capture to dest, never replacing a file already there: a rename on the
// same file system, else a copy that is on disk before the capture is removed. Unless it was
// placed, the capture is left where it was.
Placement placeCapture(const std::string& capture, const std::string& dest);

} // namespace tw::engine
