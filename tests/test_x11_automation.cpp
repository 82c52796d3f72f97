// Window lookup, activation and typing on the X server the test script starts. A second X
// client of the test's own plays the mail composer: it owns the windows, and decodes the
// key presses that reach them with the server's keyboard map, as a real program would.
// There is no window manager on that server, which is the case the lookup must handle by
// itself.
#include "platform/KeyNotation.h"
#include "platform/X11WindowAutomation.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <X11/keysym.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <xcb/xcb.h>

using tw::escapeForKeyNotation;
using tw::X11WindowAutomation;

namespace {

const QString ComposerClass = QStringLiteral("ATH_Note");
const QString ComposerTitle = QString::fromUtf8("New Message – Entwurf ü");
const char* const OffscreenChildFlag = "--offscreen-child";

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, Free>;

class Peer {
  public:
    Peer() : c(xcb_connect(nullptr, &screenNumber)) {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
        for (int i = 0; i < screenNumber; ++i)
            xcb_screen_next(&it);
        screen = it.data;
    }
    ~Peer() {
        for (xcb_window_t w : windows)
            xcb_destroy_window(c.get(), w);
        sync();
    }
    bool ok() const { return !xcb_connection_has_error(c.get()) && screen; }

    xcb_atom_t atom(const char* name) {
        Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
            c.get(), xcb_intern_atom(c.get(), 0, uint16_t(std::strlen(name)), name), nullptr));
        return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    // `wmClass` is "instance\0class\0"; a null title leaves the property out.
    xcb_window_t window(const QByteArray& wmClass, const QString& netTitle,
                        const QByteArray& latin1Title = {}, bool mapped = true) {
        const xcb_window_t w = xcb_generate_id(c.get());
        const uint32_t events = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE;
        xcb_create_window(c.get(), XCB_COPY_FROM_PARENT, w, screen->root, 10, 10, 200, 100, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_EVENT_MASK,
                          &events);
        xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING,
                            8, uint32_t(wmClass.size()), wmClass.constData());
        if (!netTitle.isNull()) {
            const QByteArray utf8 = netTitle.toUtf8();
            xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, w, atom("_NET_WM_NAME"),
                                atom("UTF8_STRING"), 8, uint32_t(utf8.size()), utf8.constData());
        }
        if (!latin1Title.isNull())
            xcb_change_property(c.get(), XCB_PROP_MODE_REPLACE, w, XCB_ATOM_WM_NAME,
                                XCB_ATOM_STRING, 8, uint32_t(latin1Title.size()),
                                latin1Title.constData());
        if (mapped)
            xcb_map_window(c.get(), w);
        sync();
        windows.append(w);
        return w;
    }
    void map(xcb_window_t w) {
        xcb_map_window(c.get(), w);
        sync();
    }
    void destroy(xcb_window_t w) {
        xcb_destroy_window(c.get(), w);
        windows.removeAll(w);
        sync();
    }

    // Returns once the server has carried out everything sent so far.
    void sync() {
        std::free(xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
    }
    xcb_window_t focus() {
        Reply<xcb_get_input_focus_reply_t> r(
            xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
        return r ? r->focus : xcb_window_t(XCB_WINDOW_NONE);
    }
    void focusRoot() {
        xcb_set_input_focus(c.get(), XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT,
                            XCB_CURRENT_TIME);
        sync();
    }
    uint16_t modifierState() {
        Reply<xcb_query_pointer_reply_t> r(
            xcb_query_pointer_reply(c.get(), xcb_query_pointer(c.get(), screen->root), nullptr));
        return r ? r->mask & 0xff : 0xffff;
    }

    struct Keymap {
        xcb_keycode_t first = 0;
        int perKey = 0;
        QList<xcb_keysym_t> syms;
        xcb_keysym_t at(xcb_keycode_t kc, int col) const {
            const qsizetype i = qsizetype(kc - first) * perKey + col;
            return i >= 0 && i < syms.size() && col < perKey ? syms[i] : 0;
        }
        bool holds(xcb_keysym_t sym) const { return syms.contains(sym); }
    };
    Keymap keymap() {
        const xcb_setup_t* setup = xcb_get_setup(c.get());
        const int count = setup->max_keycode - setup->min_keycode + 1;
        Reply<xcb_get_keyboard_mapping_reply_t> r(xcb_get_keyboard_mapping_reply(
            c.get(), xcb_get_keyboard_mapping(c.get(), setup->min_keycode, count), nullptr));
        Keymap map;
        if (!r)
            return map;
        map.first = setup->min_keycode;
        map.perKey = r->keysyms_per_keycode;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(r.get());
        map.syms =
            QList<xcb_keysym_t>(syms, syms + xcb_get_keyboard_mapping_keysyms_length(r.get()));
        return map;
    }

    // The key presses that reached `w`, decoded the way a program would read them, up to
    // and including Return, or whatever came within the timeout. Modifier keys themselves
    // show only as the prefixes they put on other keys.
    QStringList keysUntilReturn(xcb_window_t w, int timeoutMs = 5000) {
        QStringList keys;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            Reply<xcb_generic_event_t> event(xcb_poll_for_event(c.get()));
            if (!event) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
                continue;
            const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event.get());
            if (key->event != w) {
                keys.append(QStringLiteral("<key to another window>"));
                continue;
            }
            // Decoded at once: the map may still change after this press.
            const QString name = decode(keymap(), key->detail, key->state);
            if (name.isEmpty())
                continue;
            keys.append(name);
            if (name == QLatin1String("Return"))
                break;
        }
        return keys;
    }

  private:
    static QString decode(const Keymap& map, xcb_keycode_t kc, uint16_t state) {
        const bool shift = state & XCB_MOD_MASK_SHIFT;
        xcb_keysym_t sym = map.at(kc, shift ? 1 : 0);
        if (sym == 0)
            sym = map.at(kc, 0);
        switch (map.at(kc, 0)) {
        case XK_Shift_L:
        case XK_Shift_R:
        case XK_Control_L:
        case XK_Control_R:
        case XK_Alt_L:
        case XK_Alt_R:
        case XK_Meta_L:
            return QString();
        default:
            break;
        }
        QString prefix;
        if (state & XCB_MOD_MASK_CONTROL)
            prefix += QStringLiteral("Ctrl+");
        if (state & XCB_MOD_MASK_1)
            prefix += QStringLiteral("Alt+");
        if (sym == XK_Return)
            return prefix + (shift ? QStringLiteral("Shift+Return") : QStringLiteral("Return"));
        char32_t ch = 0;
        if ((sym >= 0x20 && sym < 0x7f) || (sym >= 0xa0 && sym <= 0xff))
            ch = sym;
        else if ((sym & 0xff000000) == 0x01000000)
            ch = sym & 0x00ffffff;
        if (!ch)
            return prefix + QStringLiteral("<keysym 0x%1>").arg(sym, 0, 16);
        return prefix + QString::fromUcs4(&ch, 1);
    }

    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, Disconnect> c;
    xcb_screen_t* screen = nullptr;
    QList<xcb_window_t> windows;
};

