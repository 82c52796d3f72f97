// The player against the private PulseAudio server: what mode() answers, what reaches the
// "speakers" sink, and how the player copes with files it cannot read and with a server that
// is missing, frozen or gone.
#include "platform/PulsePlayer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <sndfile.h>
#include <vector>

using tw::PulsePlayer;

namespace {

QString run(const QString& program, const QStringList& args, int* code = nullptr) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(10000);
    if (code)
        *code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

// A 440 Hz tone at half of full scale.
bool writeTone(const QString& path, double seconds, int rate, int channels, int format) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    const auto frames = static_cast<sf_count_t>(seconds * rate);
    std::vector<float> samples(static_cast<size_t>(frames * channels));
    for (sf_count_t i = 0; i < frames; ++i) {
        const float v = 0.5f * std::sin(2.0 * M_PI * 440.0 * double(i) / rate);
        for (int c = 0; c < channels; ++c)
            samples[static_cast<size_t>(i * channels + c)] = v;
    }
    const bool written = sf_writef_float(file, samples.data(), frames) == frames;
    return sf_close(file) == 0 && written;
}

// The server's playback streams named after `path`'s file name (the player names them so).
int streamsFor(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const QJsonArray inputs =
        QJsonDocument::fromJson(run("pactl", {"-f", "json", "list", "sink-inputs"}).toUtf8())
            .array();
    int count = 0;
    for (const QJsonValue& input : inputs)
        count += input["properties"]["media.name"].toString() == name;
    return count;
}

// Hears the speakers through their monitor for the whole test, at low latency. Besides telling
// what reached the sink, it keeps the null sink at a small latency: an idle null sink renders
// two seconds ahead, and a stream that joins it then starts that much late.
class Listener {
  public:
    static constexpr int kRate = 8000;
    static constexpr int kWindow = kRate / 50; // 20 ms

    bool start() {
        parec_.start("parec",
                     {"-d", "speakers.monitor", "--raw", "--format=s16le",
                      "--rate=" + QString::number(kRate), "--channels=1", "--latency-msec=20"});
        return parec_.waitForStarted(5000);
    }
    void stop() {
        parec_.kill();
        parec_.waitForFinished(5000);
    }
    // Forgets what was heard so far.
    void clear() {
        parec_.readAllStandardOutput();
        heard_.clear();
    }
    // Keeps listening until `ms` milliseconds are held; false if the monitor went quiet.
    bool collect(int ms) {
        const qsizetype wanted = qsizetype(kRate) * ms / 1000 * 2;
        QElapsedTimer waited;
        waited.start();
        while (heard_.size() < wanted && waited.elapsed() < ms + 5000) {
            parec_.waitForReadyRead(50);
            heard_ += parec_.readAllStandardOutput();
        }
        return heard_.size() >= wanted;
    }
    void pump() { heard_ += parec_.readAllStandardOutput(); }
    // Loudness of each 20 ms heard, as root mean square in 16-bit units.
    std::vector<double> windows() const {
        const auto* samples = reinterpret_cast<const qint16*>(heard_.constData());
        std::vector<double> out;
        for (qsizetype at = 0; at + kWindow <= heard_.size() / 2; at += kWindow) {
            double sum = 0;
            for (qsizetype i = at; i < at + kWindow; ++i)
                sum += double(samples[i]) * samples[i];
            out.push_back(std::sqrt(sum / kWindow));
        }
        return out;
    }
    // Milliseconds of tone and of silence in what was heard, skipping the first `skipMs`.
    int toneMs(int skipMs = 0) const {
        return count(skipMs, [](double v) { return v > kAudible; });
    }
    int silentMs(int skipMs = 0) const {
        return count(skipMs, [](double v) { return v < kSilent; });
    }
    // Milliseconds of not-tone between the first and the last tone heard.
    int gapMs() const {
        const std::vector<double> all = windows();
        const auto loud = [](double v) { return v > kAudible; };
        const auto first = std::find_if(all.begin(), all.end(), loud);
        const auto last = std::find_if(all.rbegin(), all.rend(), loud).base();
        return first < last ? int(std::count_if(first, last, std::not_fn(loud))) * 20 : 0;
    }
    int heardMs() const {
        return count(0, [](double) { return true; });
    }

