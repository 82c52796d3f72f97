// The input's level and the sources' descriptions through the engine's C exports, against the
// private PulseAudio server. Exact samples come through a pipe source.
#include "engine/exports.h"
#include "pulse_support.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <fcntl.h>
#include <unistd.h>

using namespace pulsetest;

namespace {

double decibels(float peak) {
    return 20 * std::log10(std::max(double(peak), 1e-9));
}

bool selectSource(const QString& name) {
    const int index = engineIndexOf(name);
    return index >= 0 && Wavelark("", 5, 0, 0, 0, index) == 0;
}

// The level once `spans` spans have been measured (or whatever came within 3 s).
WavelarkLevelInfo levelAfter(int64_t spans) {
    WavelarkLevelInfo info{};
    QElapsedTimer waited;
    waited.start();
    while (WavelarkLevel(&info) == 0 && info.updates < spans && waited.elapsed() < 3000)
        QThread::msleep(20);
    return info;
}

// One second of a 440 Hz tone at 8000 Hz, 16-bit mono, clipped at full scale.
QByteArray tone(double amplitude) {
    QByteArray bytes(8000 * 2, Qt::Uninitialized);
    for (int i = 0; i < 8000; ++i) {
        const double v = amplitude * std::sin(2 * std::numbers::pi * 440 * i / 8000.0);
        const auto s = static_cast<int16_t>(std::clamp(std::lround(v * 32768), -32768L, 32767L));
        std::memcpy(bytes.data() + 2 * i, &s, 2);
    }
    return bytes;
}

// Source names and descriptions as pactl lists them.
QMap<QString, QString> descriptions() {
    QMap<QString, QString> found;
    QString name;
    for (const QString& line : run("pactl", {"list", "sources"}).split('\n')) {
        const QString field = line.trimmed();
        if (field.startsWith("Name: "))
            name = field.mid(6);
        else if (field.startsWith("Description: "))
            found[name] = field.mid(13);
    }
    return found;
}

QString describe(int number, int32_t* result = nullptr) {
    char text[512];
    const int32_t r = WavelarkSourceDescription(number, text, sizeof text);
    if (result)
        *result = r;
    return r == 0 ? QString::fromUtf8(text) : QString();
}

} // namespace

class TestPulseLevel : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanup();
    // First: it needs a process that has not selected a source yet.
    void describesTheSourceInUse();
    void levelOfKnownSamples_data();
    void levelOfKnownSamples();
    void levelUpdatesTenTimesASecondAlsoPaused();
    void describesSources();

  private:
    QTemporaryDir dir_;
    std::unique_ptr<MonitorListener> listener_;
};

void TestPulseLevel::initTestCase() {
    QVERIFY2(serverIsUp(), "the private PulseAudio server of scripts/test is not running");
    QVERIFY(dir_.isValid());
    listener_ = std::make_unique<MonitorListener>("micsink.monitor");
    QVERIFY(listener_->running());
    run("pactl", {"set-source-volume", "micsink.monitor", "100%"});
}

void TestPulseLevel::cleanup() {
    Wavelark(dir_.filePath("cleanup.wav").toUtf8().constData(), 0, 0, 0, 0, 0);
    QFile::remove(dir_.filePath("cleanup.wav"));
}

void TestPulseLevel::levelOfKnownSamples_data() {
    QTest::addColumn<int>("bits");
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<bool>("muted");
    QTest::addColumn<double>("expectedDb"); // below -60: silence
    QTest::addColumn<int>("clipped");
    QTest::newRow("-6 dBFS, 16 bits") << 16 << 0.5012 << false << -6.0 << 0;
    QTest::newRow("-6 dBFS, 8 bits") << 8 << 0.5012 << false << -6.0 << 0;
    QTest::newRow("-0.05 dBFS, 16 bits") << 16 << 0.994 << false << -0.05 << 0;
    QTest::newRow("clipped, 16 bits") << 16 << 1.5 << false << 0.0 << 1;
    QTest::newRow("clipped, 8 bits") << 8 << 1.5 << false << 0.0 << 1;
    QTest::newRow("digital silence") << 16 << 0.0 << false << -100.0 << 0;
    QTest::newRow("muted source") << 16 << 0.5012 << true << -100.0 << 0;
}

