#include "platform/X11WindowAutomation.h"

#include "platform/KeyNotation.h"
#include "platform/X11WindowWatch.h"
#include "platform/XcbReply.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>
#include <xcb/xcb.h>

// Xlib's macros would otherwise rewrite NamedKey::None and friends.
#undef None
#undef Bool
#undef Status
#undef NoSymbol

namespace tw {

namespace {

constexpr xcb_keysym_t NoSymbol = 0;
// The receiver looks a keycode up when it handles the press, which may be well after we
// return; a remapped spare keycode keeps its character at least this long.
constexpr int SpareHoldMs = 2000;
// Longest property read, in 32-bit units; titles and client lists are far shorter.
constexpr uint32_t MaxPropertyLength = 1u << 16;
// _NET_ACTIVE_WINDOW source indication: a pager or similar tool acting for the user, which
// window managers honour even when the window's own program is not in front.
constexpr uint32_t SourcePager = 2;

xcb_keysym_t keysymFor(NamedKey key) {
    switch (key) {
    case NamedKey::None:
        return NoSymbol;
    case NamedKey::Enter:
        return XK_Return;
    case NamedKey::Tab:
        return XK_Tab;
    case NamedKey::Escape:
        return XK_Escape;
    case NamedKey::Backspace:
        return XK_BackSpace;
    case NamedKey::Delete:
        return XK_Delete;
    case NamedKey::Insert:
        return XK_Insert;
    case NamedKey::Home:
        return XK_Home;
    case NamedKey::End:
        return XK_End;
    case NamedKey::PageUp:
        return XK_Prior;
    case NamedKey::PageDown:
        return XK_Next;
    case NamedKey::Up:
        return XK_Up;
    case NamedKey::Down:
        return XK_Down;
    case NamedKey::Left:
        return XK_Left;
    case NamedKey::Right:
        return XK_Right;
    case NamedKey::Break:
        return XK_Break;
    case NamedKey::CapsLock:
        return XK_Caps_Lock;
    case NamedKey::NumLock:
        return XK_Num_Lock;
    case NamedKey::ScrollLock:
        return XK_Scroll_Lock;
    case NamedKey::PrintScreen:
        return XK_Print;
    case NamedKey::Help:
        return XK_Help;
    case NamedKey::KeypadAdd:
        return XK_KP_Add;
    case NamedKey::KeypadSubtract:
        return XK_KP_Subtract;
    case NamedKey::KeypadMultiply:
        return XK_KP_Multiply;
    case NamedKey::KeypadDivide:
        return XK_KP_Divide;
    default:
        break;
    }
    if (key >= NamedKey::F1 && key <= NamedKey::F16)
        return XK_F1 + (int(key) - int(NamedKey::F1));
    return NoSymbol;
}

// Latin-1 characters are their own keysyms; everything else has the Unicode keysym range.
xcb_keysym_t keysymFor(char32_t c) {
    if ((c >= 0x20 && c < 0x7f) || (c >= 0xa0 && c <= 0xff))
        return c;
    return 0x01000000 | c;
}

// The core keyboard map as the server has it now. Read fresh for every string typed: Xlib's
// own cached copy is not refreshed while Qt owns the event queue, and our spare keycodes
// change the map anyway.
struct Keymap {
    xcb_keycode_t first = 0;
    int perKey = 0;
    int rows = 0;
    std::vector<xcb_keysym_t> syms;

    xcb_keysym_t at(int row, int col) const { return syms[size_t(row * perKey + col)]; }
    bool empty(int row) const {
        for (int col = 0; col < perKey; ++col)
            if (at(row, col) != NoSymbol)
                return false;
        return true;
    }

    struct Place {
        xcb_keycode_t keycode;
        bool shifted; // on the Shift level
    };
    // Only the plain and the Shift level: the others need modifiers (AltGr, a group switch)
    // whose meaning depends on the layout. Plain places win over shifted ones.
    std::optional<Place> find(xcb_keysym_t sym) const {
        const int levels = std::min(perKey, 2);
        for (int col = 0; col < levels; ++col)
            for (int row = 0; row < rows; ++row)
                if (at(row, col) == sym)
                    return Place{xcb_keycode_t(first + row), col == 1};
        return std::nullopt;
    }
};

std::optional<Keymap> readKeymap(xcb_connection_t* c) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr));
    if (!reply || reply->keysyms_per_keycode == 0)
        return std::nullopt;
    Keymap map;
    map.first = setup->min_keycode;
    map.perKey = reply->keysyms_per_keycode;
    const int total = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    map.rows = std::min(count, total / map.perKey);
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    map.syms.assign(syms, syms + size_t(map.rows * map.perKey));
    return map;
}

} // namespace