    // A tone at half of full scale is heard near 11500; an idle null sink is exactly zero.
    static constexpr double kAudible = 5000;
    static constexpr double kSilent = 100;

  private:
    template <class Pred> int count(int skipMs, Pred pred) const {
        const std::vector<double> all = windows();
        int n = 0;
        for (size_t i = size_t(skipMs / 20); i < all.size(); ++i)
            n += pred(all[i]);
        return n * 20;
    }
    QProcess parec_;
    QByteArray heard_;
};

// Polls mode() until it reads `want`, listening meanwhile; the time from `clock`'s start when
// it did, or -1.
qint64 modeReached(PulsePlayer& player, const QString& path, const QString& want,
                   const QElapsedTimer& clock, qint64 untilMs, Listener* listener = nullptr) {
    while (clock.elapsed() < untilMs) {
        if (player.mode(path) == want)
            return clock.elapsed();
        QThread::msleep(10);
        if (listener)
            listener->pump();
    }
    return player.mode(path) == want ? clock.elapsed() : -1;
}

} // namespace

class TestPulsePlayer : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();
    void playsToTheEndThenReadsStopped_data();
    void playsToTheEndThenReadsStopped();
    void longFilePlaysWhole();
    void closeSilencesAtOnce();
    void twoPathsPlayAtOnce();
    void playingAnOpenPathStartsItAgain();
    void unreadableFilesOpenNothing();
    void playToEndTakesTheFilesLength();
    void noServer();
    void serverThatFreezesThenGoesAway();

  private:
    QString file(const QString& name) const { return dir_.filePath(name); }
    void restorePulseServer();
    QTemporaryDir dir_;
    Listener listener_;
    QProcess ownServer_;
    QByteArray savedPulseServer_;
};

