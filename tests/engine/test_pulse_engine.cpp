// The recording engine through its C export, against the private PulseAudio server: formats,
// pause, what the speakers play, where the file goes, and what survives a killed program.
#include "engine/exports.h"
#include "pulse_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace pulsetest;

namespace {

constexpr double kTolerance = 0.3;

void sleepSeconds(double s) {
    QThread::msleep(static_cast<unsigned long>(s * 1000));
}

bool selectSource(const QString& name) {
    const int index = engineIndexOf(name);
    return index >= 0 && Wavelark("", 5, 0, 0, 0, index) == 0;
}

WavelarkStatusInfo status() {
    WavelarkStatusInfo info{};
    WavelarkStatus(&info);
    return info;
}

// Whether another open of the file can take its flock: what the program's start-up recovery
// asks of a capture before it takes it for one left behind.
bool isLocked(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

// A recorder in a process of its own, driven through its standard input.
struct Helper {
    QProcess process;
    bool start(const QString& source, const QString& path, const QStringList& extra = {}) {
        process.start(
            QCoreApplication::applicationDirPath() + "/engine_take_helper",
            QStringList{QString::number(engineIndexOf(source)), "2", "44100", "16", path} + extra);
        return process.waitForReadyRead(5000) && process.readLine().trimmed() == "recording";
    }
    QString ask(const QByteArray& line) {
        process.write(line + '\n');
        if (line != "status") {
            process.waitForFinished(10000);
            return QString::fromUtf8(process.readAllStandardOutput());
        }
        process.waitForReadyRead(5000);
        return QString::fromUtf8(process.readLine());
    }
};

QString valueIn(const QString& report, const QString& key) {
    return QRegularExpression("(?:^|\\s)" + key + "=(\\S*)", QRegularExpression::MultilineOption)
        .match(report)
        .captured(1);
}

// A plain WAV whose RIFF length matches the file: the header was completed.
bool headerIsComplete(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = f.read(12);
    const auto riffLength = qFromLittleEndian<quint32>(head.constData() + 4);
    return head.startsWith("RIFF") && riffLength + 8 == quint64(f.size());
}

QString readHeaderTag(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray head = f.read(12);
    return QString::fromLatin1(head.left(4) + head.mid(8, 4));
}

} // namespace

class TestPulseEngine : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanup();
    void countsTheServersSources();
    void recordsTheFormatAsked_data();
    void recordsTheFormatAsked();
    void pausedTimeIsLeftOut();
    void capturesWhatTheSpeakersPlay();
    void neverReplacesAnExistingFile();
    void racingSavesKeepBothTakes();
    void stopWithoutAPathKeepsTheTake_data();
    void stopWithoutAPathKeepsTheTake();
    void burstySourceIsNeverStalled();
    void longerWaitWithinTheSourcesRhythm();
    void fileSizeLimitIsAProblemOfTheTake();
    void copiesAcrossFileSystems();
    void missingFolderKeepsTheCapture();
    void refusesCallsOutOfTurn();
    void rejectsBadArguments_data();
    void rejectsBadArguments();
    void rejectsImpossibleFormats_data();
    void rejectsImpossibleFormats();
    void killedRecorderLeavesAPlayableCapture();
    void frozenRecorderKeepsItsTimeline();

  private:
    QString out(const QString& name) const { return dir_.filePath(name); }
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<MonitorListener>> listeners_;
};

void TestPulseEngine::initTestCase() {
    QVERIFY2(serverIsUp(), "the private PulseAudio server of scripts/test is not running");
    QVERIFY2(qEnvironmentVariableIsSet("XDG_CACHE_HOME"), "XDG_CACHE_HOME must point at the "
                                                          "test home");
    QVERIFY(dir_.isValid());
    QVERIFY(engineIndexOf("micsink.monitor") >= 0);
    for (const char* monitor : {"micsink.monitor", "speakers.monitor"}) {
        listeners_.push_back(std::make_unique<MonitorListener>(monitor));
        QVERIFY(listeners_.back()->running());
    }
    // Other tests change source volumes; the tone checks need them at full level.
    for (const QString& name : sourcesInEngineOrder())
        run("pactl", {"set-source-volume", name, "100%"});
}

void TestPulseEngine::cleanup() {
    // A failed case must not leave a take running into the next one.
    Wavelark(out("cleanup.wav").toUtf8().constData(), 0, 0, 0, 0, 0);
    QFile::remove(out("cleanup.wav"));
}