struct X11WindowAutomation::Private {
    // The connection belongs to Qt and dies with the application; never touch it after that.
    QPointer<QCoreApplication> app;
    xcb_connection_t* c = nullptr;
    Display* display = nullptr; // XTest speaks Xlib
    xcb_window_t root = XCB_WINDOW_NONE;
    bool xtest = false;
    xcb_atom_t netClientList = XCB_ATOM_NONE;
    xcb_atom_t netWmName = XCB_ATOM_NONE;
    xcb_atom_t netActiveWindow = XCB_ATOM_NONE;
    xcb_atom_t utf8String = XCB_ATOM_NONE;

    // Spare keycodes currently mapped to a character of ours, and what they carry.
    QHash<xcb_keycode_t, xcb_keysym_t> spares;
    int sparePerKey = 0; // keysyms per keycode of the map they were written into
    QTimer clearSpares;

    QByteArray displayName; // empty: the environment's
    std::unique_ptr<X11WindowWatch> watch;
    std::function<void()> changed;
    // Started by the watch's reads and called back once when the event loop comes round, so
    // that a burst of window events costs one lookup.
    QTimer batch;

    bool live() const { return c && app; }

    xcb_atom_t atom(const char* name) {
        XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr));
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    XcbReply<xcb_get_property_reply_t> property(xcb_window_t w, xcb_atom_t name, xcb_atom_t type) {
        XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c, xcb_get_property(c, 0, w, name, type, 0, MaxPropertyLength), nullptr));
        if (reply && reply->type == XCB_ATOM_NONE)
            reply.reset();
        return reply;
    }

    // Top-level windows of other programs, newest or topmost first. `managed` tells whether
    // a window manager keeps the list; without one, only windows on screen count, since
    // nothing else could take the focus.
    QList<xcb_window_t> topLevels(bool* managed) {
        QList<xcb_window_t> out;
        if (auto list = property(root, netClientList, XCB_ATOM_WINDOW);
            list && list->format == 32 && xcb_get_property_value_length(list.get()) > 0) {
            *managed = true;
            const auto* windows =
                static_cast<const xcb_window_t*>(xcb_get_property_value(list.get()));
            const int n = xcb_get_property_value_length(list.get()) / 4;
            for (int i = n - 1; i >= 0; --i)
                out.append(windows[i]);
            return out;
        }
        *managed = false;
        XcbReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr));
        if (!tree)
            return out;
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const int n = xcb_query_tree_children_length(tree.get());
        // All requests first, then all replies: one round trip however many windows there are.
        std::vector<xcb_get_window_attributes_cookie_t> cookies;
        cookies.reserve(size_t(n));
        for (int i = 0; i < n; ++i)
            cookies.push_back(xcb_get_window_attributes(c, children[i]));
        for (int i = n - 1; i >= 0; --i) { // stacking order is bottom to top
            XcbReply<xcb_get_window_attributes_reply_t> attrs(
                xcb_get_window_attributes_reply(c, cookies[size_t(i)], nullptr));
            if (attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE && !attrs->override_redirect)
                out.append(children[i]);
        }
        // Replies still owed for windows skipped above were all collected in the loop.
        return out;
    }

    QString title(xcb_window_t w) {
        auto text = [](const xcb_get_property_reply_t* reply, bool utf8) {
            QByteArray bytes(static_cast<const char*>(xcb_get_property_value(reply)),
                             xcb_get_property_value_length(reply));
            while (bytes.endsWith('\0'))
                bytes.chop(1);
            return utf8 ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
        };
        if (auto name = property(w, netWmName, utf8String); name && name->format == 8)
            return text(name.get(), true);
        // ICCCM's WM_NAME is Latin-1 (STRING) or COMPOUND_TEXT, whose ASCII part reads the
        // same; some programs put UTF-8 there and say so.
        if (auto name = property(w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY);
            name && name->format == 8)
            return text(name.get(), name->type == utf8String);
        return QString();
    }

    void focus(xcb_window_t w, bool managed, bool* ok) {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = w;
        message.type = netActiveWindow;
        message.data.data32[0] = SourcePager;
        message.data.data32[1] = XCB_CURRENT_TIME;
        message.data.data32[2] = XCB_WINDOW_NONE;
        xcb_send_event(c, 0, root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));

        // With no window manager nobody acts on the message; do its work ourselves. With one,
        // this is harmless and helps those that refuse activation requests.
        const uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(c, w, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        XcbReply<xcb_get_window_attributes_reply_t> attrs(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr));
        bool focused = false;
        if (attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE) {
            // Checked, so that a window that vanished meanwhile costs us a reply rather than
            // an error in Qt's event stream.
            XcbReply<xcb_generic_error_t> error(xcb_request_check(
                c, xcb_set_input_focus_checked(c, XCB_INPUT_FOCUS_PARENT, w, XCB_CURRENT_TIME)));
            focused = !error;
        }
        xcb_flush(c);
        // A window manager activates asynchronously (it may first have to de-iconify the
        // window), so its word is all we can go on; without one the focus is the proof.
        *ok = managed ? bool(attrs) : focused;
    }

    void clearSpareKeycodes() {
        clearSpares.stop();
        if (spares.isEmpty())
            return;
        if (live()) {
            // The server's width, not a narrower one: a change request also sets the width.
            const std::vector<xcb_keysym_t> nothing(size_t(sparePerKey), NoSymbol);
            for (auto it = spares.cbegin(); it != spares.cend(); ++it)
                xcb_change_keyboard_mapping(c, 1, it.key(), uint8_t(sparePerKey), nothing.data());
            // A round trip, so that the map is whole again when we return, which may be just
            // before the program exits.
            std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        }
        spares.clear();
    }
};

