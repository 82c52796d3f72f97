// Real key grabs on the X server the test script starts: keys are typed with xdotool, and a
// second client of our own holds keys the way another program would.
#include "platform/X11Hotkeys.h"

#include <QGuiApplication>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>
#include <X11/keysym.h>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

using tw::IHotkeys;
using tw::X11Hotkeys;

namespace {

constexpr int IdRecord = 0xBFFF;
constexpr int IdPause = 0;
constexpr int IdStop = 0xA0;
constexpr int VkF9 = 0x78;
constexpr int VkF10 = 0x79;
constexpr int VkF11 = 0x7A;

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

// Another X client, standing in for a program that holds keys of its own.
class OtherClient {
  public:
    OtherClient() : c(xcb_connect(nullptr, &screenNumber)) {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c.get()));
        for (int i = 0; i < screenNumber; ++i)
            xcb_screen_next(&it);
        root = it.data->root;
    }
    bool ok() const { return !xcb_connection_has_error(c.get()); }

    xcb_keycode_t keycode(xcb_keysym_t sym) const {
        const xcb_setup_t* setup = xcb_get_setup(c.get());
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto* reply = xcb_get_keyboard_mapping_reply(
            c.get(), xcb_get_keyboard_mapping(c.get(), setup->min_keycode, count), nullptr);
        xcb_keycode_t found = 0;
        if (reply) {
            const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
            for (int row = 0; row < count && !found; ++row)
                if (syms[row * reply->keysyms_per_keycode] == sym)
                    found = xcb_keycode_t(setup->min_keycode + row);
            std::free(reply);
        }
        return found;
    }

    // True when the server granted the grab, false on BadAccess (someone else holds it).
    bool grab(xcb_keysym_t sym, uint16_t modifiers) {
        xcb_generic_error_t* error = xcb_request_check(
            c.get(), xcb_grab_key_checked(c.get(), 0, root, modifiers, keycode(sym),
                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return error == nullptr;
    }
    // Returns once the server has carried it out; requests of different clients are not
    // ordered otherwise, and the next step usually asks the server through Qt's connection.
    void ungrab(xcb_keysym_t sym, uint16_t modifiers) {
        xcb_ungrab_key(c.get(), keycode(sym), root, modifiers);
        std::free(xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr));
    }

    xcb_window_t focus() const {
        auto* reply = xcb_get_input_focus_reply(c.get(), xcb_get_input_focus(c.get()), nullptr);
        const xcb_window_t w = reply ? reply->focus : 0;
        std::free(reply);
        return w;
    }
    uint16_t modifierState() const {
        auto* reply = xcb_query_pointer_reply(c.get(), xcb_query_pointer(c.get(), root), nullptr);
        const uint16_t mask = reply ? reply->mask : 0;
        std::free(reply);
        return mask;
    }

  private:
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, Disconnect> c;
    xcb_window_t root = XCB_WINDOW_NONE;
};

constexpr uint16_t NumLock = XCB_MOD_MASK_2; // Xvfb's default modifier map
constexpr uint16_t CapsLock = XCB_MOD_MASK_LOCK;
constexpr uint16_t LockVariants[] = {0, CapsLock, NumLock, CapsLock | NumLock};

bool xdotool(const QStringList& args) {
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

QList<int> ids(const QSignalSpy& spy) {
    QList<int> out;
    for (const QList<QVariant>& args : spy)
        out.append(args.at(0).toInt());
    return out;
}

} // namespace

class X11HotkeysTest : public QObject {
    Q_OBJECT

    OtherClient probe;

    // Types `key`, then F11 as a marker, and returns the hotkeys that arrived up to the
    // marker: the server keeps order, so whatever `key` was going to produce is in by then.
    QList<int> typeThenMarker(IHotkeys& hotkeys, const QString& key) {
        QSignalSpy spy(&hotkeys, &IHotkeys::hotkey);
        if (!xdotool({QStringLiteral("key"), key, QStringLiteral("F11")}))
            return {-1};
        if (!QTest::qWaitFor([&] { return spy.contains(QList<QVariant>{IdStop}); }))
            return {-2};
        QList<int> got = ids(spy);
        got.removeAll(IdStop);
        return got;
    }

    void setLock(const char* keyName, uint16_t mask, bool on) {
        if (bool(probe.modifierState() & mask) != on)
            QVERIFY(xdotool({QStringLiteral("key"), QString::fromLatin1(keyName)}));
        QTRY_COMPARE(bool(probe.modifierState() & mask), on);
    }