void TestPulseEngine::countsTheServersSources() {
    // PipeWire adds and removes nodes a moment after pactl has returned: the engine's count and
    // the server's list are compared until they agree, not at one instant.
    QTRY_COMPARE_WITH_TIMEOUT(Wavelark("", 4, 0, 0, 0, 0), sourcesInEngineOrder().size(), 3000);
    const QStringList names = sourcesInEngineOrder();
    QVERIFY(names.size() >= 3);
    QElapsedTimer answer;
    answer.start();
    Wavelark("", 4, 0, 0, 0, 0);
    QVERIFY(answer.elapsed() < 500);
    // A new source counts at once.
    const QString module =
        run("pactl", {"load-module", "module-null-sink", "sink_name=extra"}).trimmed();
    QVERIFY(!module.isEmpty());
    const int withExtra = Wavelark("", 4, 0, 0, 0, 0);
    run("pactl", {"unload-module", module});
    QCOMPARE(withExtra, names.size() + 1);
    QTRY_COMPARE_WITH_TIMEOUT(Wavelark("", 4, 0, 0, 0, 0), names.size(), 3000);
}

void TestPulseEngine::recordsTheFormatAsked_data() {
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("subformat");
    QTest::newRow("mono 22050 Hz 8 bits") << 1 << 22050 << 8 << int(SF_FORMAT_PCM_U8);
    QTest::newRow("stereo 44100 Hz 16 bits") << 2 << 44100 << 16 << int(SF_FORMAT_PCM_16);
}

void TestPulseEngine::recordsTheFormatAsked() {
    QFETCH(int, channels);
    QFETCH(int, rate);
    QFETCH(int, bits);
    QFETCH(int, subformat);
    const QStringList before = captures();
    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(Wavelark("", 1, channels, rate, bits, 0), 0);
    sleepSeconds(2);
    const QString path = out("take.wav");
    QFile::remove(path); // the previous row's: a stop never replaces a file
    QElapsedTimer stopTime;
    stopTime.start();
    QCOMPARE(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0), 0);
    QVERIFY(stopTime.elapsed() < 1000);

    QCOMPARE(readHeaderTag(path), QStringLiteral("RIFFWAVE"));
    const Audio audio = readAudio(path);
    QVERIFY(audio.opened);
    QCOMPARE(audio.info.channels, channels);
    QCOMPARE(audio.info.samplerate, rate);
    QCOMPARE(audio.info.format & SF_FORMAT_SUBMASK, subformat);
    QVERIFY2(std::abs(audio.seconds() - 2.0) <= kTolerance,
             qPrintable(QString::number(audio.seconds())));
    for (const auto& channel : audio.channels) {
        QCOMPARE(dominantFrequency(channel, rate), 440.0);
        QVERIFY(rms(channel) > 0.05);
    }
    // The capture was moved, not copied and left behind.
    QCOMPARE(captures(), before);
}

void TestPulseEngine::pausedTimeIsLeftOut() {
    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(Wavelark("", 1, 1, 44100, 16, 0), 0);
    sleepSeconds(1.5);
    QCOMPARE(Wavelark("", 2, 0, 0, 0, 0), 0);
    sleepSeconds(1);
    QCOMPARE(status().take, 2);
    QCOMPARE(Wavelark("", 3, 0, 0, 0, 0), 0);
    sleepSeconds(1.5);
    const QString path = out("paused.wav");
    QCOMPARE(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0), 0);
    const Audio audio = readAudio(path);
    QVERIFY(audio.opened);
    QVERIFY2(std::abs(audio.seconds() - 3.0) <= kTolerance,
             qPrintable(QString::number(audio.seconds())));
    // The tone goes on while the take is paused, so the two parts of the file meet out of
    // phase, and over the whole file they can cancel each other at 440 Hz: each part is
    // judged on its own.
    const std::vector<double>& tone = audio.channels[0];
    const auto part = std::ptrdiff_t(1.2 * 44100);
    QCOMPARE(dominantFrequency({tone.begin(), tone.begin() + part}, 44100), 440.0);
    QCOMPARE(dominantFrequency({tone.end() - part, tone.end()}, 44100), 440.0);
    // The status counts what the file holds, without the paused audio.
    QCOMPARE(status().frames, audio.info.frames);
}