X11WindowAutomation::X11WindowAutomation() : d(std::make_unique<Private>()) {
    d->clearSpares.setSingleShot(true);
    d->clearSpares.setInterval(SpareHoldMs);
    QObject::connect(&d->clearSpares, &QTimer::timeout, [p = d.get()] { p->clearSpareKeycodes(); });
    d->batch.setSingleShot(true);
    d->batch.setInterval(0);
    QObject::connect(&d->batch, &QTimer::timeout, [p = d.get()] {
        // A copy: the callback may well stop the watch.
        if (const std::function<void()> changed = p->changed)
            changed();
    });

    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    d->c = x11->connection();
    d->display = x11->display();
    if (d->display) {
        d->displayName = DisplayString(d->display);
        d->root = xcb_window_t(DefaultRootWindow(d->display));
        int event = 0, error = 0, major = 0, minor = 0;
        d->xtest = XTestQueryExtension(d->display, &event, &error, &major, &minor);
    } else {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(d->c));
        d->root = it.data ? it.data->root : xcb_window_t(XCB_WINDOW_NONE);
    }
    if (d->root == XCB_WINDOW_NONE) {
        d->c = nullptr;
        return;
    }
    d->app = qGuiApp;
    d->netClientList = d->atom("_NET_CLIENT_LIST");
    d->netWmName = d->atom("_NET_WM_NAME");
    d->netActiveWindow = d->atom("_NET_ACTIVE_WINDOW");
    d->utf8String = d->atom("UTF8_STRING");
}

X11WindowAutomation::~X11WindowAutomation() {
    stopWatching();
    d->clearSpareKeycodes();
}

quint64 X11WindowAutomation::findWindowByClass(const QString& windowClass) {
    if (!d->live() || windowClass.isEmpty())
        return 0;
    bool managed = false;
    const QList<xcb_window_t> windows = d->topLevels(&managed);
    std::vector<xcb_get_property_cookie_t> cookies;
    cookies.reserve(size_t(windows.size()));
    for (xcb_window_t w : windows)
        cookies.push_back(
            xcb_get_property(d->c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, MaxPropertyLength));
    quint64 found = 0;
    // Every reply is collected, also after a match, or xcb would keep them for ever.
    for (qsizetype i = 0; i < windows.size(); ++i) {
        XcbReply<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(d->c, cookies[size_t(i)], nullptr));
        if (found || !reply || reply->format != 8)
            continue;
        // "instance\0class\0"
        const QByteArray value(static_cast<const char*>(xcb_get_property_value(reply.get())),
                               xcb_get_property_value_length(reply.get()));
        const qsizetype split = value.indexOf('\0');
        if (split < 0)
            continue;
        QByteArray cls = value.mid(split + 1);
        if (const qsizetype end = cls.indexOf('\0'); end >= 0)
            cls.truncate(end);
        if (QString::fromLatin1(cls) == windowClass)
            found = windows[i];
    }
    return found;
}

QString X11WindowAutomation::windowTitle(quint64 window) {
    if (!d->live() || window == 0 || window > 0xffffffffu)
        return QString();
    return d->title(xcb_window_t(window));
}

bool X11WindowAutomation::activateByTitle(const QString& title) {
    if (!d->live() || title.isEmpty())
        return false;
    bool managed = false;
    const QList<xcb_window_t> windows = d->topLevels(&managed);
    for (xcb_window_t w : windows) {
        if (d->title(w) == title) {
            bool ok = false;
            d->focus(w, managed, &ok);
            return ok;
        }
    }
    return false;
}

