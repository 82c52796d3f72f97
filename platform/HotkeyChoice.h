#pragma once

#include <QString>

namespace tw {

// Which global hotkeys a session can have.
enum class HotkeyBackend {
    Portal,          // the desktop portal's global shortcuts
    X11,             // key grabs on an X11 session
    X11WhileFocused, // key grabs through XWayland: heard only while an X11 window has the focus
    None,
};

// `platform` is Qt's platform plugin ("xcb", "wayland", ...); `waylandSession` whether the
// desktop session is Wayland (XDG_SESSION_TYPE or WAYLAND_DISPLAY).
inline HotkeyBackend chooseHotkeys(const QString& platform, bool waylandSession,
                                   bool portalUsable) {
    if (platform == QLatin1String("xcb") && !waylandSession)
        return HotkeyBackend::X11;
    if (portalUsable)
        return HotkeyBackend::Portal;
    return platform == QLatin1String("xcb") ? HotkeyBackend::X11WhileFocused : HotkeyBackend::None;
}

} // namespace tw