void TestPulseEngine::capturesWhatTheSpeakersPlay() {
    const QString tone = out("tone.wav");
    QVERIFY(writeTone(tone, 1000, 1.5));
    QVERIFY(selectSource("speakers.monitor"));
    QCOMPARE(Wavelark("", 1, 1, 44100, 16, 0), 0);
    sleepSeconds(0.5);
    int code = -1;
    run("paplay", {"--device=speakers", tone}, &code);
    QCOMPARE(code, 0);
    sleepSeconds(0.5);
    const QString path = out("speakers.wav");
    QCOMPARE(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0), 0);
    const Audio audio = readAudio(path);
    QVERIFY(audio.opened);
    QVERIFY(audio.seconds() >= 2.0);
    QCOMPARE(dominantFrequency(audio.channels[0], 44100), 1000.0);
    QVERIFY(rms(audio.channels[0]) > 0.1);
}

void TestPulseEngine::neverReplacesAnExistingFile() {
    const QString path = out("reused.wav");
    const QByteArray older(100000, 'x');
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(older);
    }
    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(Wavelark("", 1, 1, 8000, 8, 0), 0);
    sleepSeconds(1);
    QCOMPARE(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0), -7);
    QFile old(path);
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), older);
    // The take is over, complete in the capture folder, and no longer locked.
    const WavelarkStatusInfo info = status();
    QCOMPARE(info.take, 0);
    const QString kept = QString::fromUtf8(info.capture);
    QVERIFY2(kept.startsWith(captureFolder() + '/'), qPrintable(kept));
    QVERIFY(headerIsComplete(kept));
    QVERIFY(!isLocked(kept));
    const Audio audio = readAudio(kept);
    QCOMPARE(audio.info.samplerate, 8000);
    QVERIFY(std::abs(audio.seconds() - 1.0) <= kTolerance);
    QCOMPARE(Wavelark(out("again.wav").toUtf8().constData(), 0, 0, 0, 0, 0), -3);
    QFile::remove(kept);
}

// Two programs saving to one name at once: one file gets the name, the other take is kept.
void TestPulseEngine::racingSavesKeepBothTakes() {
    const QStringList before = captures();
    const QString path = out("raced.wav");
    Helper first, second;
    QVERIFY(first.start("micsink.monitor", path));
    QVERIFY(second.start("micsink.monitor", path));
    sleepSeconds(1.5);
    first.process.write("stop\n");
    second.process.write("stop\n");
    QVERIFY(first.process.waitForFinished(10000) && second.process.waitForFinished(10000));
    const QString reports[] = {QString::fromUtf8(first.process.readAllStandardOutput()),
                               QString::fromUtf8(second.process.readAllStandardOutput())};
    QStringList results{valueIn(reports[0], "result"), valueIn(reports[1], "result")};
    const QString kept = valueIn(reports[results[0] == "0" ? 1 : 0], "capture");
    results.sort();
    QCOMPARE(results, (QStringList{"-7", "0"}));
    QVERIFY(readAudio(path).seconds() >= 1.0);
    QVERIFY(readAudio(kept).seconds() >= 1.0);
    QCOMPARE(captures().size(), before.size() + 1);
    QFile::remove(kept);
}

void TestPulseEngine::stopWithoutAPathKeepsTheTake_data() {
    QTest::addColumn<bool>("nullFile");
    QTest::newRow("null") << true;
    QTest::newRow("empty") << false;
}

void TestPulseEngine::stopWithoutAPathKeepsTheTake() {
    QFETCH(bool, nullFile);
    const char* noPath = nullFile ? nullptr : "";
    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(Wavelark("", 1, 1, 22050, 16, 0), 0);
    sleepSeconds(1);
    QCOMPARE(Wavelark(noPath, 0, 0, 0, 0, 0), -4);
    const WavelarkStatusInfo info = status();
    QCOMPARE(info.take, 0);
    const QString kept = QString::fromUtf8(info.capture);
    QVERIFY2(kept.startsWith(captureFolder() + '/'), qPrintable(kept));
    QVERIFY(headerIsComplete(kept));
    QVERIFY(!isLocked(kept));
    const Audio audio = readAudio(kept);
    QCOMPARE(audio.info.frames, info.frames);
    QVERIFY(std::abs(audio.seconds() - 1.0) <= kTolerance);
    // With no take left, a stop without a path is a bad argument.
    QCOMPARE(Wavelark(noPath, 0, 0, 0, 0, 0), -1);
    QFile::remove(kept);
}

