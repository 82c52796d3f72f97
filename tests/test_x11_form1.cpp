// The hotkey pump with real key grabs: keys typed with xdotool reach the main window's
// handlers only while their buttons are enabled and never while a handler runs.
#include "app/Form1.h"
#include "app/Yield.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "platform/X11Hotkeys.h"
#include "skins/SkinControls.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace tw;

namespace {

void typeKey(const char* key) {
    QCOMPARE(QProcess::execute(QStringLiteral("xdotool"),
                               {QStringLiteral("key"), QString::fromLatin1(key)}),
             0);
}

// Processes events until `done` or the time is up; returns `done`'s last answer.
bool waitFor(const std::function<bool()>& done, int ms = 2000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

class WatchedForm1 : public Form1 {
  public:
    using Form1::Form1;
    void SkinButton1_Click() override {
        ran << "record";
        SkinButton1->setEnabled(false);
        SkinButton4->setEnabled(true);
        SkinButton2->setEnabled(true);
        // F11 typed while this handler runs must have no effect, though Stop is enabled.
        typeKey("F11");
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 500)
            yieldToWindowSystem();
    }
    void SkinButton4_Click() override { ran << "pause"; }
    void SkinButton2_Click() override { ran << "stop"; }
    QStringList ran;
};

} // namespace

class TestX11Form1 : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"), "needs the X server of scripts/test");
        QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
    }

    void hotkeysReachOnlyEnabledIdleHandlers() {
        QTemporaryDir dir;
        QFile ini(dir.path() + "/Config.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Config]\n");
        ini.close();
        FakeAudioLibraries audio;
        FakePlayer player;
        X11Hotkeys hotkeys;
        WatchedForm1 form(Services{dir.path(), audio, hotkeys, player});
        form.Form_Load();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        // Idle: Pause and Stop are disabled.
        typeKey("F10");
        typeKey("F11");
        QVERIFY(!waitFor([&] { return !form.ran.isEmpty(); }, 700));

        typeKey("F9");
        QVERIFY(waitFor([&] { return !form.ran.isEmpty(); }));
        // Let any late F11 arrive: it came during the handler and was dropped.
        waitFor([] { return false; }, 300);
        QCOMPARE(form.ran, QStringList{"record"});

        typeKey("F9"); // Record is disabled now
        typeKey("F10");
        QVERIFY(waitFor([&] { return form.ran.size() == 2; }));
        typeKey("F11");
        QVERIFY(waitFor([&] { return form.ran.size() == 3; }));
        waitFor([] { return false; }, 300);
        QCOMPARE(form.ran, QStringList({"record", "pause", "stop"}));

        // After shutdown the keys are released and reach nothing.
        form.close();
        typeKey("F10");
        waitFor([] { return false; }, 300);
        QCOMPARE(form.ran.size(), 3);
    }
};

QTEST_MAIN(TestX11Form1)
#include "test_x11_form1.moc"
