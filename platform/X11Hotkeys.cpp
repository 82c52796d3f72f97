#include "platform/X11Hotkeys.h"

#include "platform/XcbReply.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <X11/keysym.h>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <optional>
#include <xcb/xcb.h>

namespace tw {

namespace {

// The virtual-key numbers hotkeys are registered with run from 0x70 for F1 to 0x87 for F24;
// the X keysyms of F1 … F24 are contiguous too.
constexpr int VkF1 = 0x70;
constexpr int VkF24 = 0x87;

std::optional<xcb_keysym_t> keysymForVirtualKey(int virtualKey) {
    if (virtualKey >= VkF1 && virtualKey <= VkF24)
        return XK_F1 + (virtualKey - VkF1);
    return std::nullopt;
}

// What the server's keyboard and modifier maps say right now. Read fresh for every
// registration: Qt keeps its own keymap and a cached one here could outlive a layout change.
struct KeyboardLayout {
    std::optional<xcb_keycode_t> keycode;
    uint16_t numLockMask = XCB_MOD_MASK_2;
};

KeyboardLayout readLayout(xcb_connection_t* c, xcb_keysym_t wanted) {
    KeyboardLayout layout;
    const xcb_setup_t* setup = xcb_get_setup(c);
    const xcb_keycode_t first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    auto mapCookie = xcb_get_keyboard_mapping(c, first, count);
    auto modCookie = xcb_get_modifier_mapping(c);
    XcbReply<xcb_get_keyboard_mapping_reply_t> map(
        xcb_get_keyboard_mapping_reply(c, mapCookie, nullptr));
    XcbReply<xcb_get_modifier_mapping_reply_t> mods(
        xcb_get_modifier_mapping_reply(c, modCookie, nullptr));
    if (!map || map->keysyms_per_keycode == 0)
        return layout;

    const int perKey = map->keysyms_per_keycode;
    const int total = xcb_get_keyboard_mapping_keysyms_length(map.get());
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
    const int rows = std::min(count, total / perKey);
    // Unshifted columns first, so that a key that carries the keysym plainly wins over
    // one that needs a level shift to produce it.
    for (int col = 0; col < perKey && !layout.keycode; ++col) {
        for (int row = 0; row < rows; ++row) {
            if (syms[row * perKey + col] == wanted) {
                layout.keycode = xcb_keycode_t(first + row);
                break;
            }
        }
    }

    // NumLock is Mod2 by convention only; look up which modifier carries it.
    if (mods && mods->keycodes_per_modifier > 0) {
        QSet<xcb_keycode_t> numLockKeys;
        for (int row = 0; row < rows; ++row)
            for (int col = 0; col < perKey; ++col)
                if (syms[row * perKey + col] == XK_Num_Lock)
                    numLockKeys.insert(xcb_keycode_t(first + row));
        const int perMod = mods->keycodes_per_modifier;
        const xcb_keycode_t* modKeys = xcb_get_modifier_mapping_keycodes(mods.get());
        for (int mod = 0; mod < 8; ++mod) {
            for (int i = 0; i < perMod; ++i) {
                const xcb_keycode_t kc = modKeys[mod * perMod + i];
                // Shift, Lock and Control cannot stand in for NumLock.
                if (kc != 0 && mod >= 3 && numLockKeys.contains(kc)) {
                    layout.numLockMask = uint16_t(1u << mod);
                    return layout;
                }
            }
        }
    }
    return layout;
}

// Keycodes grabbed by any X11Hotkeys of this process. The server lets one client grab the
// same key twice without complaint, so a second claim has to be refused here; otherwise
// releasing one would silently release the other.
QSet<xcb_keycode_t>& keysHeldByThisProcess() {
    static QSet<xcb_keycode_t> keys;
    return keys;
}

constexpr uint16_t KeyModifierBits = 0xff; // Shift … Mod5; higher bits are buttons and group

} // namespace

struct X11Hotkeys::Private final : QAbstractNativeEventFilter {
    struct Grab {
        xcb_keycode_t keycode;
        std::array<uint16_t, 4> modifiers; // as grabbed, so that ungrabbing matches exactly
    };

    X11Hotkeys* q;
    // The connection belongs to Qt and dies with the application; never touch it after that.
    QPointer<QCoreApplication> app;
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_WINDOW_NONE;
    QHash<int, Grab> grabs;
    QSet<xcb_keycode_t> down;
    QHash<xcb_keycode_t, xcb_timestamp_t> lastRelease;

    explicit Private(X11Hotkeys* owner) : q(owner) {}

    bool live() const { return connection && app; }