void TestPulsePlayer::initTestCase() {
    int code = 0;
    run("pactl", {"info"}, &code);
    QVERIFY2(code == 0, "No PulseAudio server answers: start the private one first "
                        "(source scripts/servers.sh; tw_servers_start)");
    QCOMPARE(run("pactl", {"get-default-sink"}).trimmed(), QStringLiteral("speakers"));
    savedPulseServer_ = qgetenv("PULSE_SERVER");

    QVERIFY(dir_.isValid());
    QVERIFY(writeTone(file("stereo16.wav"), 1.0, 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QVERIFY(writeTone(file("mono8.wav"), 1.0, 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8));
    QVERIFY(writeTone(file("long-a.wav"), 4.0, 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    QVERIFY(writeTone(file("long-b.wav"), 4.0, 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    run("lame", {"--nohist", "-S", file("stereo16.wav"), file("tone.mp3")}, &code);
    QCOMPARE(code, 0);
    QFile text(file("notes.wav"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write("These are notes, not a recording.\n");

    // Long enough for the null sink to use up what it rendered ahead before the listener came.
    QVERIFY2(listener_.start(), "parec could not be started");
    QTest::qWait(2500);
    listener_.clear();
    QVERIFY(listener_.collect(300));
    QVERIFY2(listener_.silentMs() == listener_.heardMs(), "the speakers are not silent");
}

void TestPulsePlayer::cleanupTestCase() {
    listener_.stop();
    if (ownServer_.state() != QProcess::NotRunning) {
        run("kill", {"-CONT", QString::number(ownServer_.processId())});
        ownServer_.kill();
        ownServer_.waitForFinished(5000);
    }
    restorePulseServer();
}

void TestPulsePlayer::restorePulseServer() {
    if (savedPulseServer_.isEmpty())
        qunsetenv("PULSE_SERVER");
    else
        qputenv("PULSE_SERVER", savedPulseServer_);
}

void TestPulsePlayer::playsToTheEndThenReadsStopped_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("WAV, 16-bit stereo 44100 Hz") << "stereo16.wav";
    QTest::newRow("WAV, 8-bit mono 22050 Hz") << "mono8.wav";
    QTest::newRow("MP3") << "tone.mp3";
}

// One second of sound: heard for that long, "playing" meanwhile, then "stopped" until closed.
void TestPulsePlayer::playsToTheEndThenReadsStopped() {
    QFETCH(QString, name);
    const QString path = file(name);
    PulsePlayer player;
    listener_.clear();
    QElapsedTimer clock;
    clock.start();
    player.play(path);
    QVERIFY2(clock.elapsed() < 500, "play() waited for the sound");
    QCOMPARE(player.lastError(), QString());
    QCOMPARE(player.mode(path), QStringLiteral("playing"));
    QCOMPARE(streamsFor(path), 1);

    while (clock.elapsed() < 700)
        listener_.collect(int(clock.elapsed()) + 50);
    QCOMPARE(player.mode(path), QStringLiteral("playing"));
    const qint64 stoppedAt = modeReached(player, path, "stopped", clock, 1500, &listener_);
    QVERIFY2(stoppedAt >= 0, "still not stopped 1.5 s after play");
    QVERIFY2(stoppedAt >= 900, qPrintable(QString("stopped after %1 ms").arg(stoppedAt)));
    QVERIFY(listener_.collect(int(clock.elapsed()) + 300));
    qInfo("%s: stopped after %lld ms, %d ms of tone heard", qPrintable(name), stoppedAt,
          listener_.toneMs());
    QVERIFY2(listener_.toneMs() >= 900 && listener_.toneMs() <= 1060,
             qPrintable(QString("%1 ms of tone heard").arg(listener_.toneMs())));

    QCOMPARE(player.mode(path), QStringLiteral("stopped"));
    QCOMPARE(streamsFor(path), 0);
    player.close(path);
    QCOMPARE(player.mode(path), QString());
}

// Four seconds, most of it decoded while it plays: no gap, nothing lost or repeated.
void TestPulsePlayer::longFilePlaysWhole() {
    const QString path = file("long-b.wav");
    PulsePlayer player;
    listener_.clear();
    QElapsedTimer clock;
    clock.start();
    player.play(path);
    QCOMPARE(player.lastError(), QString());
    const qint64 stoppedAt = modeReached(player, path, "stopped", clock, 5000, &listener_);
    QVERIFY(listener_.collect(int(clock.elapsed()) + 300));
    qInfo("stopped after %lld ms, %d ms of tone heard", stoppedAt, listener_.toneMs());
    QVERIFY2(stoppedAt >= 3900 && stoppedAt <= 4500,
             qPrintable(QString("stopped after %1 ms").arg(stoppedAt)));
    QCOMPARE(listener_.gapMs(), 0);
    QVERIFY2(listener_.toneMs() >= 3940 && listener_.toneMs() <= 4060,
             qPrintable(QString("%1 ms of tone heard").arg(listener_.toneMs())));
}

void TestPulsePlayer::closeSilencesAtOnce() {
    const QString path = file("long-a.wav");
    PulsePlayer player;
    player.play(path);
    QCOMPARE(player.lastError(), QString());
    QTest::qWait(300);
    listener_.clear();
    QVERIFY(listener_.collect(300));
    QCOMPARE(listener_.toneMs(), listener_.heardMs());
    QCOMPARE(player.mode(path), QStringLiteral("playing"));

    QElapsedTimer clock;
    clock.start();
    player.close(path);
    QVERIFY(clock.elapsed() < 100);
    QCOMPARE(player.mode(path), QString());
    QCOMPARE(streamsFor(path), 0);
    listener_.clear();
    QVERIFY(listener_.collect(400));
    // What the monitor had buffered before the close may still arrive first.
    QCOMPARE(listener_.silentMs(100), listener_.heardMs() - 100);

    player.close(path);
    player.close(file("never-opened.wav"));
    QCOMPARE(player.mode(path), QString());
}

void TestPulsePlayer::twoPathsPlayAtOnce() {
    const QString a = file("long-a.wav");
    const QString b = file("long-b.wav");
    auto player = std::make_unique<PulsePlayer>();
    player->play(a);
    player->play(b);
    QCOMPARE(player->mode(a), QStringLiteral("playing"));
    QCOMPARE(player->mode(b), QStringLiteral("playing"));
    QCOMPARE(streamsFor(a), 1);
    QCOMPARE(streamsFor(b), 1);

    player->close(a);
    QCOMPARE(player->mode(a), QString());
    QCOMPARE(player->mode(b), QStringLiteral("playing"));
    QCOMPARE(streamsFor(a), 0);
    QCOMPARE(streamsFor(b), 1);
    listener_.clear();
    QVERIFY(listener_.collect(300));
    // Both streams began just now; on PipeWire a new stream reaches the sink a graph period
    // (21 ms) or, on a loaded machine, a few later, so the start heard may still be silence.
    // Once the tone is there it goes on without a gap.
    QCOMPARE(listener_.gapMs(), 0);
    QVERIFY2(listener_.toneMs() >= listener_.heardMs() - 120,
             qPrintable(QString("%1 of %2 ms").arg(listener_.toneMs()).arg(listener_.heardMs())));

    // Destruction closes whatever still plays, without waiting for the sound to end.
    player->play(a);
    QElapsedTimer clock;
    clock.start();
    player.reset();
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString("took %1 ms").arg(clock.elapsed())));
    QCOMPARE(streamsFor(a), 0);
    QCOMPARE(streamsFor(b), 0);
}

void TestPulsePlayer::playingAnOpenPathStartsItAgain() {
    const QString path = file("stereo16.wav");
    PulsePlayer player;
    player.play(path);
    QTest::qWait(600);
    QElapsedTimer clock;
    clock.start();
    player.play(path);
    QCOMPARE(streamsFor(path), 1);
    // The first start would have ended by now; the second runs a full second from here.
    QTest::qWait(800);
    QCOMPARE(player.mode(path), QStringLiteral("playing"));
    QVERIFY(modeReached(player, path, "stopped", clock, 1500) >= 900);
}

void TestPulsePlayer::unreadableFilesOpenNothing() {
    const QString playing = file("long-a.wav");
    PulsePlayer player;
    player.play(playing);
    QCOMPARE(player.lastError(), QString());

    for (const QString& path : {file("missing.wav"), file("notes.wav"), dir_.path()}) {
        player.play(path);
        QVERIFY2(player.lastError().contains(path), qPrintable(player.lastError()));
        QCOMPARE(player.mode(path), QString());
        QCOMPARE(streamsFor(path), 0);
        player.close(path);
    }
    QCOMPARE(player.mode(playing), QStringLiteral("playing"));

    // A good start clears the last failure, so the window can tell that it plays.
    player.play(file("mono8.wav"));
    QCOMPARE(player.lastError(), QString());
    QCOMPARE(player.mode(file("mono8.wav")), QStringLiteral("playing"));
}

void TestPulsePlayer::playToEndTakesTheFilesLength() {
    PulsePlayer player;
    for (const QString& name : {QStringLiteral("stereo16.wav"), QStringLiteral("tone.mp3")}) {
        const QString path = file(name);
        QElapsedTimer clock;
        clock.start();
        player.playToEnd(path);
        const qint64 took = clock.elapsed();
        qInfo("playToEnd(%s) took %lld ms", qPrintable(name), took);
        QVERIFY2(took >= 900 && took <= 1600, qPrintable(QString("took %1 ms").arg(took)));
        QCOMPARE(player.lastError(), QString());
        QCOMPARE(player.mode(path), QString());
        QCOMPARE(streamsFor(path), 0);
    }

    QElapsedTimer clock;
    clock.start();
    player.playToEnd(file("missing.wav"));
    QVERIFY(clock.elapsed() < 200);
    QVERIFY(player.lastError().contains(file("missing.wav")));
}

void TestPulsePlayer::noServer() {
    const auto restore = qScopeGuard([this] { restorePulseServer(); });
    qputenv("PULSE_SERVER", QFile::encodeName("unix:" + file("no-server-here")));
    const QString path = file("stereo16.wav");
    {
        PulsePlayer player;
        QElapsedTimer clock;
        clock.start();
        player.play(path);
        QVERIFY(clock.elapsed() < 2000);
        QVERIFY2(player.lastError().startsWith("No sound server"), qPrintable(player.lastError()));
        QCOMPARE(player.mode(path), QString());
        player.close(path);
        clock.restart();
        player.playToEnd(path);
        QVERIFY(clock.elapsed() < 2000);
        QVERIFY(!player.lastError().isEmpty());
    }
}

// A server of this test's own, frozen and then killed while the player plays on it.
void TestPulsePlayer::serverThatFreezesThenGoesAway() {
    const QString runtime = file("own-runtime");
    QVERIFY(QDir().mkpath(runtime));
    QFile::setPermissions(runtime,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(QDir().mkpath(file("own-home")));
    const QString socket = file("own-native");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("HOME", file("own-home"));
    env.remove("PULSE_SERVER");
    // On no bus: a second server there would find its name taken and quit.
    env.insert("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    ownServer_.setProcessEnvironment(env);
    ownServer_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ownServer_.start("pulseaudio",
                     {"--daemonize=no", "-n", "--exit-idle-time=-1", "--disallow-exit",
                      "--use-pid-file=no", "--log-target=stderr", "--log-level=error", "-L",
                      "module-native-protocol-unix auth-anonymous=1 socket=" + socket, "-L",
                      "module-null-sink sink_name=doomed"});
    QVERIFY2(ownServer_.waitForStarted(5000), "pulseaudio could not be started");
    const auto restore = qScopeGuard([this] { restorePulseServer(); });
    qputenv("PULSE_SERVER", QFile::encodeName("unix:" + socket));
    const QString pid = QString::number(ownServer_.processId());
    int code = 1;
    QElapsedTimer waited;
    waited.start();
    while (code != 0 && waited.elapsed() < 10000) {
        QThread::msleep(100);
        run("pactl", {"info"}, &code);
    }
    QVERIFY2(code == 0, "the test's own PulseAudio server did not come up");

    const QString path = file("long-a.wav");
    PulsePlayer player;
    auto other = std::make_unique<PulsePlayer>();
    player.play(path);
    other->play(path);
    QCOMPARE(player.mode(path), QStringLiteral("playing"));
    QCOMPARE(other->mode(path), QStringLiteral("playing"));

    run("kill", {"-STOP", pid});
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(player.mode(path), QStringLiteral("playing"));
    QVERIFY(clock.elapsed() < 100);
    clock.restart();
    other.reset();
    QVERIFY2(clock.elapsed() < 2000, "destruction waited for a frozen server");
    clock.restart();
    player.play(file("mono8.wav"));
    QVERIFY2(clock.elapsed() < 2500, qPrintable(QString("play took %1 ms").arg(clock.elapsed())));
    QVERIFY(!player.lastError().isEmpty());
    QCOMPARE(player.mode(file("mono8.wav")), QString());
    run("kill", {"-CONT", pid});

    QCOMPARE(player.mode(path), QStringLiteral("playing"));
    ownServer_.kill();
    ownServer_.waitForFinished(5000);
    clock.restart();
    QVERIFY2(modeReached(player, path, "stopped", clock, 1000) >= 0,
             "still playing on a server that is gone");
    clock.restart();
    player.play(file("mono8.wav"));
    QVERIFY(clock.elapsed() < 2000);
    QVERIFY2(player.lastError().startsWith("No sound server"), qPrintable(player.lastError()));
    QCOMPARE(player.mode(path), QStringLiteral("stopped"));
    player.close(path);
    QCOMPARE(player.mode(path), QString());
}
QTEST_GUILESS_MAIN(TestPulsePlayer)
#include "test_pulse_player.moc"
