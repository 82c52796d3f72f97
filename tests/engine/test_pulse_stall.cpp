// What the shared test server - PulseAudio, or PipeWire and its PulseAudio front end - does to
// a take that the engine must report while it runs: frozen mid-take, a stall; the chosen input
// removed, a loss, never a move to another input. Either take is called cut short. The
// server's processes come from scripts/servers.sh (TW_SOUND_SERVER_PIDS); they are always sent
// SIGCONT again.
#include "engine/exports.h"
#include "pulse_support.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <sys/types.h>

using namespace pulsetest;

class TestPulseStall : public QObject {
    Q_OBJECT
  private slots:
    void aFrozenServerIsAStall() {
        const QStringList pids =
            qEnvironmentVariable("TW_SOUND_SERVER_PIDS").split(' ', Qt::SkipEmptyParts);
        QVERIFY2(!pids.isEmpty(), "TW_SOUND_SERVER_PIDS is not set: start scripts/servers.sh");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(Wavelark("", 4, 0, 0, 0, 0) >= 2);
        QCOMPARE(Wavelark("", 5, 0, 0, 0, 1), 0); // micsink.monitor: a steady tone
        QCOMPARE(Wavelark("", 1, 2, 44100, 16, 0), 0);
        QThread::msleep(1500);

        const auto signalAll = [&pids](int sig) {
            for (const QString& pid : pids)
                ::kill(pid_t(pid.toInt()), sig);
        };
        signalAll(SIGSTOP);
        auto resume = qScopeGuard([&] { signalAll(SIGCONT); });
        QElapsedTimer frozen;
        frozen.start();
        WavelarkStatusInfo info{};
        while (frozen.elapsed() < 6000 && !(info.problems & WavelarkStalled)) {
            QThread::msleep(100);
            WavelarkStatus(&info);
        }
        const qint64 flaggedAfter = frozen.elapsed();
        qInfo("stall flagged %lld ms after the freeze", flaggedAfter);
        signalAll(SIGCONT);
        resume.dismiss();

        const QString path = dir.filePath("frozen.wav");
        const int32_t result = Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0);
        QCOMPARE(info.take, 1);
        QCOMPARE(info.problems, int32_t(WavelarkStalled));
        // The rule: 3 s without audio (this source's rhythm is far shorter), found on the
        // writer's next turn.
        QVERIFY2(flaggedAfter < 4500, qPrintable(QString::number(flaggedAfter)));
        QCOMPARE(result, -5);
        QVERIFY(readAudio(path).opened);
    }

    void aRemovedInputIsNotReplaced() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // Where the server would send the stream: a loud 440 Hz tone. The input that goes is
        // silent, so any tone in the take came from the wrong input.
        const QString defaultSource = run("pactl", {"get-default-source"}).trimmed();
        run("pactl", {"set-default-source", "micsink.monitor"});
        auto restore = qScopeGuard([&] { run("pactl", {"set-default-source", defaultSource}); });
        const QString module =
            run("pactl", {"load-module", "module-null-sink", "sink_name=going"}).trimmed();
        QVERIFY(!module.isEmpty());
        auto unload = qScopeGuard([&] { run("pactl", {"unload-module", module}); });
        QTRY_VERIFY_WITH_TIMEOUT(engineIndexOf("going.monitor") >= 0, 3000);
        // Its sink then renders in small blocks rather than seconds ahead of the clock.
        MonitorListener listener("going.monitor");
        QVERIFY(listener.running());
        // The engine numbers sources afresh on each call: both views must agree first.
        QTRY_COMPARE_WITH_TIMEOUT(Wavelark("", 4, 0, 0, 0, 0), sourcesInEngineOrder().size(), 3000);
        QCOMPARE(Wavelark("", 5, 0, 0, 0, engineIndexOf("going.monitor")), 0);
        QCOMPARE(Wavelark("", 1, 1, 44100, 16, 0), 0);
        QThread::msleep(1500);
        run("pactl", {"unload-module", module});
        unload.dismiss();
        QElapsedTimer gone;
        gone.start();
        WavelarkStatusInfo info{};
        while (gone.elapsed() < 3000 && !(info.problems & WavelarkSourceLost)) {
            QThread::msleep(50);
            WavelarkStatus(&info);
        }
        QThread::msleep(2000); // long enough for a moved stream to bring the tone
        const QString path = dir.filePath("gone.wav");
        const int32_t result = Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0);
        QCOMPARE(info.take, 1);
        QVERIFY2(info.problems & WavelarkSourceLost, qPrintable(QString::number(info.problems)));
        QVERIFY2(!(info.problems & WavelarkServerLost), "the server stayed");
        QCOMPARE(result, -5);
        const Audio audio = readAudio(path);
        QVERIFY(audio.opened);
        // What the input sent before it went, and nothing after.
        QVERIFY2(audio.seconds() > 1.0 && audio.seconds() < 2.2,
                 qPrintable(QString::number(audio.seconds())));
        QVERIFY2(rms(audio.channels[0]) < 0.01,
                 qPrintable(QString::number(rms(audio.channels[0]))));
    }
};

QTEST_GUILESS_MAIN(TestPulseStall)
#include "test_pulse_stall.moc"