  private slots:
    void initTestCase() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY2(probe.ok(), "cannot open a second connection to the X server");
        QVERIFY2(xdotool({QStringLiteral("version")}), "xdotool is missing");
        QVERIFY(probe.keycode(XK_F9) != 0);
    }

    void cleanup() {
        setLock("Num_Lock", NumLock, false);
        setLock("Caps_Lock", CapsLock, false);
    }

    void eachKeyArrivesWithItsId() {
        X11Hotkeys hotkeys;
        QVERIFY(hotkeys.registerHotKey(IdRecord, VkF9));
        QVERIFY(hotkeys.registerHotKey(IdPause, VkF10));
        QVERIFY(hotkeys.registerHotKey(IdStop, VkF11));

        QSignalSpy spy(&hotkeys, &IHotkeys::hotkey);
        QVERIFY(xdotool({"key", "F9"}));
        QTRY_COMPARE(ids(spy), QList<int>{IdRecord});
        QVERIFY(xdotool({"key", "F10"}));
        QTRY_COMPARE(ids(spy), (QList<int>{IdRecord, IdPause}));
        QVERIFY(xdotool({"key", "F11"}));
        QTRY_COMPARE(ids(spy), (QList<int>{IdRecord, IdPause, IdStop}));
        QVERIFY(xdotool({"key", "F10", "F10"}));
        QTRY_COMPARE(ids(spy), (QList<int>{IdRecord, IdPause, IdStop, IdPause, IdPause}));

        // Modifier combinations are not ours: Shift+F9 is another program's business, also
        // while a held F9 has the whole keyboard routed to us.
        QCOMPARE(typeThenMarker(hotkeys, "shift+F9"), QList<int>{});
        spy.clear();
        QVERIFY(xdotool({"keydown", "F9", "keydown", "shift", "key", "F10", "keyup", "shift",
                         "keyup", "F9", "key", "F11"}));
        QTRY_VERIFY(spy.contains(QList<QVariant>{IdStop}));
        QCOMPARE(ids(spy), (QList<int>{IdRecord, IdStop}));
    }

    void arrivesWhileOurOwnWindowHasFocus() {
        X11Hotkeys hotkeys;
        QVERIFY(hotkeys.registerHotKey(IdRecord, VkF9));
        QVERIFY(hotkeys.registerHotKey(IdStop, VkF11));
        QWindow window;
        window.resize(200, 100);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(xdotool({"windowfocus", "--sync", QString::number(window.winId())}));
        QTRY_VERIFY(window.isActive());
        QCOMPARE(probe.focus(), xcb_window_t(window.winId()));

        // Twice: the release must come back to us as well, or the second press would look
        // like auto-repeat of a key still held.
        QCOMPARE(typeThenMarker(hotkeys, "F9"), QList<int>{IdRecord});
        QCOMPARE(typeThenMarker(hotkeys, "F9"), QList<int>{IdRecord});
    }

    void locksDoNotSwallowKeys_data() {
        QTest::addColumn<bool>("numLock");
        QTest::addColumn<bool>("capsLock");
        QTest::newRow("NumLock") << true << false;
        QTest::newRow("CapsLock") << false << true;
        QTest::newRow("both") << true << true;
    }
    void locksDoNotSwallowKeys() {
        QFETCH(bool, numLock);
        QFETCH(bool, capsLock);
        X11Hotkeys hotkeys;
        QVERIFY(hotkeys.registerHotKey(IdRecord, VkF9));
        QVERIFY(hotkeys.registerHotKey(IdPause, VkF10));
        QVERIFY(hotkeys.registerHotKey(IdStop, VkF11));
        setLock("Num_Lock", NumLock, numLock);
        setLock("Caps_Lock", CapsLock, capsLock);

        QCOMPARE(typeThenMarker(hotkeys, "F9"), QList<int>{IdRecord});
        QCOMPARE(typeThenMarker(hotkeys, "F10"), QList<int>{IdPause});
    }

    void heldKeyFiresOnce() {
        X11Hotkeys hotkeys;
        QVERIFY(hotkeys.registerHotKey(IdPause, VkF10));
        QVERIFY(hotkeys.registerHotKey(IdStop, VkF11));
        QSignalSpy spy(&hotkeys, &IHotkeys::hotkey);
        // Held long enough for the server's auto-repeat, and pressed again while down, which
        // is what auto-repeat looks like to a client; then one ordinary press and the marker.
        QVERIFY(xdotool({"keydown", "F10", "sleep", "0.8", "keydown", "F10", "keyup", "F10", "key",
                         "F10", "F11"}));
        QTRY_VERIFY(spy.contains(QList<QVariant>{IdStop}));
        QCOMPARE(ids(spy), (QList<int>{IdPause, IdPause, IdStop}));
    }

    void unregisteredKeyNoLongerArrivesAndIsFree() {
        X11Hotkeys hotkeys;
        QVERIFY(hotkeys.registerHotKey(IdRecord, VkF9));
        QVERIFY(hotkeys.registerHotKey(IdStop, VkF11));
        for (uint16_t mods : LockVariants)
            QVERIFY2(!probe.grab(XK_F9, mods), "a lock variant of F9 was not grabbed");

        hotkeys.unregisterHotKey(IdRecord);
        QCOMPARE(typeThenMarker(hotkeys, "F9"), QList<int>{});
        for (uint16_t mods : LockVariants) {
            QVERIFY2(probe.grab(XK_F9, mods), "a lock variant of F9 is still grabbed");
            probe.ungrab(XK_F9, mods);
        }

        hotkeys.unregisterHotKey(IdRecord); // twice is harmless
        hotkeys.unregisterHotKey(1234);     // never registered
        QVERIFY(hotkeys.registerHotKey(IdRecord, VkF9));
        QCOMPARE(typeThenMarker(hotkeys, "F9"), QList<int>{IdRecord});
    }

    void destructionReleasesEveryGrab() {
        {
            X11Hotkeys hotkeys;
            QVERIFY(hotkeys.registerHotKey(IdRecord, VkF9));
            QVERIFY(hotkeys.registerHotKey(IdPause, VkF10));
            QVERIFY(!probe.grab(XK_F10, 0));
        }
        for (xcb_keysym_t sym : {XK_F9, XK_F10}) {
            for (uint16_t mods : LockVariants) {
                QVERIFY(probe.grab(sym, mods));
                probe.ungrab(sym, mods);
            }
        }
        // The filter went with the object: a press must not reach a dead one.
        X11Hotkeys next;
        QVERIFY(next.registerHotKey(IdStop, VkF11));
        QCOMPARE(typeThenMarker(next, "F9"), QList<int>{});
    }

    void keyHeldByAnotherProgramNeverArrives() {
        OtherClient other;
        QVERIFY(other.ok());
        QVERIFY(other.grab(XK_F10, 0));

        X11Hotkeys hotkeys;
        QVERIFY(hotkeys.registerHotKey(IdRecord, VkF9));
        QVERIFY(!hotkeys.registerHotKey(IdPause, VkF10));
        QVERIFY(hotkeys.registerHotKey(IdStop, VkF11));

        // The refused claim leaves nothing behind: its lock variants are free for others.
        for (uint16_t mods : {CapsLock, NumLock, uint16_t(CapsLock | NumLock)}) {
            QVERIFY2(probe.grab(XK_F10, mods), "a partial grab of F10 was left behind");
            probe.ungrab(XK_F10, mods);
        }

        QCOMPARE(typeThenMarker(hotkeys, "F10"), QList<int>{});
        QCOMPARE(typeThenMarker(hotkeys, "F9"), QList<int>{IdRecord});

        other.ungrab(XK_F10, 0);
        QVERIFY(hotkeys.registerHotKey(IdPause, VkF10));
        QCOMPARE(typeThenMarker(hotkeys, "F10"), QList<int>{IdPause});
    }

    void oneKeyHasOneOwner() {
        X11Hotkeys first;
        X11Hotkeys second;
        QVERIFY(first.registerHotKey(IdRecord, VkF9));
        QVERIFY(first.registerHotKey(IdStop, VkF11));
        QVERIFY(!first.registerHotKey(42, VkF9));
        QVERIFY(!second.registerHotKey(IdRecord, VkF9));
        QVERIFY(first.registerHotKey(IdRecord, VkF9)); // the same claim again stands

        // A refused claim must not cost the owner its key.
        second.unregisterHotKey(IdRecord);
        QCOMPARE(typeThenMarker(first, "F9"), QList<int>{IdRecord});

        // Moving an id to another key frees the old key.
        QVERIFY(first.registerHotKey(IdRecord, VkF10));
        QCOMPARE(typeThenMarker(first, "F10"), QList<int>{IdRecord});
        QCOMPARE(typeThenMarker(first, "F9"), QList<int>{});
        QVERIFY(second.registerHotKey(IdPause, VkF9));

        QVERIFY(!first.registerHotKey(7, 0x41)); // not a function key
        QVERIFY(!first.registerHotKey(7, -1));
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "FAIL: this test needs an X server, and DISPLAY is not set\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    X11HotkeysTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_x11_hotkeys.moc"