    bool grab(Grab& g, uint16_t numLock) {
        g.modifiers = {0, XCB_MOD_MASK_LOCK, numLock, uint16_t(XCB_MOD_MASK_LOCK | numLock)};
        std::array<xcb_void_cookie_t, 4> cookies;
        for (size_t i = 0; i < g.modifiers.size(); ++i) {
            // owner_events off: with it on, the release of a key pressed while our own window
            // has the focus goes to that window, and the key would look held from then on.
            cookies[i] = xcb_grab_key_checked(connection, 0, root, g.modifiers[i], g.keycode,
                                              XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        }
        bool ok = true;
        std::array<bool, 4> granted{};
        for (size_t i = 0; i < cookies.size(); ++i) {
            XcbReply<xcb_generic_error_t> error(xcb_request_check(connection, cookies[i]));
            granted[i] = !error;
            ok = ok && granted[i];
        }
        if (!ok) {
            // Half a hotkey (say, only with CapsLock on) would be worse than none.
            for (size_t i = 0; i < g.modifiers.size(); ++i)
                if (granted[i])
                    xcb_ungrab_key(connection, g.keycode, root, g.modifiers[i]);
            xcb_flush(connection);
        }
        return ok;
    }

    void ungrab(const Grab& g) {
        keysHeldByThisProcess().remove(g.keycode);
        down.remove(g.keycode);
        lastRelease.remove(g.keycode);
        if (!live())
            return;
        for (uint16_t mods : g.modifiers)
            xcb_ungrab_key(connection, g.keycode, root, mods);
        xcb_flush(connection);
    }

    std::optional<int> idForKeycode(xcb_keycode_t keycode) const {
        for (auto it = grabs.cbegin(); it != grabs.cend(); ++it)
            if (it->keycode == keycode)
                return it.key();
        return std::nullopt;
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t" || grabs.isEmpty())
            return false;
        auto* event = static_cast<xcb_generic_event_t*>(message);
        const uint8_t type = event->response_type & 0x7f;
        if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
            return false;
        // Press and release share one layout.
        auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
        if (key->event != root)
            return false;
        const std::optional<int> id = idForKeycode(key->detail);
        if (!id)
            return false;

        if (type == XCB_KEY_RELEASE) {
            down.remove(key->detail);
            lastRelease.insert(key->detail, key->time);
            return true;
        }
        const uint16_t numLock = grabs.value(*id).modifiers[2];
        if ((key->state & KeyModifierBits & ~(XCB_MOD_MASK_LOCK | numLock)) != 0)
            return false;
        // A held key repeats either as further presses without releases (when Qt has asked
        // for detectable auto-repeat) or as release/press pairs sharing one timestamp. Only
        // the first press counts: a held F10 must not flip pause and resume over and over.
        const bool repeat = down.contains(key->detail) ||
                            lastRelease.value(key->detail, XCB_CURRENT_TIME) == key->time;
        down.insert(key->detail);
        if (!repeat) {
            // Queued, so that the receiver (which may run a nested event loop) does not run
            // inside Qt's processing of the X event queue.
            QMetaObject::invokeMethod(
                q, [owner = q, hotkeyId = *id] { emit owner->hotkey(hotkeyId); },
                Qt::QueuedConnection);
        }
        return true;
    }
};

X11Hotkeys::X11Hotkeys(QObject* parent) : IHotkeys(parent), d(std::make_unique<Private>(this)) {
    if (!qGuiApp)
        return;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t* c = x11->connection();

    // The interface does not tell which screen Qt opened; DISPLAY does.
    int screenNumber = 0;
    const QByteArray displayName = qgetenv("DISPLAY");
    char* host = nullptr;
    int displayNumber = 0;
    if (xcb_parse_display(displayName.constData(), &host, &displayNumber, &screenNumber) == 0)
        screenNumber = 0;
    std::free(host);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem > 1; ++i)
        xcb_screen_next(&it);
    if (!it.data)
        return;

    d->app = qGuiApp;
    d->connection = c;
    d->root = it.data->root;
    qGuiApp->installNativeEventFilter(d.get());
}

X11Hotkeys::~X11Hotkeys() {
    if (d->app)
        d->app->removeNativeEventFilter(d.get());
    const QList<Private::Grab> held = d->grabs.values();
    d->grabs.clear();
    for (const Private::Grab& g : held)
        d->ungrab(g);
}

bool X11Hotkeys::registerHotKey(int id, int virtualKey) {
    if (!d->live())
        return false;
    const std::optional<xcb_keysym_t> keysym = keysymForVirtualKey(virtualKey);
    if (!keysym)
        return false;
    const KeyboardLayout layout = readLayout(d->connection, *keysym);
    if (!layout.keycode)
        return false;

    const auto existing = d->grabs.constFind(id);
    if (existing != d->grabs.cend() && existing->keycode == *layout.keycode)
        return true;
    if (keysHeldByThisProcess().contains(*layout.keycode))
        return false;

    Private::Grab g{*layout.keycode, {}};
    if (!d->grab(g, layout.numLockMask))
        return false;
    keysHeldByThisProcess().insert(g.keycode);
    // The old key goes only once the new one is safely held.
    if (existing != d->grabs.cend())
        d->ungrab(*existing);
    d->grabs.insert(id, g);
    return true;
}

void X11Hotkeys::unregisterHotKey(int id) {
    const auto it = d->grabs.constFind(id);
    if (it == d->grabs.cend())
        return;
    const Private::Grab g = *it;
    d->grabs.erase(it);
    d->ungrab(g);
}

} // namespace tw
