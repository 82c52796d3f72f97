// The mixer through its C export, checked against what pactl reports on the private server.
#include "engine/exports.h"
#include "pulse_support.h"

#include <QElapsedTimer>

using namespace pulsetest;

namespace {

// The loudness of every channel of a source as pactl reports it, in dB.
QList<double> sourceDecibels(const QString& source) {
    const QString out = run(QStringLiteral("pactl"), {"get-source-volume", source});
    QList<double> levels;
    static const QRegularExpression level(QStringLiteral("/\\s*(-?[0-9.]+|-inf) dB"));
    for (auto it = level.globalMatch(out.section('\n', 0, 0)); it.hasNext();) {
        const QString db = it.next().captured(1);
        levels.append(db == "-inf" ? -qInf() : db.toDouble());
    }
    return levels;
}

} // namespace

class TestPulseMixer : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        QVERIFY2(serverIsUp(), "the private PulseAudio server of scripts/test is not running");
    }

    // The recording tests want every source back at full level.
    void cleanupTestCase() {
        for (const QString& name : sourcesInEngineOrder())
            run("pactl", {"set-source-volume", name, "100%"});
    }

    // Every source, numbered as the engine numbers them, gets its own level on every channel,
    // in proportion to the amplitude: the server shows 20·log10(position / 65536) dB.
    void setsEachSourceByItsNumber() {
        const QStringList names = sourcesInEngineOrder();
        QVERIFY(names.size() >= 3);
        for (int i = 0; i < names.size(); ++i) {
            int32_t range[2] = {-7, -7};
            QElapsedTimer answer;
            answer.start();
            QCOMPARE(Volume(i, 10000 + 9000 * i, range), 0);
            // A server that answers is not waited on until the call's deadline.
            QVERIFY(answer.elapsed() < 500);
            QCOMPARE(range[0], 0);
            QCOMPARE(range[1], 65536);
        }
        for (int i = 0; i < names.size(); ++i) {
            const QList<double> levels = sourceDecibels(names[i]);
            QVERIFY2(!levels.isEmpty(), qPrintable(names[i]));
            const double expected = 20 * std::log10((10000 + 9000 * i) / 65536.0);
            for (double level : levels)
                QVERIFY2(std::abs(level - expected) < 0.05, qPrintable(QString::number(level)));
        }
    }

    // What VolumeLevel reads back is the position set, to 1 %, clamped to the range.
    void readsBackTheLevel_data() {
        QTest::addColumn<int>("asked");
        QTest::addColumn<int>("expected");
        QTest::newRow("muted") << 0 << 0;
        QTest::newRow("a tenth") << 6554 << 6554;
        QTest::newRow("middle") << 32768 << 32768;
        QTest::newRow("full") << 65536 << 65536;
        QTest::newRow("above the range") << 200000 << 65536;
        QTest::newRow("below the range") << -5 << 0;
    }

    void readsBackTheLevel() {
        QFETCH(int, asked);
        QFETCH(int, expected);
        const int index = engineIndexOf("micsink.monitor");
        QCOMPARE(Volume(index, asked, nullptr), 0);
        int32_t range[2] = {-7, -7};
        const int32_t level = VolumeLevel(index, range);
        QVERIFY2(std::abs(level - expected) <= 655, qPrintable(QString::number(level)));
        QCOMPARE(range[1], 65536);
        // The loudest channel is the level: a balance set elsewhere does not lower it.
        // PipeWire applies the change a moment after pactl returns.
        run("pactl", {"set-source-volume", "micsink.monitor", "50%", "100%"});
        QTRY_COMPARE_WITH_TIMEOUT(VolumeLevel(index, nullptr), 65536, 3000);
    }

    // The -2 of a missing key, or a number past the last source: the range is still given,
    // and no source changes.
    void unknownSourceChangesNothing_data() {
        QTest::addColumn<int>("source");
        QTest::newRow("missing key") << -2;
        QTest::newRow("past the last") << int(sourcesInEngineOrder().size());
    }

    void unknownSourceChangesNothing() {
        QFETCH(int, source);
        const QStringList names = sourcesInEngineOrder();
        QList<QList<int>> before;
        for (int i = 0; i < names.size(); ++i) {
            QCOMPARE(Volume(i, 20000, nullptr), 0);
            before.append(sourceVolumes(names[i]));
        }
        int32_t range[2] = {-7, -7};
        QCOMPARE(Volume(source, 50000, range), -1);
        QCOMPARE(range[0], 0);
        QCOMPARE(range[1], 65536);
        range[0] = range[1] = -7;
        QCOMPARE(VolumeLevel(source, range), -1);
        QCOMPARE(range[1], 65536);
        for (int i = 0; i < names.size(); ++i)
            QCOMPARE(sourceVolumes(names[i]), before[i]);
    }
};

QTEST_GUILESS_MAIN(TestPulseMixer)
#include "test_pulse_mixer.moc"
