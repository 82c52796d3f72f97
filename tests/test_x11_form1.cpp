// The hotkey pump with real key grabs: keys typed with xdotool reach the main window's
// handlers only while their buttons are enabled and never while a handler runs, also when
// the handler is an engine call on its way or a modal file dialog.
#include "app/Form1.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "platform/IFileDialogs.h"
#include "platform/X11Hotkeys.h"
#include "skins/SkinControls.h"
#include "tests/support/WindowRig.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <atomic>

using namespace tw;
using namespace tw::test;

namespace {

void typeKey(const char* key) {
    QCOMPARE(QProcess::execute(QStringLiteral("xdotool"),
                               {QStringLiteral("key"), QString::fromLatin1(key)}),
             0);
}

// Types the keys one after another, `gapMs` apart, from another process: the test goes on
// (and may be busy) meanwhile.
void typeKeysApart(const QString& first, const QString& second, int gapMs) {
    QVERIFY(QProcess::startDetached(
        QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("xdotool key %1; sleep %2; "
                                                                    "xdotool key %3")
                                                         .arg(first)
                                                         .arg(gapMs / 1000.0)
                                                         .arg(second)}));
}

// Processes events until `done` or the time is up; returns `done`'s last answer.
bool waitFor(const std::function<bool()>& done, int ms = 2000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

void settle(int ms) {
    waitFor([] { return false; }, ms);
}

// A save dialog that stays open a while, as a user choosing a file would; a key is typed
// while it is open.
class SlowSaveDialog final : public IFileDialogs {
  public:
    std::optional<QString> save(const QString&, const QString&) override {
        QEventLoop loop;
        QTimer::singleShot(50, &loop, [] { typeKey("F9"); });
        QTimer::singleShot(700, &loop, &QEventLoop::quit);
        loop.exec();
        return std::nullopt;
    }
    std::optional<QString> open(const QString&) override { return std::nullopt; }
};

QString configuredFolder(QTemporaryDir& dir) {
    QFile ini(dir.path() + "/Config.ini");
    if (!ini.open(QIODevice::WriteOnly))
        return {};
    ini.write("[Config]\nRecording "
              "Source=1\nChannels=1\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=" +
              dir.filePath("take.wav").toUtf8() + "\n");
    return dir.path();
}

int callsOfMode(const FakeAudioLibraries& audio, int mode) {
    int n = 0;
    for (const auto& call : audio.calls)
        n += call.function == "Wavelark" && call.args.value(0) == mode;
    return n;
}

} // namespace

class TestX11Form1 : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariableIsSet("DISPLAY"), "needs the X server of scripts/test");
        QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
    }

    void realKeysReachTheApplicationsRule() {
        QTemporaryDir dir;
        QVERIFY(!configuredFolder(dir).isEmpty());
        FakeAudioLibraries audio;
        FakePlayer player;
        X11Hotkeys hotkeys;
        RiggedForm1 form(Services{dir.path(), audio, hotkeys, player});
        form.Form_Load();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        Recorder& recorder = form.session().recorder;
        using Phase = Recorder::Phase;

        // Idle: nothing to pause or stop.
        typeKey("F10");
        typeKey("F11");
        QVERIFY(waitFor([&] { return form.Text1->text() == "No recording is running."; }));
        typeKey("F9");
        QVERIFY(waitFor([&] { return recorder.phase() == Phase::Recording; }));
        typeKey("F9"); // refused: a take runs
        typeKey("F10");
        QVERIFY(waitFor([&] { return recorder.phase() == Phase::Paused; }));
        typeKey("F11");
        QVERIFY(waitFor([&] { return recorder.phase() == Phase::Idle; }));
        settle(300);
        QCOMPARE(callsOfMode(audio, 1), 1);
        QCOMPARE(callsOfMode(audio, 2), 1);
        QCOMPARE(callsOfMode(audio, 0), 1);

        // After shutdown the keys are released and reach nothing.
        form.close();
        QVERIFY(waitFor([&] { return form.session().quitting(); }));
        typeKey("F9");
        settle(300);
        QCOMPARE(callsOfMode(audio, 1), 1);
    }

    // The engine's start and save take their time on a slow server; a key pressed meanwhile
    // is refused, never carried out once they answer (F11 then F9 used to start a new take).
    void keysWhileTheEngineWorksHaveNoEffect() {
        QTemporaryDir dir;
        QVERIFY(!configuredFolder(dir).isEmpty());
        FakeAudioLibraries audio;
        audio.onWavelark = [](const QByteArray& file, int32_t mode, int32_t, int32_t, int32_t,
                              int32_t) -> int32_t {
            if (mode == 0 || mode == 1)
                QThread::msleep(800);
            if (mode == 0) {
                QFile out(QString::fromLocal8Bit(file));
                if (!out.open(QIODevice::WriteOnly))
                    return -4;
                out.write("RIFF");
            }
            return 0;
        };
        FakePlayer player;
        X11Hotkeys hotkeys;
        RiggedForm1 form(Services{dir.path(), audio, hotkeys, player});
        form.Form_Load();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        Recorder& recorder = form.session().recorder;
        using Phase = Recorder::Phase;

        typeKeysApart("F9", "F11", 300); // F11 while the engine starts
        QVERIFY(waitFor([&] { return recorder.phase() == Phase::Recording; }));
        settle(800);
        QCOMPARE(recorder.phase(), Phase::Recording);
        QCOMPARE(callsOfMode(audio, 0), 0);

        typeKeysApart("F11", "F9", 300); // F9 while the engine saves
        QVERIFY(waitFor([&] { return form.session().takes.rowCount() == 1; }, 3000));
        settle(800);
        QCOMPARE(recorder.phase(), Phase::Idle);
        QCOMPARE(callsOfMode(audio, 1), 1);
        QCOMPARE(form.session().takes.rowCount(), 1);
        form.close();
    }

    void keysWhileAFileDialogIsOpenHaveNoEffect() {
        QTemporaryDir dir;
        QVERIFY(!configuredFolder(dir).isEmpty());
        FakeAudioLibraries audio;
        FakePlayer player;
        X11Hotkeys hotkeys;
        SlowSaveDialog dialogs;
        RiggedForm1 form(Services{dir.path(), audio, hotkeys, player, nullptr, nullptr, &dialogs});
        form.Form_Load();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        form.position_Click(); // "Output File": F9 is typed while its dialog is open
        settle(500);
        QCOMPARE(form.session().recorder.phase(), Recorder::Phase::Idle);
        QCOMPARE(callsOfMode(audio, 1), 0);
        form.close();
    }
};

QTEST_MAIN(TestX11Form1)
#include "test_x11_form1.moc"
