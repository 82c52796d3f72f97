// Without an X11 display (offscreen here, a pure Wayland session alike) the hotkeys are
// simply absent: every claim fails quietly and the rest of the program carries on.
#include "platform/HotkeyChoice.h"
#include "platform/X11Hotkeys.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QTest>
#include <memory>

using tw::IHotkeys;
using tw::X11Hotkeys;

class HotkeysOffscreenTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() { QCOMPARE(QGuiApplication::platformName(), QStringLiteral("offscreen")); }

    // X11 grabs only where they work for every window; the portal wherever the session is
    // Wayland and offers it; grabs that work only over X11 windows are said to be so.
    void theSessionChoosesTheHotkeys() {
        using tw::chooseHotkeys;
        using tw::HotkeyBackend;
        QCOMPARE(chooseHotkeys("xcb", false, true), HotkeyBackend::X11);
        QCOMPARE(chooseHotkeys("xcb", true, true), HotkeyBackend::Portal);
        QCOMPARE(chooseHotkeys("xcb", true, false), HotkeyBackend::X11WhileFocused);
        QCOMPARE(chooseHotkeys("wayland", true, true), HotkeyBackend::Portal);
        QCOMPARE(chooseHotkeys("wayland", true, false), HotkeyBackend::None);
        QCOMPARE(chooseHotkeys("offscreen", false, false), HotkeyBackend::None);
    }

    void everyClaimFailsQuietly() {
        auto hotkeys = std::make_unique<X11Hotkeys>();
        QSignalSpy spy(hotkeys.get(), &IHotkeys::hotkey);
        QVERIFY(!hotkeys->registerHotKey(0xBFFF, 0x78));
        QVERIFY(!hotkeys->registerHotKey(0, 0x79));
        QVERIFY(!hotkeys->registerHotKey(0xA0, 0x7A));
        QVERIFY(!hotkeys->registerHotKey(0xBFFF, 0x78)); // asking again changes nothing
        hotkeys->unregisterHotKey(0xBFFF);
        hotkeys->unregisterHotKey(0);
        hotkeys->unregisterHotKey(0xA0);
        hotkeys->unregisterHotKey(12345);
        QTest::qWait(50);
        QCOMPARE(spy.count(), 0);
        hotkeys.reset();
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    HotkeysOffscreenTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_hotkeys_offscreen.moc"