void TestPulseLevel::levelOfKnownSamples() {
    QFETCH(int, bits);
    QFETCH(double, amplitude);
    QFETCH(bool, muted);
    QFETCH(double, expectedDb);
    QFETCH(int, clipped);
    const QString fifo = dir_.filePath("level.fifo");
    const QString module = run("pactl", {"load-module", "module-pipe-source", "source_name=exact",
                                         "file=" + fifo, "format=s16le", "rate=8000", "channels=1"})
                               .trimmed();
    QVERIFY(!module.isEmpty());
    if (muted)
        run("pactl", {"set-source-mute", "exact", "1"});
    const int pipe = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_CLOEXEC);
    const QByteArray second = tone(amplitude);
    WavelarkLevelInfo info{};
    const bool started =
        pipe >= 0 && selectSource("exact") && Wavelark("", 1, 1, 8000, bits, 0) == 0;
    if (started && ::write(pipe, second.constData(), size_t(second.size())) == second.size())
        info = levelAfter(10);
    // Each row's take goes to the same name: the last one's is removed, or the engine, which
    // never replaces a file, would keep this one in its capture folder.
    Wavelark(dir_.filePath("level.wav").toUtf8().constData(), 0, 0, 0, 0, 0);
    QFile::remove(dir_.filePath("level.wav"));
    if (pipe >= 0)
        ::close(pipe);
    run("pactl", {"unload-module", module});
    QVERIFY(started);
    QVERIFY2(info.updates >= 10, qPrintable(QString::number(info.updates)));
    if (expectedDb < -60)
        QCOMPARE(info.peak, 0.0f);
    else
        QVERIFY2(std::abs(decibels(info.peak) - expectedDb) <= 1.0,
                 qPrintable(QString::number(decibels(info.peak))));
    QCOMPARE(info.clipped, clipped);
}

void TestPulseLevel::levelUpdatesTenTimesASecondAlsoPaused() {
    WavelarkLevelInfo info{};
    QCOMPARE(WavelarkLevel(&info), -3);
    QCOMPARE(WavelarkLevel(nullptr), -1);
    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(Wavelark("", 1, 2, 44100, 16, 0), 0);
    for (int mode : {1, 2}) {
        if (mode == 2)
            QCOMPARE(Wavelark("", 2, 0, 0, 0, 0), 0);
        const int64_t before = levelAfter(1).updates;
        QThread::msleep(2000);
        QCOMPARE(WavelarkLevel(&info), 0);
        // 20 spans of audio in 2 s; a busy machine may hand over the audio at either end of
        // the window a piece late, which moves a span out of it.
        QVERIFY2(info.updates - before >= 18, qPrintable(QString::number(info.updates - before)));
        QVERIFY2(decibels(info.peak) > -30, qPrintable(QString::number(info.peak)));
    }
    QCOMPARE(Wavelark(dir_.filePath("updates.wav").toUtf8().constData(), 0, 0, 0, 0, 0), 0);
    QCOMPARE(WavelarkLevel(&info), -3);
}

void TestPulseLevel::describesSources() {
    const QMap<QString, QString> known = descriptions();
    const QStringList order = sourcesInEngineOrder();
    QVERIFY(order.size() >= 3);
    for (int i = 0; i < order.size(); ++i)
        QCOMPARE(describe(i), known.value(order[i]));
    int32_t result = 0;
    describe(int(order.size()), &result);
    QCOMPARE(result, -1);
    describe(-2, &result);
    QCOMPARE(result, -1);
    char text[8] = "x";
    QCOMPARE(WavelarkSourceDescription(0, nullptr, 8), -1);
    QCOMPARE(WavelarkSourceDescription(0, text, 0), -1);
    // A short buffer takes what fits, terminated.
    QCOMPARE(WavelarkSourceDescription(0, text, 5), 0);
    QCOMPARE(QString::fromUtf8(text), known.value(order[0]).left(4));
}

void TestPulseLevel::describesTheSourceInUse() {
    const QMap<QString, QString> known = descriptions();
    // Nothing selected in this process yet: the server's default.
    const QString fallback = run("pactl", {"get-default-source"}).trimmed();
    QCOMPARE(describe(-1), known.value(fallback));
    QVERIFY(selectSource("micsink.monitor"));
    QCOMPARE(describe(-1), known.value("micsink.monitor"));
    QVERIFY(known.value("micsink.monitor") != known.value(fallback));
    // The selected source goes away.
    const QString module =
        run("pactl", {"load-module", "module-null-sink", "sink_name=brief"}).trimmed();
    QVERIFY(!module.isEmpty());
    const bool selected = selectSource("brief.monitor");
    run("pactl", {"unload-module", module});
    QVERIFY(selected);
    // Gone on PipeWire a moment after the unload has returned.
    int32_t result = 0;
    QTRY_VERIFY_WITH_TIMEOUT((describe(-1, &result), result == -6), 3000);
}

QTEST_GUILESS_MAIN(TestPulseLevel)
#include "test_pulse_level.moc"