// The sine source hands out two seconds at a time: waits that long are its rhythm, not a stall.
void TestPulseEngine::burstySourceIsNeverStalled() {
    QVERIFY(selectSource("sine_input"));
    QCOMPARE(Wavelark("", 1, 1, 44100, 16, 0), 0);
    const QString capture = QString::fromUtf8(status().capture);
    QVERIFY2(capture.startsWith(captureFolder() + '/'), qPrintable(capture));
    for (int i = 0; i < 24; ++i) {
        sleepSeconds(0.5);
        const WavelarkStatusInfo info = status();
        QCOMPARE(info.problems, 0);
        QCOMPARE(info.take, 1);
        QCOMPARE(info.rate, 44100);
        QVERIFY(isLocked(capture));
    }
    QVERIFY(status().frames >= 8 * 44100);
    const QString path = out("bursty.wav");
    QCOMPARE(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0), 0);
    const WavelarkStatusInfo info = status();
    QCOMPARE(info.capture[0], '\0');
    QCOMPARE(info.take, 0);
    QCOMPARE(readAudio(path).info.frames, info.frames);
    QVERIFY(!isLocked(path));
}

// A source that delivers after 2.5 s, then after 4.2 s: longer than 3 s, but within twice
// the rhythm the take has seen, so not a stall.
void TestPulseEngine::longerWaitWithinTheSourcesRhythm() {
    const QString fifo = out("bursty.fifo");
    const QString module = run("pactl", {"load-module", "module-pipe-source", "source_name=bursty",
                                         "file=" + fifo, "format=s16le", "rate=8000", "channels=1"})
                               .trimmed();
    QVERIFY(!module.isEmpty());
    const int pipe = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
    const std::vector<char> twoSeconds(2 * 8000 * 2);
    const bool selected =
        pipe >= 0 && selectSource("bursty") && Wavelark("", 1, 1, 8000, 16, 0) == 0;
    for (double wait : {2.5, 4.2, 0.5})
        if (selected && ::write(pipe, twoSeconds.data(), twoSeconds.size()) > 0)
            sleepSeconds(wait);
    const WavelarkStatusInfo info = status();
    const int32_t result = Wavelark(out("bursty-pipe.wav").toUtf8().constData(), 0, 0, 0, 0, 0);
    if (pipe >= 0)
        ::close(pipe);
    run("pactl", {"unload-module", module});
    QVERIFY(selected);
    QCOMPARE(info.take, 1);
    QCOMPARE(info.problems, 0);
    QCOMPARE(result, 0);
}

void TestPulseEngine::fileSizeLimitIsAProblemOfTheTake() {
    const QString path = out("limited.wav");
    Helper helper;
    // 176 kB a second: past the limit within the first second.
    QVERIFY(helper.start("micsink.monitor", path, {"100000"}));
    QString report;
    for (int i = 0; i < 25 && valueIn(report, "problems").toInt() == 0; ++i) {
        sleepSeconds(0.2);
        report = helper.ask("status");
    }
    QCOMPARE(valueIn(report, "take"), QStringLiteral("1"));
    QCOMPARE(valueIn(report, "problems").toInt(), int(WavelarkWriteFailed));
    // What is kept is what the file took (at most the limit, 4 bytes a frame), not what came.
    sleepSeconds(1);
    QVERIFY2(valueIn(helper.ask("status"), "frames").toLongLong() <= 100000 / 4,
             qPrintable(report));
    const QString end = helper.ask("stop");
    QCOMPARE(helper.process.exitStatus(), QProcess::NormalExit); // not ended by SIGXFSZ
    QCOMPARE(valueIn(end, "result"), QStringLiteral("-5"));
    QVERIFY(readAudio(path).opened);
}

void TestPulseEngine::copiesAcrossFileSystems() {
    QTemporaryDir other(QStringLiteral("/dev/shm/tunewright-test-XXXXXX"));
    QVERIFY(other.isValid());
    QVERIFY2(QStorageInfo(other.path()).device() != QStorageInfo(captureFolder()).device() ||
                 QStorageInfo(other.path()).rootPath() != QStorageInfo(captureFolder()).rootPath(),
             "/dev/shm must be another file system than the capture folder");
    const QStringList before = captures();
    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(Wavelark("", 1, 2, 48000, 16, 0), 0);
    sleepSeconds(1.5);
    const QString path = other.filePath("across.wav");
    QCOMPARE(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0), 0);
    const Audio audio = readAudio(path);
    QVERIFY(audio.opened);
    QVERIFY(std::abs(audio.seconds() - 1.5) <= kTolerance);
    QCOMPARE(dominantFrequency(audio.channels[1], 48000), 440.0);
    QCOMPARE(captures(), before);
    // Nor is a file there replaced by the next take's copy.
    QFile placed(path);
    QVERIFY(placed.open(QIODevice::ReadOnly));
    const QByteArray first = placed.readAll();
    QCOMPARE(Wavelark("", 1, 1, 8000, 8, 0), 0);
    sleepSeconds(0.5);
    QCOMPARE(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0), -7);
    QVERIFY(placed.seek(0));
    QCOMPARE(placed.readAll(), first);
    QVERIFY(QFile::remove(QString::fromUtf8(status().capture)));
    // Nothing half-copied is left beside the file.
    QCOMPARE(QDir(other.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"across.wav"});
}

