// Owner of a reply that xcb allocated with malloc. Included by the X11 implementations only.
#pragma once

#include <cstdlib>
#include <memory>

namespace tw {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

} // namespace tw
