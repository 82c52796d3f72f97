#include "platform/X11WindowWatch.h"

#include "platform/XcbReply.h"

namespace tw {

std::unique_ptr<X11WindowWatch> X11WindowWatch::open(const char* display, xcb_window_t root,
                                                     xcb_atom_t clientList,
                                                     std::function<void()> changed) {
    Connection c(xcb_connect(display, nullptr));
    if (xcb_connection_has_error(c.get()))
        return nullptr;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
    XcbReply<xcb_generic_error_t> error(xcb_request_check(
        c.get(), xcb_change_window_attributes_checked(c.get(), root, XCB_CW_EVENT_MASK, &mask)));
    if (error)
        return nullptr;
    std::unique_ptr<X11WindowWatch> watch(new X11WindowWatch(std::move(c), clientList));
    watch->changed_ = std::move(changed);
    watch->notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(watch->c_.get()),
                                                         QSocketNotifier::Read);
    QObject::connect(watch->notifier_.get(), &QSocketNotifier::activated,
                     [w = watch.get()] { w->read(); });
    // Events that came with the reply above are already off the socket.
    watch->read();
    return watch;
}

void X11WindowWatch::read() {
    bool relevant = false;
    while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c_.get())})
        relevant = relevant || matters(event.get());
    // A lost server leaves the socket readable for ever; nothing more will come anyway.
    if (xcb_connection_has_error(c_.get()))
        notifier_->setEnabled(false);
    if (relevant)
        changed_();
}

// A window shown or taken into a window manager's frame, or the manager's client list changed.
// Moves, stacking and closing bring no new composer; menus and tooltips (override-redirect) are
// never one.
bool X11WindowWatch::matters(const xcb_generic_event_t* event) const {
    switch (event->response_type & 0x7f) {
    case XCB_MAP_NOTIFY:
        return !reinterpret_cast<const xcb_map_notify_event_t*>(event)->override_redirect;
    case XCB_REPARENT_NOTIFY:
        return !reinterpret_cast<const xcb_reparent_notify_event_t*>(event)->override_redirect;
    case XCB_PROPERTY_NOTIFY:
        return reinterpret_cast<const xcb_property_notify_event_t*>(event)->atom == clientList_;
    default:
        return false;
    }
}

} // namespace tw