void TestPulseEngine::missingFolderKeepsTheCapture() {
    const QStringList before = captures();
    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(Wavelark("", 1, 1, 22050, 16, 0), 0);
    sleepSeconds(1.5);
    const QString path = out("no/such/folder/take.wav");
    QVERIFY(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0) < 0);
    QVERIFY(!QFileInfo::exists(path));
    // The take is over either way, and its audio waits in the engine's folder under a name
    // that says when it was made.
    QVERIFY(Wavelark(out("again.wav").toUtf8().constData(), 0, 0, 0, 0, 0) < 0);
    QStringList kept = captures();
    for (const QString& name : before)
        kept.removeOne(name);
    QCOMPARE(kept.size(), 1);
    QCOMPARE(QString::fromUtf8(status().capture), captureFolder() + '/' + kept[0]);
    static const QRegularExpression stamped(
        QStringLiteral("^capture-\\d{8}-\\d{6}-\\d+(-\\d+)?\\.wav$"));
    QVERIFY2(stamped.match(kept[0]).hasMatch(), qPrintable(kept[0]));
    const Audio audio = readAudio(captureFolder() + '/' + kept[0]);
    QVERIFY(audio.opened);
    QVERIFY2(std::abs(audio.seconds() - 1.5) <= kTolerance,
             qPrintable(QString::number(audio.seconds())));
    QFile::remove(captureFolder() + '/' + kept[0]);
}

void TestPulseEngine::refusesCallsOutOfTurn() {
    const QString path = out("turns.wav");
    QVERIFY(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0) < 0);
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(Wavelark("", 2, 0, 0, 0, 0) < 0);
    QVERIFY(Wavelark("", 3, 0, 0, 0, 0) < 0);

    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(Wavelark("", 1, 1, 22050, 16, 0), 0);
    // A second start neither fails the take in progress nor changes its format.
    QVERIFY(Wavelark("", 1, 2, 44100, 16, 0) < 0);
    sleepSeconds(1);
    QCOMPARE(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0), 0);
    const Audio audio = readAudio(path);
    QVERIFY(audio.opened);
    QCOMPARE(audio.info.channels, 1);
    QCOMPARE(audio.info.samplerate, 22050);
    QVERIFY(std::abs(audio.seconds() - 1.0) <= kTolerance);
}

void TestPulseEngine::rejectsBadArguments_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("d");
    QTest::newRow("unknown mode 8") << QByteArray("") << 8 << 0;
    QTest::newRow("unknown mode -1") << QByteArray("") << -1 << 0;
    QTest::newRow("negative source") << QByteArray("") << 5 << -1;
    QTest::newRow("missing-key source") << QByteArray("") << 5 << -2;
    QTest::newRow("source past the last") << QByteArray("") << 5 << 1000;
}

void TestPulseEngine::rejectsBadArguments() {
    QFETCH(QByteArray, file);
    QFETCH(int, mode);
    QFETCH(int, d);
    // Asked during a take, a bad call leaves the take running.
    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(Wavelark("", 1, 1, 22050, 8, 0), 0);
    sleepSeconds(0.5);
    QVERIFY(Wavelark(file.constData(), mode, 0, 0, 0, d) < 0);
    sleepSeconds(0.5);
    const QString path = out("after-bad.wav");
    QFile::remove(path);
    QCOMPARE(Wavelark(path.toUtf8().constData(), 0, 0, 0, 0, 0), 0);
    const Audio audio = readAudio(path);
    QVERIFY(audio.opened);
    QCOMPARE(dominantFrequency(audio.channels[0], 22050), 440.0);
    QVERIFY(std::abs(audio.seconds() - 1.0) <= kTolerance);
}