bool X11WindowAutomation::sendKeys(const QString& keys) {
    if (!d->live() || !d->xtest || !d->display)
        return false;
    const KeySequence sequence = parseKeyNotation(keys);
    if (!sequence.ok())
        return false;
    if (sequence.strokes.isEmpty())
        return true;
    std::optional<Keymap> map = readKeymap(d->c);
    if (!map)
        return false;

    auto modifierKey = [&](std::initializer_list<xcb_keysym_t> syms) -> xcb_keycode_t {
        for (xcb_keysym_t s : syms)
            if (const auto place = map->find(s); place && !place->shifted)
                return place->keycode;
        return 0;
    };
    const xcb_keycode_t shiftKey = modifierKey({XK_Shift_L, XK_Shift_R});
    const xcb_keycode_t controlKey = modifierKey({XK_Control_L, XK_Control_R});
    const xcb_keycode_t altKey = modifierKey({XK_Alt_L, XK_Alt_R, XK_Meta_L});

    // Work out every key before pressing any, so that a string that cannot be typed leaves
    // no half of itself behind in the other window.
    struct Press {
        QList<xcb_keycode_t> modifiers;
        xcb_keycode_t key;
    };
    QList<Press> presses;
    presses.reserve(sequence.strokes.size());
    QHash<xcb_keysym_t, xcb_keycode_t> newSpares;
    QSet<xcb_keycode_t> sparesInUse; // by this string: not to be remapped under its feet
    for (const KeyStroke& stroke : sequence.strokes) {
        const xcb_keysym_t sym =
            stroke.key == NamedKey::None ? keysymFor(stroke.character) : keysymFor(stroke.key);
        if (sym == NoSymbol)
            return false;
        Press press{{}, 0};
        bool shifted = false;
        if (const auto place = map->find(sym)) {
            press.key = place->keycode;
            shifted = place->shifted;
            if (d->spares.contains(press.key))
                sparesInUse.insert(press.key);
        } else if (const auto known = newSpares.constFind(sym); known != newSpares.cend()) {
            press.key = *known;
        } else {
            // A keycode with nothing on it, or one of ours that this string does not need.
            for (int row = 0; row < map->rows && !press.key; ++row) {
                const auto kc = xcb_keycode_t(map->first + row);
                if (map->empty(row) && !sparesInUse.contains(kc))
                    press.key = kc;
            }
            for (auto it = d->spares.cbegin(); it != d->spares.cend() && !press.key; ++it)
                if (!sparesInUse.contains(it.key()))
                    press.key = it.key();
            if (!press.key)
                return false;
            sparesInUse.insert(press.key);
            newSpares.insert(sym, press.key);
        }
        for (KeyModifier m : stroke.held) {
            const xcb_keycode_t kc = m == KeyModifier::Shift     ? shiftKey
                                     : m == KeyModifier::Control ? controlKey
                                                                 : altKey;
            if (!kc)
                return false;
            press.modifiers.append(kc);
        }
        if (shifted && !stroke.held.contains(KeyModifier::Shift)) {
            if (!shiftKey)
                return false;
            press.modifiers.append(shiftKey);
        }
        presses.append(press);
    }

    for (auto it = newSpares.cbegin(); it != newSpares.cend(); ++it) {
        // Both levels alike, so that a Shift or CapsLock the user holds cannot change it.
        std::vector<xcb_keysym_t> syms(size_t(map->perKey), NoSymbol);
        syms[0] = it.key();
        if (map->perKey > 1)
            syms[1] = it.key();
        xcb_change_keyboard_mapping(d->c, 1, it.value(), uint8_t(map->perKey), syms.data());
        d->spares.insert(it.value(), it.key());
        d->sparePerKey = map->perKey;
    }
    // Flushed before Xlib takes the connection over, so that the new map is in place before
    // the first key arrives.
    xcb_flush(d->c);

    for (const Press& press : presses) {
        for (xcb_keycode_t m : press.modifiers)
            XTestFakeKeyEvent(d->display, m, 1, CurrentTime);
        XTestFakeKeyEvent(d->display, press.key, 1, CurrentTime);
        XTestFakeKeyEvent(d->display, press.key, 0, CurrentTime);
        for (qsizetype i = press.modifiers.size() - 1; i >= 0; --i)
            XTestFakeKeyEvent(d->display, press.modifiers[i], 0, CurrentTime);
    }
    XFlush(d->display);
    if (!newSpares.isEmpty() || !sparesInUse.isEmpty())
        d->clearSpares.start();
    return true;
}

bool X11WindowAutomation::watchWindows(std::function<void()> changed) {
    if (!d->live() || !changed)
        return false;
    if (!d->watch) {
        d->watch =
            X11WindowWatch::open(d->displayName.isEmpty() ? nullptr : d->displayName.constData(),
                                 d->root, d->netClientList, [p = d.get()] {
                                     if (!p->batch.isActive())
                                         p->batch.start();
                                 });
        if (!d->watch)
            return false;
    }
    d->changed = std::move(changed);
    return true;
}

void X11WindowAutomation::stopWatching() {
    d->batch.stop();
    d->changed = nullptr;
    d->watch.reset();
}

} // namespace tw