QStringList characters(const QString& text) {
    QStringList out;
    const QList<uint> codes = text.toUcs4();
    for (uint u : codes) {
        const char32_t ch = u;
        out.append(QString::fromUcs4(&ch, 1));
    }
    return out;
}

// Run as a child with the offscreen platform, on the same X server as the parent: even with
// a composer window on that server, nothing is found and nothing is typed.
int offscreenChild(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    int failures = 0;
    auto check = [&](bool ok, const char* what) {
        std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
        failures += ok ? 0 : 1;
    };
    check(QGuiApplication::platformName() == QLatin1String("offscreen"), "offscreen platform");
    Peer peer;
    check(peer.ok(), "X server reachable from the child");
    const xcb_window_t composer =
        peer.window(QByteArray("ath\0ATH_Note\0", 13), QStringLiteral("New Message"));
    {
        X11WindowAutomation automation;
        check(automation.findWindowByClass(ComposerClass) == 0, "findWindowByClass is 0");
        check(automation.windowTitle(composer).isEmpty(), "windowTitle is empty");
        check(!automation.activateByTitle(QStringLiteral("New Message")), "activate fails");
        check(!automation.sendKeys(QStringLiteral("%(I)")), "sendKeys fails");
        check(!automation.sendKeys(QStringLiteral("A")), "sendKeys fails again");
        check(!automation.watchWindows([] {}), "watchWindows cannot watch");
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

class X11AutomationTest : public QObject {
    Q_OBJECT

    std::unique_ptr<Peer> peer;

  private slots:
    void initTestCase() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        peer = std::make_unique<Peer>();
        QVERIFY2(peer->ok(), "cannot open a second connection to the X server");
    }
    void cleanupTestCase() { peer.reset(); }

    void findsTheWindowByItsClassPart() {
        const xcb_window_t hidden =
            peer->window(QByteArray("ath\0ATH_Note\0", 13), ComposerTitle, {}, false);
        const xcb_window_t composer =
            peer->window(QByteArray("ath\0ATH_Note\0", 13), ComposerTitle);
        const xcb_window_t other =
            peer->window(QByteArray("ATH_Note\0Other\0", 15), QStringLiteral("Other window"));
        X11WindowAutomation automation;

        QCOMPARE(automation.findWindowByClass(ComposerClass), quint64(composer));
        QCOMPARE(automation.findWindowByClass(QStringLiteral("Other")), quint64(other));
        // The instance part, a different case, a prefix and nothing at all are no match.
        QCOMPARE(automation.findWindowByClass(QStringLiteral("ath")), quint64(0));
        QCOMPARE(automation.findWindowByClass(QStringLiteral("ath_note")), quint64(0));
        QCOMPARE(automation.findWindowByClass(QStringLiteral("ATH")), quint64(0));
        QCOMPARE(automation.findWindowByClass(QStringLiteral("Missing")), quint64(0));
        QCOMPARE(automation.findWindowByClass(QString()), quint64(0));

        // A closed composer is not found again, and the one never shown was not found at all.
        peer->destroy(composer);
        QCOMPARE(automation.findWindowByClass(ComposerClass), quint64(0));
        peer->destroy(other);
        peer->destroy(hidden);
    }

    void readsTitles() {
        const xcb_window_t utf8 =
            peer->window(QByteArray("ath\0ATH_Note\0", 13), ComposerTitle, QByteArray("fallback"));
        const xcb_window_t latin1 =
            peer->window(QByteArray("old\0Old\0", 8), QString(), QByteArray("Caf\xe9 message"));
        const xcb_window_t untitled = peer->window(QByteArray("none\0None\0", 10), QString());
        X11WindowAutomation automation;

        QCOMPARE(automation.windowTitle(automation.findWindowByClass(ComposerClass)),
                 ComposerTitle);
        QCOMPARE(automation.windowTitle(latin1), QString::fromUtf8("Café message"));
        QCOMPARE(automation.windowTitle(untitled), QString());
        QCOMPARE(automation.windowTitle(0), QString());
        QCOMPARE(automation.windowTitle(quint64(1) << 40), QString());
        peer->destroy(utf8);
        QCOMPARE(automation.windowTitle(utf8), QString());
        peer->destroy(latin1);
        peer->destroy(untitled);
    }

    void activatesByTitle() {
        const xcb_window_t composer =
            peer->window(QByteArray("ath\0ATH_Note\0", 13), ComposerTitle);
        const xcb_window_t other =
            peer->window(QByteArray("other\0Other\0", 12), QStringLiteral("Other window"));
        X11WindowAutomation automation;
        peer->focusRoot();

        QVERIFY(automation.activateByTitle(ComposerTitle));
        QCOMPARE(peer->focus(), composer);
        QVERIFY(automation.activateByTitle(QStringLiteral("Other window")));
        QCOMPARE(peer->focus(), other);

        QVERIFY(!automation.activateByTitle(QStringLiteral("No such window")));
        QVERIFY(!automation.activateByTitle(QStringLiteral("New Message"))); // a prefix only
        QVERIFY(!automation.activateByTitle(QString()));
        QCOMPARE(peer->focus(), other);
        peer->destroy(composer);
        peer->destroy(other);
    }

    void aComposerShownIsToldOf() {
        X11WindowAutomation automation;
        int changes = 0;
        QVERIFY(automation.watchWindows([&] { ++changes; }));
        const xcb_window_t composer =
            peer->window(QByteArray("ath\0ATH_Note\0", 13), ComposerTitle, {}, false);
        QTest::qWait(200);
        QCOMPARE(changes, 0); // created, not yet shown
        peer->map(composer);
        QTRY_COMPARE(changes, 1);
        QCOMPARE(automation.findWindowByClass(ComposerClass), quint64(composer));

        automation.stopWatching();
        const xcb_window_t other = peer->window(QByteArray("ath\0ATH_Note\0", 13), ComposerTitle);
        QTest::qWait(200);
        QCOMPARE(changes, 1);
        peer->destroy(composer);
        peer->destroy(other);
    }

    void typesTheAttachSequenceIntoTheComposer() {
        const xcb_window_t composer =
            peer->window(QByteArray("ath\0ATH_Note\0", 13), ComposerTitle);
        peer->focusRoot();
        X11WindowAutomation automation;

        const quint64 found = automation.findWindowByClass(ComposerClass);
        QCOMPARE(found, quint64(composer));
        QVERIFY(automation.activateByTitle(automation.windowTitle(found)));
        const QString path = QStringLiteral("/home/me/my take (1)+2 [x] {y} 50%~^.wav");
        QVERIFY(automation.sendKeys(QStringLiteral("%(I)")));
        QVERIFY(automation.sendKeys(QStringLiteral("A")));
        QVERIFY(automation.sendKeys(escapeForKeyNotation(path)));
        QVERIFY(automation.sendKeys(QStringLiteral("{ENTER}")));

        const QStringList expected = QStringList{QStringLiteral("Alt+i"), QStringLiteral("A")} +
                                     characters(path) + QStringList{QStringLiteral("Return")};
        QCOMPARE(peer->keysUntilReturn(composer), expected);
        // Nothing left held down for the user's next key.
        QCOMPARE(peer->modifierState(), uint16_t(0));
        peer->destroy(composer);
    }

    void typesCharactersTheKeyboardLacks() {
        const Peer::Keymap before = peer->keymap();
        const xcb_keysym_t eacute = XK_eacute, euro = 0x10020ac, clef = 0x101d11e;
        QVERIFY2(!before.holds(eacute) && !before.holds(euro) && !before.holds(clef),
                 "the test server's keyboard already has these characters");
        const xcb_window_t composer =
            peer->window(QByteArray("ath\0ATH_Note\0", 13), ComposerTitle);
        auto automation = std::make_unique<X11WindowAutomation>();
        QVERIFY(automation->activateByTitle(ComposerTitle));

        const QString path = QString::fromUtf8("/home/jürgen/Café é € 𝄞 É.wav");
        QVERIFY(automation->sendKeys(escapeForKeyNotation(path) + QStringLiteral("{ENTER}")));
        QCOMPARE(peer->keysUntilReturn(composer), characters(path) << QStringLiteral("Return"));

        // The borrowed keycodes are handed back a little later, and at once on destruction.
        QVERIFY(peer->keymap().holds(eacute));
        QTRY_VERIFY_WITH_TIMEOUT(!peer->keymap().holds(eacute), 5000);
        QCOMPARE(peer->keymap().syms, before.syms);
        QVERIFY(automation->sendKeys(QStringLiteral("\u00e9{ENTER}")));
        QCOMPARE(peer->keysUntilReturn(composer), (QStringList{QString::fromUtf8("é"), "Return"}));
        automation.reset();
        QCOMPARE(peer->keymap().syms, before.syms);
        peer->destroy(composer);
    }

    void aStringThatCannotBeTypedTypesNothing() {
        const xcb_window_t composer =
            peer->window(QByteArray("ath\0ATH_Note\0", 13), ComposerTitle);
        X11WindowAutomation automation;
        QVERIFY(automation.activateByTitle(ComposerTitle));

        QVERIFY(!automation.sendKeys(QStringLiteral("abc%(")));
        QVERIFY(!automation.sendKeys(QStringLiteral("/home/me/[x].wav")));
        QVERIFY(!automation.sendKeys(QStringLiteral("line\nbreak")));
        QVERIFY(automation.sendKeys(QStringLiteral("z~")));
        QCOMPARE(peer->keysUntilReturn(composer), (QStringList{"z", "Return"}));
        QCOMPARE(peer->modifierState(), uint16_t(0));
        peer->destroy(composer);
    }

    void withoutX11NothingIsFoundOrTyped() {
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QLatin1String(OffscreenChildFlag)});
        QVERIFY(child.waitForFinished(30000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit, output.constData());
        QVERIFY2(child.exitCode() == 0, output.constData());
        QVERIFY2(output.contains("ok: sendKeys fails again"), output.constData());
    }
};

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], OffscreenChildFlag) == 0)
        return offscreenChild(argc, argv);
    QGuiApplication app(argc, argv);
    X11AutomationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_x11_automation.moc"
