// The shared test server frozen mid-take - PulseAudio, or PipeWire and its PulseAudio front
// end - is a stall the engine reports while the take runs, and the take that follows it is
// called cut short. The server's processes come from scripts/servers.sh
// (TW_SOUND_SERVER_PIDS); they are always sent SIGCONT again.
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
};

QTEST_GUILESS_MAIN(TestPulseStall)
#include "test_pulse_stall.moc"
