// Telling when a new top-level window may have appeared, from the root window's structure and
// property events. Part of the X11 window automation.
#pragma once

#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <xcb/xcb.h>

namespace tw {

// The events come on a connection of its own: on Qt's connection they would go to Qt, and
// selecting them there would change what Qt receives.
class X11WindowWatch {
  public:
    // `changed` hears of every read that brought a change that may matter; null when the
    // display cannot be watched.
    static std::unique_ptr<X11WindowWatch> open(const char* display, xcb_window_t root,
                                                xcb_atom_t clientList,
                                                std::function<void()> changed);

  private:
    struct Disconnect {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };
    using Connection = std::unique_ptr<xcb_connection_t, Disconnect>;

    X11WindowWatch(Connection c, xcb_atom_t clientList)
        : c_(std::move(c)), clientList_(clientList) {}
    void read();
    bool matters(const xcb_generic_event_t* event) const;

    Connection c_;
    xcb_atom_t clientList_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> changed_;
};

} // namespace tw
