// Time from a global hotkey press to the engine's record call, through the real window:
// the hotkey backend's signal, Form1's hotkey pump, the recorder and the engine client's
// dispatch to a stand-in engine that notes when Wavelark(record) arrives.
//
//   hotkey_latency portal ENV_DIR   the desktop portal: portal_env.sh's fake backend emits
//                                   Activated; the clock starts at its emit
//   hotkey_latency x11              X11 key grabs: the clock starts just before
//                                   `xdotool key F9` is started (its exec counts)
// Prints each run and the median of RUNS (default 20) in milliseconds.
#include "app/Form1.h"
#include "app/Services.h"
#include "bench/support/LatencyClock.h"
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"
#include "platform/FakePlayer.h"
#include "platform/PortalHotkeys.h"
#include "platform/X11Hotkeys.h"
#include "skins/SkinControls.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowRig.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

using namespace tw;
using namespace tw::test;
using Phase = Recorder::Phase;

namespace {

using tw::bench::nowNs;
using tw::bench::waitUntil;

std::atomic<qint64> recordCalledAt{0};

// Starts a press and returns when the clock started, or -1.
using Press = std::function<qint64()>;

Press portalPress(const QDBusConnection& bus) {
    return [bus]() -> qint64 {
        QDBusMessage m = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.impl.portal.desktop.tunewrighttest"),
            QStringLiteral("/control"), QStringLiteral("io.github.tunewright.FakePortal"),
            QStringLiteral("Activate"));
        m << QString() << QStringLiteral("record");
        // Asynchronous, so that our event loop runs while the activation travels.
        QDBusPendingReply<qulonglong> reply = QDBusConnection(bus).asyncCall(m);
        if (!waitUntil([&] { return reply.isFinished(); }) || reply.isError())
            return -1;
        return qint64(reply.value());
    };
}

Press x11Press(QProcess& xdotool) {
    return [&xdotool]() -> qint64 {
        xdotool.waitForFinished();
        const qint64 t0 = nowNs();
        xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("key"), QStringLiteral("F9")});
        return t0;
    };
}

int run(IHotkeys& hotkeys, const Press& press, int runs) {
    QTemporaryDir dir;
    FakeAudioLibraries audio;
    FakePlayer player;
    test::saveWritesTheTake(audio);
    auto save = audio.onWavelark;
    audio.onWavelark = [save](const QByteArray& file, int32_t mode, int32_t a, int32_t b, int32_t c,
                              int32_t d) {
        if (mode == 1)
            recordCalledAt = nowNs();
        return save(file, mode, a, b, c, d);
    };
    test::writeFile(dir.path() + "/Config.ini", test::configFor(dir.path() + "/Take.wav"));
    RiggedForm1 form(Services{dir.path(), audio, hotkeys, player});
    form.Form_Load();
    if (!waitUntil([&] { return !form.session().engine.busy(); }))
        return 1;
    hotkeys.registerHotKey(kHotkeyRecord, 0x78);
    waitUntil([] { return false; }, 500); // the desktop binds or grabs
    Recorder& recorder = form.session().recorder;

    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        recordCalledAt = 0;
        const qint64 t0 = press();
        if (t0 < 0 || !waitUntil([&] { return recordCalledAt != 0; })) {
            std::fprintf(stderr, "run %d: the hotkey did not start a take\n", i + 1);
            return 1;
        }
        ms.push_back(double(recordCalledAt - t0) / 1e6);
        std::printf("run %2d: %.3f ms\n", i + 1, ms.back());
        waitUntil([&] { return recorder.phase() == Phase::Recording; });
        form.SkinButton2->click();
        if (!waitUntil([&] { return recorder.phase() == Phase::Idle; })) {
            std::fprintf(stderr, "run %d: the take did not stop\n", i + 1);
            return 1;
        }
        waitUntil([] { return false; }, 100);
    }
    hotkeys.unregisterHotKey(kHotkeyRecord);
    std::sort(ms.begin(), ms.end());
    std::printf("median of %d: %.3f ms (min %.3f, max %.3f)\n", runs,
                (ms[(runs - 1) / 2] + ms[runs / 2]) / 2, ms.front(), ms.back());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs =
        qEnvironmentVariableIntValue("RUNS") > 0 ? qEnvironmentVariableIntValue("RUNS") : 20;
    if (args.value(1) == QLatin1String("portal") && args.size() == 3) {
        QFile address(args[2] + QStringLiteral("/address"));
        if (!address.open(QIODevice::ReadOnly))
            return 2;
        const QDBusConnection bus = QDBusConnection::connectToBus(
            QString::fromUtf8(address.readAll()).trimmed(), QStringLiteral("bench"));
        PortalHotkeys hotkeys(QStringLiteral("io.github.tunewright.Tunewright"), bus);
        return run(hotkeys, portalPress(bus), runs);
    }
    if (args.value(1) == QLatin1String("x11")) {
        X11Hotkeys hotkeys;
        QProcess xdotool;
        return run(hotkeys, x11Press(xdotool), runs);
    }
    std::fprintf(stderr, "usage: hotkey_latency portal ENV_DIR | x11\n");
    return 2;
}
