// The engine and the mixer when the sound server stops answering or goes away mid-take: every
// call answers within two seconds, and the audio already captured is kept.
#include "engine/exports.h"
#include "engine/take_encoder.h"
#include "pulse_support.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <thread>

using namespace pulsetest;

namespace {

constexpr qint64 kAnswerMs = 2000;

// Runs a call and reports how long it took.
template <class Call> qint64 timed(Call call, int32_t& result) {
    QElapsedTimer t;
    t.start();
    result = call();
    return t.elapsed();
}

// Polls the status until a problem shows, for at most `ms`; every poll must answer at once,
// whatever the other calls are waiting for.
WavelarkStatusInfo awaitProblem(int32_t problem, qint64 ms) {
    WavelarkStatusInfo info{};
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < ms) {
        QElapsedTimer call;
        call.start();
        WavelarkStatus(&info);
        if (call.elapsed() > 50 || (info.problems & problem))
            break;
        QThread::msleep(100);
    }
    return info;
}

} // namespace

class TestPulseServerLoss : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();
    void serverThatStopsAnswering();
    void serverThatGoesAway();
    void noServerAtAll();

  private:
    QTemporaryDir dir_;
    QProcess server_;
    // Follows the take's capture through the stall and the loss.
    std::unique_ptr<tw::encode::TakeEncoder> encoder_;
};