void TestPulseEngine::rejectsImpossibleFormats_data() {
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("bits");
    QTest::newRow("missing keys") << 0 << 0 << 0;
    QTest::newRow("no channels") << 0 << 44100 << 16;
    QTest::newRow("three channels") << 3 << 44100 << 16;
    QTest::newRow("0 Hz") << 1 << 0 << 16;
    QTest::newRow("below 8000 Hz") << 1 << 7999 << 8;
    QTest::newRow("above 96000 Hz") << 2 << 96001 << 16;
    QTest::newRow("12 bits") << 1 << 22050 << 12;
    QTest::newRow("negative channels") << -1 << 22050 << 16;
}

void TestPulseEngine::rejectsImpossibleFormats() {
    QFETCH(int, channels);
    QFETCH(int, rate);
    QFETCH(int, bits);
    const QStringList before = captures();
    QVERIFY(Wavelark("", 1, channels, rate, bits, 0) < 0);
    // Nor is the input kept open in such a format (no channels asks to close it).
    if (channels != 0)
        QVERIFY(Wavelark("", 6, channels, rate, bits, 1000) < 0);
    // Nothing started: no capture file, and nothing to stop.
    QCOMPARE(captures(), before);
    QVERIFY(Wavelark(out("nothing.wav").toUtf8().constData(), 0, 0, 0, 0, 0) < 0);
    QVERIFY(!QFileInfo::exists(out("nothing.wav")));
}

void TestPulseEngine::killedRecorderLeavesAPlayableCapture() {
    const QStringList before = captures();
    QProcess recorder;
    recorder.start(
        QCoreApplication::applicationDirPath() + "/engine_take_helper",
        {QString::number(engineIndexOf("micsink.monitor")), "2", "44100", "16", out("never.wav")});
    QVERIFY(recorder.waitForReadyRead(5000));
    QCOMPARE(recorder.readLine().trimmed(), QByteArray("recording"));
    sleepSeconds(3);
    recorder.kill(); // SIGKILL: no chance to finish the file
    QVERIFY(recorder.waitForFinished(5000));
    QStringList left = captures();
    for (const QString& name : before)
        left.removeOne(name);
    QCOMPARE(left.size(), 1);
    const Audio audio = readAudio(captureFolder() + '/' + left[0]);
    QVERIFY(audio.opened);
    QVERIFY2(audio.seconds() >= 2.0, qPrintable(QString::number(audio.seconds())));
    QCOMPARE(audio.info.channels, 2);
    QCOMPARE(dominantFrequency(audio.channels[0], 44100), 440.0);
    QFile::remove(captureFolder() + '/' + left[0]);
}

// A recorder that stops reading for longer than the server buffers loses audio inside the
// server; the take must still last as long as it ran, with the loss counted.
void TestPulseEngine::frozenRecorderKeepsItsTimeline() {
    QProcess recorder;
    // 96 kHz stereo fills the server's buffer for this client in about eleven seconds.
    const QString path = out("frozen.wav");
    recorder.start(QCoreApplication::applicationDirPath() + "/engine_take_helper",
                   {QString::number(engineIndexOf("micsink.monitor")), "2", "96000", "16", path});
    QVERIFY(recorder.waitForReadyRead(5000));
    QCOMPARE(recorder.readLine().trimmed(), QByteArray("recording"));
    sleepSeconds(2);
    const QString pid = QString::number(recorder.processId());
    run("kill", {"-STOP", pid});
    sleepSeconds(15);
    run("kill", {"-CONT", pid});
    sleepSeconds(7);
    recorder.write("stop\n");
    QVERIFY(recorder.waitForFinished(10000));
    const QString report = QString::fromUtf8(recorder.readAllStandardOutput());
    auto value = [&](const QString& key) {
        return QRegularExpression("^" + key + "=(\\S+)$", QRegularExpression::MultilineOption)
            .match(report)
            .captured(1)
            .toDouble();
    };
    QCOMPARE(value("result"), 0.0);
    QVERIFY2(value("gap_count") >= 1, qPrintable(report));
    QVERIFY2(value("gap_frames") >= 96000, qPrintable(report));
    const Audio audio = readAudio(path);
    QVERIFY(audio.opened);
    QVERIFY2(std::abs(audio.seconds() - value("take_seconds")) <= kTolerance,
             qPrintable(QString::number(audio.seconds()) + " s in the file; " + report));
}

QTEST_GUILESS_MAIN(TestPulseEngine)
#include "test_pulse_engine.moc"