// A server of this test's own, so that it can be frozen and killed without harming others.
void TestPulseServerLoss::initTestCase() {
    QVERIFY(dir_.isValid());
    QDir(dir_.path()).mkpath("runtime");
    QDir(dir_.path()).mkpath("home");
    QFile::setPermissions(dir_.filePath("runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString socket = dir_.filePath("native");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", dir_.filePath("runtime"));
    env.insert("HOME", dir_.filePath("home"));
    env.remove("PULSE_SERVER");
    // On no bus: a second server there would find its name taken and quit.
    env.insert("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    server_.setProcessEnvironment(env);
    server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server_.start("pulseaudio",
                  {"--daemonize=no", "-n", "--exit-idle-time=-1", "--disallow-exit",
                   "--use-pid-file=no", "--log-target=stderr", "--log-level=error", "-L",
                   "module-native-protocol-unix auth-anonymous=1 socket=" + socket, "-L",
                   "module-null-sink sink_name=lost", "-L", "module-sine sink=lost frequency=440"});
    QVERIFY2(server_.waitForStarted(5000), "pulseaudio could not be started");
    qputenv("PULSE_SERVER", ("unix:" + socket).toUtf8());
    QElapsedTimer waited;
    waited.start();
    while (Wavelark("", 4, 0, 0, 0, 0) < 1) {
        QVERIFY2(waited.elapsed() < 10000, "the test's own PulseAudio server did not come up");
        QThread::msleep(100);
    }
}

void TestPulseServerLoss::cleanupTestCase() {
    server_.kill();
    server_.waitForFinished();
}

void TestPulseServerLoss::serverThatStopsAnswering() {
    QCOMPARE(Wavelark("", 1, 1, 44100, 16, 0), 0);
    WavelarkStatusInfo started{};
    QCOMPARE(WavelarkStatus(&started), 0);
    tw::encode::Job job;
    job.codec = tw::encode::Codec::Flac;
    job.source = started.capture;
    job.target = dir_.filePath("cut.flac").toStdString();
    encoder_ = std::make_unique<tw::encode::TakeEncoder>(job);
    QVERIFY2(encoder_->start(), encoder_->error().c_str());
    QThread::msleep(1000);
    const QString pid = QString::number(server_.processId());
    run("kill", {"-STOP", pid});
    // The status neither waits for the frozen server nor for a call that does.
    std::thread blocked([] { Wavelark("", 4, 0, 0, 0, 0); });
    QElapsedTimer frozen;
    frozen.start();
    const WavelarkStatusInfo info = awaitProblem(WavelarkStalled, 4500);
    const qint64 flaggedAfter = frozen.elapsed();
    blocked.join();
    QCOMPARE(info.take, 1);
    QVERIFY2(info.problems == WavelarkStalled, qPrintable(QString::number(info.problems)));
    QVERIFY2(flaggedAfter < 4200, qPrintable(QString::number(flaggedAfter)));
    int32_t result = 0;
    QVERIFY(timed([] { return Wavelark("", 4, 0, 0, 0, 0); }, result) < kAnswerMs);
    QVERIFY(result < 0);
    QVERIFY(timed([] { return Wavelark("", 5, 0, 0, 0, 0); }, result) < kAnswerMs);
    QVERIFY(result < 0);
    int32_t range[2] = {};
    QVERIFY(timed([&] { return Volume(0, 30000, range); }, result) < kAnswerMs);
    QVERIFY(result < 0);
    QCOMPARE(range[1], 65536);
    QVERIFY(timed([&] { return VolumeLevel(0, range); }, result) < kAnswerMs);
    QVERIFY(result < 0);
    run("kill", {"-CONT", pid});
    // Answering again, the server serves the next calls.
    QVERIFY(Wavelark("", 4, 0, 0, 0, 0) >= 1);
    QCOMPARE(Volume(0, 30000, range), 0);
}

void TestPulseServerLoss::serverThatGoesAway() {
    // The take of the previous case is still running.
    QThread::msleep(1500);
    server_.kill();
    QVERIFY(server_.waitForFinished(5000));
    // Known while the take still runs, not only at the stop.
    const WavelarkStatusInfo info = awaitProblem(WavelarkServerLost, 2000);
    QVERIFY2(info.problems & WavelarkServerLost, qPrintable(QString::number(info.problems)));
    QCOMPARE(info.take, 1);

    int32_t result = 0;
    QVERIFY(timed([] { return Wavelark("", 2, 0, 0, 0, 0); }, result) < kAnswerMs);
    QVERIFY(result < 0);
    QVERIFY(timed([] { return Wavelark("", 3, 0, 0, 0, 0); }, result) < kAnswerMs);
    QVERIFY(result < 0);
    QVERIFY(timed([] { return Wavelark("", 4, 0, 0, 0, 0); }, result) < kAnswerMs);
    QVERIFY(result < 0);
    int32_t range[2] = {};
    QVERIFY(timed([&] { return Volume(0, 30000, range); }, result) < kAnswerMs);
    QVERIFY(result < 0);
    QVERIFY(timed([&] { return VolumeLevel(0, range); }, result) < kAnswerMs);
    QVERIFY(result < 0);

    // The take ended early, which the result says, but what it captured is at the path.
    const QString path = dir_.filePath("cut.wav");
    QVERIFY(timed([&] { return Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0); }, result) <
            kAnswerMs);
    QCOMPARE(result, -5);
    const Audio audio = readAudio(path);
    QVERIFY(audio.opened);
    QVERIFY2(audio.seconds() >= 2.0, qPrintable(QString::number(audio.seconds())));
    QCOMPARE(dominantFrequency(audio.channels[0], 44100), 440.0);

    // The encoded take holds what the WAV holds.
    encoder_->sourceComplete();
    encoder_->wait();
    QVERIFY2(encoder_->state() == tw::encode::TakeEncoder::State::Done, encoder_->error().c_str());
    const Audio encoded = readAudio(dir_.filePath("cut.flac"));
    QCOMPARE(encoded.info.frames, audio.info.frames);
    QCOMPARE(encoded.channels[0], audio.channels[0]);
}

void TestPulseServerLoss::noServerAtAll() {
    const QStringList before = captures();
    int32_t result = 0;
    QVERIFY(timed([] { return Wavelark("", 1, 2, 44100, 16, 0); }, result) < kAnswerMs);
    QVERIFY(result < 0);
    QCOMPARE(captures(), before);
    QVERIFY(Wavelark(dir_.filePath("none.wav").toUtf8().constData(), 0, 0, 0, 0, 0) < 0);
    QVERIFY(!QFileInfo::exists(dir_.filePath("none.wav")));
    QVERIFY(timed([] { return Wavelark("", 5, 0, 0, 0, 1); }, result) < kAnswerMs);
    QVERIFY(result < 0);
}

QTEST_GUILESS_MAIN(TestPulseServerLoss)
#include "test_pulse_server_loss.moc"
